// The window, process and environment commands, sent through the bridge as the movie sends them,
// with the answers read back from a recording runtime. Real processes, real environment, real log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>
#include <thread>

#include "flash/CTransparentFlashPlayerControlWnd.h"
#include "platform/Processes.h"
#include "support/RecordingRuntime.h"
#include "support/TestGameHost.h"
#include "support/TestLog.h"
#include "support/TestSupport.h"

namespace {

// What the application would give the game window.
testing_support::TestGameHost g_host;

using namespace std::chrono_literals;
using testing::ElementsAre;
using testing::IsEmpty;
using testing_support::SplitAtCommas;
using testing_support::TempDir;

const std::string& g_log = testing_support::UseTestLog();

class WindowProcessCommands : public ::testing::Test {
 protected:
  // The COMPLETE_EVENT values the command produced, as the movie receives them.
  std::vector<std::string> Send(const char* command, const char* arguments) {
    m_runtime.Clear();
    m_window.DispatchFSCommand(command, arguments);
    return m_runtime.ArgumentsOf("COMPLETE_EVENT");
  }
  std::string SendOne(const char* command, const char* arguments) {
    auto answers = Send(command, arguments);
    EXPECT_EQ(answers.size(), 1u) << command;
    return answers.empty() ? std::string() : answers[0];
  }
  // The log messages a command wrote, without the dispatcher's own line.
  std::vector<std::string> LogOf(const char* command, const char* arguments) {
    size_t mark = testing_support::TestLogMessages().size();
    m_window.DispatchFSCommand(command, arguments);
    auto messages = testing_support::TestLogMessagesSince(mark);
    if (!messages.empty() && messages.front().rfind("DispatchFSCommand: ", 0) == 0) messages.erase(messages.begin());
    return messages;
  }

