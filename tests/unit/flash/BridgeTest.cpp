// The script bridge: argument splitting, the command table, the dispatcher's refusals and the
// XML requests that carry answers to the movie, read back by a parsing runtime.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "flash/BridgeText.h"
#include "flash/CTransparentFlashPlayerControlWnd.h"
#include "flash/FlashRuntime.h"
#include "support/RecordingRuntime.h"
#include "site/SiteVerifier.h"
#include "support/TestGameHost.h"
#include "support/TestLog.h"
#include "support/TestSupport.h"

namespace {

// What the application would give the game window.
testing_support::TestGameHost g_host;

using testing_support::RecordingRuntime;
using testing_support::TestLogMessages;
using testing_support::TestLogMessagesSince;

const bool kLogReady = (testing_support::UseTestLog(), true);

HWND FakeWindow(uintptr_t id) { return reinterpret_cast<HWND>(id); }

std::vector<std::string> Split(std::string text) {
  std::vector<std::string> entries;
  for (const char* entry : bridge::SplitCommandArguments(text.data())) entries.emplace_back(entry);
  return entries;
}

TEST(SplitCommandArguments, KeepsNonEmptyFieldsInOrderThenPadsToOneMoreThanTheCommas) {
  struct Case {
    const char* text;
    std::vector<std::string> entries;
  } cases[] = {
      {"", {""}},
      {"a", {"a"}},
      {"a,b", {"a", "b"}},
      {"a,,b", {"a", "b", ""}},
      {",", {"", ""}},
      {",,,", {"", "", "", ""}},
      {",a", {"a", ""}},
      {"a,", {"a", ""}},
      {",,a,,b,,", {"a", "b", "", "", "", "", ""}},
      {"a.exe,,-x", {"a.exe", "-x", ""}},
      {" a , b ", {" a ", " b "}},
      {"http://h/p?x=1&y=2,C:/dest file", {"http://h/p?x=1&y=2", "C:/dest file"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Split(c.text), c.entries) << "text: \"" << c.text << "\"";
}

TEST(SplitCommandArguments, EntriesBorrowFromTheTextInPlace) {
  char text[] = "ab,cd";
  auto entries = bridge::SplitCommandArguments(text);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0], text);
  EXPECT_EQ(entries[1], text + 3);
}

TEST(EscapeXml, EscapesTheFiveMarkupCharactersOnly) {
  EXPECT_EQ(bridge::EscapeXml("a&b<c>d\"e'f,g\xC3\xA9"), "a&amp;b&lt;c&gt;d&quot;e&apos;f,g\xC3\xA9");
  EXPECT_EQ(bridge::EscapeXml("&amp;"), "&amp;amp;");
}

TEST(FormatHandlerNotFound, CutsLongNamesButKeepsTheLineFeedWithinTheLimit) {
  EXPECT_EQ(bridge::FormatHandlerNotFound("X"), "CmdHandler is not found: X\n");
  std::string message = bridge::FormatHandlerNotFound(std::string(5000, 'n'));
  EXPECT_EQ(message.size(), bridge::kMaxNotFoundMessage);
  EXPECT_EQ(message.back(), '\n');
}

class Bridge : public ::testing::Test {
 protected:
  Bridge() { m_window.m_hFlashWnd = kPlayer; }

  void Dispatch(const char* command, const char* arguments) { m_window.DispatchFSCommand(command, arguments); }