  testing_support::RecordingRuntime m_runtime;
  CTransparentFlashPlayerControlWnd m_window{g_host};
};

TEST_F(WindowProcessCommands, WrongEntryCountsOnlyLogTheirMessage) {
  struct Case {
    const char* command;
    const char* arguments;
    const char* message;
  } cases[] = {
      {"SETCONFIG", "0", "SETCONFIG, argc must equal: 2"},
      {"SETCONFIG", "0,a,b", "SETCONFIG, argc must equal: 2"},
      {"GET_ENVIRONMENT", "PATH,HOME", "GET_ENVIRONMENT, argc must equal: 1"},
      {"SET_ENVIRONMENT", "NAME", "SET_ENVIRONMENT, argc must equal: 2"},
      {"WART_AND_CLOSE", "0,0", "WART_AND_CLOSE, argc must equal: 1"},
      {"GET_EXE_VER", "a,b", "GET_EXE_VER, argc must equal: 1"},
      {"KILL_PROCESS", ",", "KILL_PROCESS, argc must equal: 1"},
      {"LOG", "one,two", "LOG, argc must equal: 1"},
  };
  for (const auto& c : cases) {
    m_runtime.Clear();
    EXPECT_THAT(LogOf(c.command, c.arguments), ElementsAre(c.message)) << c.command << " " << c.arguments;
    EXPECT_THAT(m_runtime.Calls(), IsEmpty()) << c.command;
  }
}

TEST_F(WindowProcessCommands, AnswersThatCarryOnlyTheirName) {
  EXPECT_EQ(SendOne("START_MOVE", ""), "START_MOVE");
  EXPECT_EQ(SendOne("RETURN_WINDOWS", "anything"), "RETURN_WINDOWS");
  EXPECT_EQ(SendOne("GET_VERSION", ""), "GET_VERSION,1");
  // Without a window to act on, MIN_WINDOWS still answers.
  EXPECT_EQ(SendOne("MIN_WINDOWS", ""), "MIN_WINDOWS");
}

TEST_F(WindowProcessCommands, AccessTokenIsEmptyBeforeLoginThenTheStoredOne) {
  g_host.accessToken.clear();
  EXPECT_EQ(SendOne("GETACCESSTOKEN", ""), "GETACCESSTOKEN,");
  g_host.accessToken = "{\"openid\":\"x\",\"token\":\"t\"}";
  EXPECT_EQ(SendOne("GETACCESSTOKEN", ""), "GETACCESSTOKEN,{\"openid\":\"x\",\"token\":\"t\"}");
  g_host.accessToken.clear();
}

TEST_F(WindowProcessCommands, SetConfigStoresOnlyIndexesZeroToTwo) {
  struct Case {
    const char* arguments;
    const char* answer;
    int index;  // where the value must now be; -1: stored nowhere
  } cases[] = {
      {"0,Game Title", "SETCONFIG,1", 0},
      {"1,first", "SETCONFIG,1", 1},
      {"2,second", "SETCONFIG,1", 2},
      {"3,never", "SETCONFIG,0", -1},
      {"-1,never", "SETCONFIG,0", -1},
      {"99999999999,never", "SETCONFIG,0", -1},
      {"4294967296,never", "SETCONFIG,0", -1},  // would wrap to 0 were the number cut to 32 bits
      {"abc,from text", "SETCONFIG,1", 0},      // no digits: index 0
      {" 1x,leading", "SETCONFIG,1", 1},        // blanks skipped, digits up to the first other
  };
  for (const auto& c : cases) {
    for (int i = 0; i < 3; ++i) g_host.movieStrings.Set(i, "before");
    EXPECT_EQ(SendOne("SETCONFIG", c.arguments), c.answer) << c.arguments;
    std::string value = std::string(c.arguments).substr(std::string(c.arguments).find(',') + 1);
    for (int i = 0; i < 3; ++i)
      EXPECT_EQ(g_host.movieStrings.Get(i), i == c.index ? value : "before") << c.arguments << " index " << i;
  }
}

TEST_F(WindowProcessCommands, EnvironmentSetThenReadWhole) {
  EXPECT_EQ(SendOne("SET_ENVIRONMENT", "BRIMTALE_CMD_VAR,with blank"), "SET_ENVIRONMENT,1");
  EXPECT_EQ(SendOne("GET_ENVIRONMENT", "BRIMTALE_CMD_VAR"), "GET_ENVIRONMENT,with blank");
  EXPECT_EQ(SendOne("GET_ENVIRONMENT", "BRIMTALE_CMD_NEVER_SET"), "GET_ENVIRONMENT,");
  // A name the environment cannot hold is refused.
  EXPECT_EQ(SendOne("SET_ENVIRONMENT", "A=B,x"), "SET_ENVIRONMENT,0");
  // Lengths around the old fixed buffer, and far beyond it: always the whole value.
  for (size_t length : {1022u, 1023u, 1024u, 40000u}) {
    std::string value(length, 'p');
    value.back() = 'E';
    ASSERT_EQ(SendOne("SET_ENVIRONMENT", ("BRIMTALE_CMD_LONG," + value).c_str()), "SET_ENVIRONMENT,1");
    EXPECT_EQ(SendOne("GET_ENVIRONMENT", "BRIMTALE_CMD_LONG"), "GET_ENVIRONMENT," + value) << length;
  }
}

// Runs `body` in a forked child, whose environment changes stay its own, and returns its result.
int InChild(const std::function<int()>& body) {
  pid_t child = fork();
  if (child == 0) _exit(body());
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Heap bytes in use, from the main arena and from mappings of their own.
size_t HeapBytes() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// However the movie changes the environment, it stays small enough for programs to start with it,
// and its cost in memory stays bounded: a change that cannot be afforded is answered "0".
TEST_F(WindowProcessCommands, EnvironmentChangesAreBoundedByWhatAProgramCanBeStartedWith) {
  struct Case {
    const char* what;
    int changes;
    std::function<std::string(int)> arguments;  // of SET_ENVIRONMENT number i
    size_t heapLimit;                           // growth of the heap over all the changes
    bool lastAccepted;                          // whether the last change is still answered "1"
  } cases[] = {
      {"twenty values of 120,000 bytes", 20,
       [](int i) { return "BRIMTALE_BIG_" + std::to_string(i) + "," + std::string(120000, 'v'); }, size_t{8} << 20,
       false},
      {"8,000 new names", 8000, [](int i) { return "BRIMTALE_NAME_" + std::to_string(i) + ",v"; }, size_t{4} << 20,
       true},
      {"one name, 700 values of 50,000 bytes", 700,
       [](int i) { return "BRIMTALE_CHANGED," + std::to_string(i) + std::string(50000, 'v'); }, size_t{40} << 20,
       false},
      {"one name, 5,000 times the same value", 5000, [](int) { return "BRIMTALE_SAME," + std::string(1000, 's'); },
       size_t{1} << 20, true},
  };
  for (const Case& c : cases) {
    int status = InChild([&] {
      const size_t heap = HeapBytes();
      std::string last;
      std::string answer;
      for (int i = 0; i < c.changes; ++i) {
        std::string arguments = c.arguments(i);
        answer = SendOne("SET_ENVIRONMENT", arguments.c_str());
        if (answer == "SET_ENVIRONMENT,1") last = arguments;
        if (answer != "SET_ENVIRONMENT,1" && answer != "SET_ENVIRONMENT,0") return 1;
      }
      if (HeapBytes() > heap + c.heapLimit) return 2;
      if ((answer == "SET_ENVIRONMENT,1") != c.lastAccepted) return 3;
      // The last accepted value is the one in force.
      size_t comma = last.find(',');
      std::string name = last.substr(0, comma);
      if (SendOne("GET_ENVIRONMENT", name.c_str()) != "GET_ENVIRONMENT," + last.substr(comma + 1)) return 4;
      // And a program still starts with the whole environment.
      std::vector<std::string> started = SplitAtCommas(SendOne("RUN_FILE_AND_STOP", "/bin/true"));
      if (started.empty() || started[0] != "RUN_FILE") return 5;
      return 0;
    });
    EXPECT_EQ(status, 0) << c.what << ": 1 a wrong answer, 2 too much memory, 3 the last change answered wrongly, "
                                      "4 the last accepted value not in force, 5 no program starts";
  }
}

TEST_F(WindowProcessCommands, EnvironmentIsInheritedByAProgramStartedWithRunFile) {
  TempDir dir;
  ASSERT_EQ(SendOne("SET_ENVIRONMENT", "BRIMTALE_CMD_INHERITED,seen by the child"), "SET_ENVIRONMENT,1");
  std::string arguments = "/bin/sh," + dir.path() + ",-c 'printf %s \"$BRIMTALE_CMD_INHERITED\" > inherited.txt'";
  auto answer = SplitAtCommas(SendOne("RUN_FILE", arguments.c_str()));
  ASSERT_EQ(answer.size(), 3u);
  ASSERT_EQ(answer[0], "RUN_FILE");
  platform::WaitForProcessHandle(std::stoll(answer[2]));
  EXPECT_EQ(testing_support::ReadFile(dir / "inherited.txt"), "seen by the child");
}

TEST_F(WindowProcessCommands, ProcessListHoldsTheLauncherWithItsIdAndFileName) {
  std::string ownId = SplitAtCommas(SendOne("GET_CURRENT_PROCESS_ID", "")).at(1);
  EXPECT_EQ(ownId, std::to_string(getpid()));

  std::string answer = SendOne("GET_PROCESS", "");
  ASSERT_EQ(answer.rfind("GET_PROCESS,", 0), 0u);
  std::string list = answer.substr(12);
  ASSERT_FALSE(list.empty());
  EXPECT_EQ(list.back(), '|');
  // Every entry is "id?name|", by ascending id.
  std::regex entry(R"((\d+)\?([^?|]+)\|)");
  long previous = 0;
  bool self = false;
  size_t covered = 0;
  for (std::sregex_iterator it(list.begin(), list.end(), entry), end; it != end; ++it) {
    EXPECT_EQ(static_cast<size_t>(it->position()), covered) << "unparsable text before " << it->str();
    covered = static_cast<size_t>(it->position() + it->length());
    long id = std::stol((*it)[1]);
    EXPECT_GT(id, previous);
    previous = id;
    if ((*it)[1] == ownId) self = (*it)[2] == "unit_commands";
  }
  EXPECT_EQ(covered, list.size());
  EXPECT_TRUE(self) << list;
}

TEST_F(WindowProcessCommands, KillProcessEndsARealChild) {
  pid_t child = fork();
  if (child == 0) {
    execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string id = std::to_string(child);
  EXPECT_EQ(SendOne("KILL_PROCESS", id.c_str()), "KILL_PROCESS," + id);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
  // An id that no longer exists still answers.
  EXPECT_EQ(SendOne("KILL_PROCESS", id.c_str()), "KILL_PROCESS," + id);
}

TEST_F(WindowProcessCommands, KillProcessOfATextIsIdZeroAndSignalsNothing) {
  // In a child leading its own process group: were id 0 signalled, the child would die with it.
  pid_t child = fork();
  if (child == 0) {
    setpgid(0, 0);
    m_window.DispatchFSCommand("KILL_PROCESS", "abc");
    auto answers = m_runtime.ArgumentsOf("COMPLETE_EVENT");
    _exit(answers.size() == 1 && answers[0] == "KILL_PROCESS,0" ? 7 : 8);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "signalled: " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 7);
}

TEST_F(WindowProcessCommands, LogWritesTheTextLiterally) {
  EXPECT_THAT(LogOf("LOG", "100%s done %d %n"), ElementsAre("FlashLog: 100%s done %d %n"));
  EXPECT_THAT(LogOf("LOG", ""), ElementsAre("FlashLog: "));
  EXPECT_THAT(m_runtime.Calls(), IsEmpty());
}

TEST_F(WindowProcessCommands, WindowsVersionGivesTheMovieNineFields) {
  auto fields = SplitAtCommas(SendOne("GET_WINDOWS_VER", ""));
  ASSERT_EQ(fields.size(), 9u);
  EXPECT_EQ(fields[0], "GET_WINDOWS_VER");
  for (size_t i = 1; i < fields.size(); ++i) EXPECT_TRUE(std::regex_match(fields[i], std::regex(R"(\d+)"))) << fields[i];
  utsname names{};
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(fields[1], std::to_string(atoi(names.release)));
  EXPECT_THAT(std::vector<std::string>(fields.begin() + 4, fields.end()), ElementsAre("2", "0", "0", "0", "1"));
}

TEST_F(WindowProcessCommands, CommandLineIsAnsweredAndLogged) {
  size_t mark = testing_support::TestLogMessages().size();
  std::string answer = SendOne("GET_CMD", "");
  ASSERT_EQ(answer.rfind("GET_CMD,", 0), 0u);
  std::string commandLine = answer.substr(8);
  EXPECT_EQ(commandLine.rfind(std::filesystem::canonical("/proc/self/exe").string(), 0), 0u) << commandLine;
  auto messages = testing_support::TestLogMessagesSince(mark);
  EXPECT_THAT(messages, testing::Contains("GetCommandLine: " + commandLine));
}

TEST_F(WindowProcessCommands, MacAddressIsColonHexWithATrailingComma) {
  std::string first = SendOne("GET_MACADDR", "");
  EXPECT_TRUE(std::regex_match(first, std::regex(R"(GET_MACADDR,([0-9A-F]{2}(:[0-9A-F]{2}){5})?,)"))) << first;
  EXPECT_EQ(SendOne("GET_MACADDR", ""), first);
}

TEST_F(WindowProcessCommands, ExeVersionOfTheLauncherAndOfFilesWithout) {
  TempDir dir;
  testing_support::WriteFile(dir / "plain.txt", "no version here");
  std::filesystem::create_directories(dir / "folder");
  // Nothing but a regular file is opened: a FIFO without a writer would hold the GUI thread for
  // ever, a device (a null device of the test's own) is no module.
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
  struct Case {
    std::string path;
    std::string version;
  } cases[] = {
      {BRIMTALE_LAUNCHER_PATH, BRIMTALE_PROJECT_VERSION},
      {dir / "plain.txt", ""},
      {dir / "missing", ""},
      {dir / "folder", ""},
      {dir / "fifo", ""},
      {dir / "null", ""},
      {"/proc/self/status", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(SendOne("GET_EXE_VER", c.path.c_str()), "GET_EXE_VER," + c.path + "," + c.version) << c.path;
}

TEST_F(WindowProcessCommands, ClearCacheRemovesTheWebPlayerCacheDetached) {
  TempDir cache;
  std::string tree = cache / "Unity/WebPlayer/Cache";
  std::filesystem::create_directories(tree + "/game/sub");
  testing_support::WriteFile(tree + "/game/sub/data.unity3d", "x");
  std::filesystem::create_directories(cache / "Unity/WebPlayer/Other");
  const char* previous = getenv("XDG_CACHE_HOME");
  std::string saved = previous ? previous : "";
  setenv("XDG_CACHE_HOME", cache.path().c_str(), 1);

  EXPECT_EQ(SendOne("CLEARCACHE", ""), "CLEARCACHE,1");
  for (int i = 0; i < 150 && std::filesystem::exists(tree); ++i) std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(std::filesystem::exists(tree));
  EXPECT_TRUE(std::filesystem::exists(cache / "Unity/WebPlayer/Other"));

  if (previous) setenv("XDG_CACHE_HOME", saved.c_str(), 1); else unsetenv("XDG_CACHE_HOME");
}

}  // namespace