  static inline const HWND kPlayer = FakeWindow(0x1000);
  RecordingRuntime m_runtime;
  CTransparentFlashPlayerControlWnd m_window{g_host};
};

TEST_F(Bridge, RegistersEveryCommandOfTheMovieOnce) {
  const std::set<std::string> expected = {
      "GETACCESSTOKEN", "SETCONFIG",        "CLEARCACHE",        "GET_NFOLDER",       "GET_ENVIRONMENT",
      "SET_ENVIRONMENT", "GET_MACADDR",     "WART_AND_CLOSE",    "GET_CURRENT_PROCESS_ID", "GET_EXE_VER",
      "START_MOVE",     "GET_VERSION",      "GET_WINDOWS_VER",   "KILL_PROCESS",      "GET_PROCESS",
      "GET_PARENT_FILE", "GET_CMD",         "CLOSE_WINDOWS",     "MIN_WINDOWS",       "RETURN_WINDOWS",
      "DELETE_CATALOGUE", "DELETE_SUB_DIRECTORY", "READ_FILE",   "WRITE_FILE",        "COMPRESS",
      "LOAD_SWF",       "CALCULATE_MD5",    "DECOMPRESS",        "FILE_REPLACE_NAME", "DELETE_FILE",
      "START_DOWNLOAD", "HAVE_THIS_FILE",   "BEGIN_GAME",        "RUN_FILE_AND_STOP", "RUN_FILE",
      "LOG"};
  std::set<std::string> registered;
  for (const auto& [name, handler] : m_window.m_cmdHandlers) {
    registered.insert(name);
    EXPECT_NE(handler, nullptr) << name;
  }
  EXPECT_EQ(registered, expected);
}

TEST_F(Bridge, UnknownAndCaseDifferentNamesAreLoggedAndNeverAnswered) {
  for (const char* name : {"NO_SUCH_COMMAND", "load_swf", "Load_Swf", "LOAD_SWF ", ""}) {
    size_t mark = TestLogMessages().size();
    ::testing::internal::CaptureStderr();
    Dispatch(name, "x");
    std::string debugOutput = ::testing::internal::GetCapturedStderr();
    std::string expected = std::string("CmdHandler is not found: ") + name;
    EXPECT_EQ(debugOutput, expected + "\n");
    EXPECT_EQ(TestLogMessagesSince(mark),
              (std::vector<std::string>{std::string("DispatchFSCommand: ") + name + "\tx", expected}));
    // The log gets the debugger channel's text whole, its line feed making an empty line.
    EXPECT_NE(testing_support::ReadFile(testing_support::CurrentLogPath()).find(expected + "\n\n"), std::string::npos);
  }
  EXPECT_TRUE(m_runtime.Calls().empty());
  EXPECT_TRUE(m_runtime.Loads().empty());
}

TEST_F(Bridge, ANameHoldingFormatDirectivesIsLoggedLiterally) {
  size_t mark = TestLogMessages().size();
  ::testing::internal::CaptureStderr();
  Dispatch("%s%n%d%%", "%s");
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(TestLogMessagesSince(mark),
            (std::vector<std::string>{"DispatchFSCommand: %s%n%d%%\t%s", "CmdHandler is not found: %s%n%d%%"}));
}

TEST_F(Bridge, AVeryLongUnknownNameIsCutAtTheMessageLimit) {
  std::string name(3000, 'Q');
  size_t mark = TestLogMessages().size();
  ::testing::internal::CaptureStderr();
  Dispatch(name.c_str(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr().size(), bridge::kMaxNotFoundMessage);
  auto messages = TestLogMessagesSince(mark);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1], "CmdHandler is not found: " + name.substr(0, bridge::kMaxNotFoundMessage - 26));
}

TEST_F(Bridge, LoadSwfLoadsItsOneEntryAsItIs) {
  Dispatch("LOAD_SWF", "http://host/client.swf?v=1&x=<y>");
  Dispatch("LOAD_SWF", "");
  auto loads = m_runtime.Loads();
  ASSERT_EQ(loads.size(), 2u);
  EXPECT_EQ(loads[0].window, kPlayer);
  EXPECT_EQ(loads[0].layer, 0);
  EXPECT_EQ(loads[0].url, "http://host/client.swf?v=1&x=<y>");
  EXPECT_EQ(loads[1].url, "");
  EXPECT_TRUE(m_runtime.Calls().empty());
}

TEST_F(Bridge, LoadSwfNeverPassesOnTheLaunchersOwnPlayerUrls) {
  // A movie could read the launcher's memory files, or put up a failure page of its own making.
  for (const char* url : {"brimtale-player://memfd/3?url=http%3A%2F%2Fh%2F", "  BRIMTALE-Player://memfd/0?url=x",
                          "brimtale-player://failure?title=Sign%20in%20again&address=http://evil/",
                          "brimtale-player://sealed", "brimtale-player://held?brimtale-player://memfd/3?url=x",
                          "Brimtale-Player://start", "brimtale-player://prepare"}) {
    size_t mark = TestLogMessages().size();
    Dispatch("LOAD_SWF", url);
    EXPECT_EQ(TestLogMessagesSince(mark).back(), std::string("LOAD_SWF refused: ") + url);
  }
  EXPECT_TRUE(m_runtime.Loads().empty());
  // The runtime's other URLs, such as a local file it serves, are movies like any other.
  Dispatch("LOAD_SWF", "brimtale-player://code-1/local/tmp/m.swf");
  EXPECT_EQ(m_runtime.Loads().size(), 1u);

  // With a signed site no movie is loaded past the launcher's check.
  const SiteVerifier site("http://host/", "", "");
  g_host.signedSite = &site;
  size_t mark = TestLogMessages().size();
  Dispatch("LOAD_SWF", "http://host/client.swf");
  g_host.signedSite = nullptr;
  EXPECT_EQ(TestLogMessagesSince(mark).back().rfind("LOAD_SWF refused: http://host/client.swf: ", 0), 0u);
  EXPECT_EQ(m_runtime.Loads().size(), 1u);
}

TEST_F(Bridge, LoadSwfWithACommaIsRefusedWithItsCountMessage) {
  size_t mark = TestLogMessages().size();
  Dispatch("LOAD_SWF", "a,b");
  EXPECT_TRUE(m_runtime.Loads().empty());
  EXPECT_TRUE(m_runtime.Calls().empty());
  EXPECT_EQ(TestLogMessagesSince(mark),
            (std::vector<std::string>{"DispatchFSCommand: LOAD_SWF\ta,b", "LOAD_SWF, argc must equal: 1"}));
}

TEST_F(Bridge, CompressAndBeginGameOnlyLeaveTheDispatchersLine) {
  for (const char* name : {"COMPRESS", "BEGIN_GAME"}) {
    size_t mark = TestLogMessages().size();
    Dispatch(name, "a,b,c");
    EXPECT_EQ(TestLogMessagesSince(mark), (std::vector<std::string>{std::string("DispatchFSCommand: ") + name + "\ta,b,c"}));
  }
  EXPECT_TRUE(m_runtime.Calls().empty());
  EXPECT_TRUE(m_runtime.Loads().empty());
}

TEST_F(Bridge, AnswersReachTheMovieUnchangedAsOneArgument) {
  const std::string values[] = {
      "plain", "a,b", "x&y", "<b>bold</b>", "</string><string>forged", "\"quoted\" and 'single'",
      "&amp; stays &amp;", "]]><!--", "", "\xE4\xB8\xAD\xE6\x96\x87",
  };
  for (const std::string& value : values) {
    m_runtime.Clear();
    m_window.SendCompleteEvent("READ_FILE", value);
    auto calls = m_runtime.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].window, kPlayer);
    ASSERT_TRUE(calls[0].parsed.has_value()) << calls[0].request;
    EXPECT_EQ(calls[0].parsed->name, "COMPLETE_EVENT");
    EXPECT_EQ(calls[0].parsed->arguments, (std::vector<std::string>{"READ_FILE," + value})) << calls[0].request;
  }
}

TEST_F(Bridge, TheThreeAnswerFormsJoinTheirValuesWithCommas) {
  m_window.SendCompleteEvent("A");
  m_window.SendCompleteEvent("A", "b<");
  m_window.SendCompleteEvent("A", "b", "c,d");
  EXPECT_EQ(m_runtime.ArgumentsOf("COMPLETE_EVENT"), (std::vector<std::string>{"A", "A,b<", "A,b,c,d"}));
}

TEST_F(Bridge, TheFunctionNameIsEscapedToo) {
  m_window.CallFlashFunction("f\" returntype=\"x", "v");
  auto calls = m_runtime.Calls();
  ASSERT_EQ(calls.size(), 1u);
  ASSERT_TRUE(calls[0].parsed.has_value()) << calls[0].request;
  EXPECT_EQ(calls[0].parsed->name, "f\" returntype=\"x");
  EXPECT_EQ(calls[0].parsed->arguments, (std::vector<std::string>{"v"}));
}

TEST_F(Bridge, TheListenerDispatchesCommandsOfItsOwnWindowOnly) {
  flash::FPCSetEventListener(kPlayer, &CTransparentFlashPlayerControlWnd::FlashEventListener, &m_window);

  SFPCFSCommandInfoStruct foreign{};
  foreign.hdr.hwndFrom = FakeWindow(0x2000);
  foreign.hdr.code = FPCN_FSCOMMAND;
  foreign.command = "LOAD_SWF";
  foreign.args = "foreign.swf";
  CTransparentFlashPlayerControlWnd::FlashEventListener(kPlayer, &m_window, &foreign.hdr);
  EXPECT_TRUE(m_runtime.Loads().empty());

  ASSERT_TRUE(m_runtime.FireFSCommand(kPlayer, "LOAD_SWF", "own.swf"));
  auto loads = m_runtime.Loads();
  ASSERT_EQ(loads.size(), 1u);
  EXPECT_EQ(loads[0].url, "own.swf");
}

TEST_F(Bridge, ATextHoldingANulRunsNoHandlerAndGetsTheFailureAnswer) {
  // Cut at its NUL, "victim<NUL>.tmp" would name another file: "victim".
  testing_support::TempDir dir;
  const std::string victim = dir / "victim";
  testing_support::WriteFile(victim, "kept");
  flash::FPCSetEventListener(kPlayer, &CTransparentFlashPlayerControlWnd::FlashEventListener, &m_window);
  auto withNul = [](const std::string& before, const std::string& after) { return before + '\0' + after; };
  struct Case {
    const char* command;
    std::string arguments;
    std::string answer;  // empty: none
  } cases[] = {
      {"DELETE_FILE", withNul(victim, ".tmp"), "DELETE_FILE_FAILTE," + victim},
      {"DELETE_CATALOGUE", withNul(dir.path(), "/sub,x"), "DELETE_CATALOGUE,0"},
      {"WRITE_FILE", withNul(victim, ".tmp,00"), "WRITE_FILE,0"},
      {"READ_FILE", withNul(victim, ""), "READ_FILE,"},
      {"CALCULATE_MD5", withNul(victim, "x"), "CALCULATE_MD5," + std::string(32, '0') + "," + victim},
      {"FILE_REPLACE_NAME", withNul(victim, "," + victim + ".moved"), "FILE_REPLACE_NAME," + victim},
      {"SET_ENVIRONMENT", withNul("BRIMTALE_NUL", "X,value"), "SET_ENVIRONMENT,0"},
      {"RUN_FILE", withNul("/bin/true", "x"), "RUN_FILE_FAILTE,/bin/true,2"},
      {"START_DOWNLOAD", withNul("http://127.0.0.1:9/x," + victim, ".tmp"), "LOADER_FAILTE," + victim},
      {"DELETE_SUB_DIRECTORY", withNul(dir.path(), ",*.*"), ""},
      {"LOG", withNul("a", "b"), ""},
  };
  for (const Case& c : cases) {
    m_runtime.Clear();
    size_t mark = TestLogMessages().size();
    ASSERT_TRUE(m_runtime.FireFSCommand(kPlayer, c.command, c.arguments));
    std::vector<std::string> answers;
    for (const auto& entries : m_runtime.CompleteEvents()) {
      std::string joined;
      for (size_t i = 0; i < entries.size(); ++i) joined += (i > 0 ? "," : "") + entries[i];
      answers.push_back(joined);
    }
    EXPECT_EQ(answers, c.answer.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.answer}) << c.command;
    auto messages = TestLogMessagesSince(mark);
    EXPECT_EQ(messages.back(), std::string(c.command) + ": an argument holds a NUL, refused") << c.command;
  }
  EXPECT_EQ(testing_support::ReadFile(victim), "kept");
  EXPECT_FALSE(getenv("BRIMTALE_NUL"));

  // A name holding a NUL is no command's name.
  SFPCFSCommandInfoStruct event{};
  event.hdr.hwndFrom = kPlayer;
  event.hdr.code = FPCN_FSCOMMAND;
  event.command = "DELETE_FILE\0x";
  event.commandLength = 13;
  event.args = victim.c_str();
  event.argsLength = victim.size();
  CTransparentFlashPlayerControlWnd::FlashEventListener(kPlayer, &m_window, &event.hdr);
  EXPECT_EQ(testing_support::ReadFile(victim), "kept");
}

TEST_F(Bridge, TraceTextGoesToTheDebugChannelAndOtherCodesAreIgnored) {
  SFPCTraceStruct trace{};
  trace.hdr.hwndFrom = kPlayer;
  trace.hdr.code = FPCN_TRACE;
  trace.text = "trace %s line\n";
  ::testing::internal::CaptureStderr();
  CTransparentFlashPlayerControlWnd::FlashEventListener(kPlayer, &m_window, &trace.hdr);
  SFPCFSCommandInfoStruct other{};
  other.hdr.hwndFrom = kPlayer;
  other.hdr.code = 1234;
  other.command = "LOAD_SWF";
  other.args = "x";
  CTransparentFlashPlayerControlWnd::FlashEventListener(kPlayer, &m_window, &other.hdr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "trace %s line\n");
  EXPECT_TRUE(m_runtime.Loads().empty());
  EXPECT_TRUE(m_runtime.Calls().empty());
}

}  // namespace
