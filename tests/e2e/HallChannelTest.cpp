// The hall channel with the test hall library and real X11 windows: what the launcher tells the
// library, and what the hall's messages do to windows of another process.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "HallLauncherRun.h"
#include "hall/CProcEventHandler.h"
#include "hall/IClientProcMsgObject.h"
#include "hall/QQHallMsgHelper.h"
#include "platform/DisplayConnection.h"
#include "platform/TopLevelWindows.h"
#include "support/TestLog.h"

// Xlib's macros (None, Bool, Status) must come after the test framework's headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

// Where the handler looks for the game window, as the application would give it.
StoredStrings g_movieStrings;
std::string g_clientCaption;
const HallTarget kTarget{&g_movieStrings, &g_clientCaption};

using hall_testing::HasMessage;
using hall_testing::HasMessageStartingWith;
using hall_testing::Messages;
using hall_testing::MessagesFrom;
using hall_testing::RunLauncherUntil;
using testing_support::LauncherSandbox;
using testing_support::ProcessOptions;
using testing_support::ReadFile;
using testing_support::SplitLines;

// This process's own log, for the channel run inside it.
const std::string& g_testLog = testing_support::UseTestLog();

// Top-level windows of this test process, on a connection of its own.
class TestWindows {
 public:
  TestWindows() {
    // The server resets when its last client leaves; a connection tried meanwhile is refused.
    for (int attempt = 0; attempt < 100 && m_display == nullptr; ++attempt) {
      m_display = XOpenDisplay(nullptr);
      if (m_display == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~TestWindows() {
    if (m_display == nullptr) return;
    for (Window window : m_windows) XDestroyWindow(m_display, window);
    XCloseDisplay(m_display);
  }
  bool IsOpen() const { return m_display != nullptr; }

  // A mapped window titled `title` (no title when empty), in both name properties.
  Window Create(const std::string& title) {
    Window window = XCreateSimpleWindow(m_display, DefaultRootWindow(m_display), 10, 10, 120, 80, 0, 0, 0);
    if (!title.empty()) {
      XStoreName(m_display, window, title.c_str());
      XChangeProperty(m_display, window, XInternAtom(m_display, "_NET_WM_NAME", False),
                      XInternAtom(m_display, "UTF8_STRING", False), 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(title.data()), static_cast<int>(title.size()));
    }
    XMapWindow(m_display, window);
    XSync(m_display, False);
    m_windows.push_back(window);
    return window;
  }

  // A window titled `title` inside an unnamed frame, as a reparenting window manager leaves it;
  // returns the frame.
  Window CreateFramed(const std::string& title, Window* client) {
    Window frame = Create("");
    Window inner = Create(title);
    XReparentWindow(m_display, inner, frame, 0, 0);
    XMapWindow(m_display, inner);
    XSync(m_display, False);
    m_windows.pop_back();  // destroyed with its frame
    *client = inner;
    return frame;
  }

  void Raise(Window window) {
    XRaiseWindow(m_display, window);
    XSync(m_display, False);
  }

  bool IsShown(Window window) {
    XWindowAttributes attributes{};
    XGetWindowAttributes(m_display, window, &attributes);
    return attributes.map_state == IsViewable;
  }

  // Whether `window` lies above every other window of this test in the stacking order.
  bool IsTopmostOfOurs(Window window) {
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    XQueryTree(m_display, DefaultRootWindow(m_display), &root, &parent, &children, &count);
    Window topmost = 0;
    for (unsigned int i = 0; i < count; ++i)  // bottom to top
      if (std::find(m_windows.begin(), m_windows.end(), children[i]) != m_windows.end()) topmost = children[i];
    if (children != nullptr) XFree(children);
    return topmost == window;
  }

  void Destroy(Window window) {
    XDestroyWindow(m_display, window);
    XSync(m_display, False);
    m_windows.erase(std::find(m_windows.begin(), m_windows.end(), window));
  }

  Window Focus() {
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(m_display, &focus, &revert);
    return focus;
  }

 private:
  Display* m_display = nullptr;
  std::vector<Window> m_windows;
};

std::string WindowText(Window window) {
  char text[32];
  snprintf(text, sizeof text, "%p", reinterpret_cast<void*>(window));
  return text;
}

// A launcher sandbox for type 1 with the test hall library placed where the launcher looks.
class HallSandbox {
 public:
  explicit HallSandbox(const std::string& clientCaption = "Hall Test Game") {
    m_sandbox.WriteConfig(R"({"LauncherType": 1, "ClientCaption": ")" + clientCaption + R"("})");
    std::filesystem::create_directories(m_sandbox.dir() / "w1/w2");
  }
  // `where` is relative to the sandbox's root: "", "w1" or "w1/w2".
  void PlaceLibrary(const std::string& where) {
    std::filesystem::copy_file(BRIMTALE_TEST_HALL_LIBRARY,
                               m_sandbox.dir() / (where.empty() ? "" : where + "/") + "QQGameProcMsgHelper.so");
  }
  ProcessOptions Options(const std::string& deliver = "") {
    ProcessOptions options = m_sandbox.Options();
    options.workingDirectory = m_sandbox.dir() / "w1/w2";
    options.environment["BRIMTALE_TEST_HALL_RECORD"] = RecordPath();
    options.environment["BRIMTALE_HALL_ANALYSIS_HOST"] = "http://127.0.0.1:9";  // refused at once
    if (!deliver.empty()) options.environment["BRIMTALE_TEST_HALL_DELIVER"] = deliver;
    return options;
  }
  std::string RecordPath() const { return m_sandbox.dir() / "hall-record.txt"; }
  std::vector<std::string> Record() const { return SplitLines(ReadFile(RecordPath())); }

  // Runs the launcher until the channel is set up (and the messages given to Options delivered).
  hall_testing::LauncherRun RunUntilConnected(const ProcessOptions& options,
                                              const std::string& arguments = "ID=u1,PROCPARA=hall-param=1") {
    return RunLauncherUntil(m_sandbox, {arguments}, options, [](const Messages& messages) {
      return HasMessageStartingWith(messages, "QQHallMsgHelper::InitQQHallHelper rtv:") ||
             HasMessageStartingWith(messages, "Load QQGameProcMsgHelper.dll failed.");
    });
  }

  LauncherSandbox& sandbox() { return m_sandbox; }

 private:
  LauncherSandbox m_sandbox;
};

TEST(HallChannelProcess, LibraryIsFoundInTheCurrentDirectoryOrTheTwoAboveIt) {
  struct Case {
    const char* where;  // relative to the sandbox root; the working directory is w1/w2
    bool found;
  };
  const Case cases[] = {{"w1/w2", true}, {"w1", true}, {"", true}, {nullptr, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.where ? c.where : "nowhere");
    HallSandbox hall;
    if (c.where != nullptr) hall.PlaceLibrary(c.where);
    auto run = hall.RunUntilConnected(hall.Options());
    Messages messages = run.messages;
    if (!c.found) {
      EXPECT_TRUE(HasMessage(messages, "Load QQGameProcMsgHelper.dll failed."));
      EXPECT_FALSE(HasMessageStartingWith(messages, "QQHallMsgHelper::InitQQHallHelper rtv"));
      EXPECT_EQ(run.result.output.find("Client Object"), std::string::npos);
      continue;
    }
    EXPECT_EQ(hall.Record(),
              (std::vector<std::string>{"Create", "Initialize", "SetEventHandler", "Connect hall-param=1"}));
    EXPECT_NE(
        run.result.output.find("Get Create Client Object Function Success!\nCreate Client Object Function Success!\n"),
        std::string::npos)
        << run.result.output;
    // The library answers the connection on its own thread before Connect returns.
    EXPECT_EQ(MessagesFrom(messages, "CProcEventHandler::OnConnectSucc"),
              (Messages{"CProcEventHandler::OnConnectSucc", "QQHallMsgHelper::InitQQHallHelper rtv: 0"}))
        << testing::PrintToString(messages);
  }
}

TEST(HallChannelProcess, ConnectResultAndMissingObjectAreReported) {
  {
    HallSandbox hall;
    hall.PlaceLibrary("w1/w2");
    ProcessOptions options = hall.Options();
    options.environment["BRIMTALE_TEST_HALL_CONNECT_RESULT"] = "-3";
    auto run = hall.RunUntilConnected(options);
    EXPECT_TRUE(HasMessage(run.messages, "CProcEventHandler::OnConnectFailed"));
    EXPECT_TRUE(HasMessage(run.messages, "QQHallMsgHelper::InitQQHallHelper rtv: -3"));
  }
  {
    HallSandbox hall;
    hall.PlaceLibrary("w1/w2");
    ProcessOptions options = hall.Options();
    options.environment["BRIMTALE_TEST_HALL_NO_OBJECT"] = "1";
    auto run = hall.RunUntilConnected(options);
    EXPECT_TRUE(HasMessage(run.messages, "Load QQGameProcMsgHelper.dll failed. CreateObject return null."));
    EXPECT_NE(
        run.result.output.find("Get Create Client Object Function Success!\nCreate Client Object Function failed!\n"),
        std::string::npos)
        << run.result.output;
    EXPECT_EQ(hall.Record(), std::vector<std::string>{"Create"});
  }
}

TEST(HallChannelProcess, BossKeyHidesThenRestoresTheGameWindowOfAnotherProcess) {
  TestWindows windows;
  ASSERT_TRUE(windows.IsOpen());
  Window game = windows.Create("Hall Test Game");
  ASSERT_TRUE(windows.IsShown(game));
  struct Step {
    const char* deliver;
    bool viewableAfter;
    std::string logged;
  };
  const Step steps[] = {
      {"3:0", false, "Process QQHall Message: SC_BOSSKEY, Param: 0, Rtv: 1, " + WindowText(game)},
      {"3:0", false, "Process QQHall Message: SC_BOSSKEY, Param: 0, Rtv: 0, " + WindowText(game)},
      {"3:-5", true, "Process QQHall Message: SC_BOSSKEY, Param: -5, Rtv: 0, " + WindowText(game)},
      {"3:1", true, "Process QQHall Message: SC_BOSSKEY, Param: 1, Rtv: 1, " + WindowText(game)},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.deliver);
    HallSandbox hall;
    hall.PlaceLibrary("w1/w2");
    auto run = hall.RunUntilConnected(hall.Options(step.deliver));
    EXPECT_EQ(windows.IsShown(game), step.viewableAfter);
    Messages handled = MessagesFrom(run.messages, "CProcEventHandler::OnReceiveMsg, CmdId: 3, DataLen: 4");
    ASSERT_GE(handled.size(), 2u) << testing::PrintToString(run.messages);
    EXPECT_EQ(handled[1], step.logged);
  }
}

TEST(HallChannelProcess, BringToTopRaisesAndFocusesTheGameWindow) {
  TestWindows windows;
  ASSERT_TRUE(windows.IsOpen());
  Window game = windows.Create("Hall Test Game");
  windows.Create("Hall Test Other");
  ASSERT_FALSE(windows.IsTopmostOfOurs(game));
  HallSandbox hall;
  hall.PlaceLibrary("w1/w2");
  auto run = hall.RunUntilConnected(hall.Options("4"));
  // The focus is left to the in-process case: the launcher's own window may take it afterwards.
  EXPECT_TRUE(windows.IsTopmostOfOurs(game));
  EXPECT_EQ(MessagesFrom(run.messages, "CProcEventHandler::OnReceiveMsg, CmdId: 4, DataLen: 0"),
            (Messages{"CProcEventHandler::OnReceiveMsg, CmdId: 4, DataLen: 0",
                      "Process QQHall Message: SC_WND_BRINGTOP, FoundTargetWindow", "BringWindowToTop OK",
                      "SetForegroundWindow OK", "QQHallMsgHelper::InitQQHallHelper rtv: 0"}));
}

TEST(HallChannelProcess, UnsupportedAndUnfoundAreOnlyLogged) {
  TestWindows windows;
  ASSERT_TRUE(windows.IsOpen());
  Window other = windows.Create("Hall Test Other");
  HallSandbox hall("Hall Test Nowhere");
  hall.PlaceLibrary("w1/w2");
  auto run = hall.RunUntilConnected(hall.Options("2,3:0,4"));
  EXPECT_TRUE(windows.IsShown(other));
  EXPECT_EQ(MessagesFrom(run.messages, "CProcEventHandler::OnReceiveMsg, CmdId: 2, DataLen: 0"),
            (Messages{"CProcEventHandler::OnReceiveMsg, CmdId: 2, DataLen: 0",
                      "CProcEventHandler::OnReceiveMsg, Unsupported Message",
                      "CProcEventHandler::OnReceiveMsg, CmdId: 3, DataLen: 4",
                      "Process QQHall Message: SC_BOSSKEY, Can't Found TargetWindow",
                      "CProcEventHandler::OnReceiveMsg, CmdId: 4, DataLen: 0",
                      "Process QQHall Message: SC_WND_BRINGTOP, Can't Found TargetWindow",
                      "QQHallMsgHelper::InitQQHallHelper rtv: 0"}));
}

TEST(HallChannelProcess, MessagesArriveWhileTheLauncherRuns) {
  TestWindows windows;
  ASSERT_TRUE(windows.IsOpen());
  Window game = windows.Create("Hall Test Game");
  HallSandbox hall;
  hall.PlaceLibrary("w1/w2");
  ProcessOptions options = hall.Options();
  std::string trigger = hall.sandbox().dir() / "hall-trigger";
  options.environment["BRIMTALE_TEST_HALL_TRIGGER"] = trigger;
  std::atomic<int> sent{0};
  auto record = [&] { return hall.Record(); };
  auto run = RunLauncherUntil(hall.sandbox(), {"ID=u1,PROCPARA=p"}, options, [&](const Messages& messages) {
    if (!HasMessageStartingWith(messages, "QQHallMsgHelper::InitQQHallHelper rtv:")) return false;
    // Written whole and renamed into place, so the library never reads half a message list.
    auto send = [&](const std::string& list) {
      testing_support::WriteFile(trigger + ".new", list);
      std::filesystem::rename(trigger + ".new", trigger);
      ++sent;
    };
    auto delivered = [&](const std::string& list) {
      auto lines = record();
      return std::find(lines.begin(), lines.end(), "Delivered " + list) != lines.end();
    };
    if (sent == 0) send("3:0");
    if (sent == 1 && delivered("3:0")) {
      EXPECT_FALSE(windows.IsShown(game));
      send("3:1");
    }
    return sent == 2 && delivered("3:1");
  });
  EXPECT_FALSE(run.endedByItself) << run.result.output;
  EXPECT_TRUE(windows.IsShown(game));
  EXPECT_TRUE(HasMessage(run.messages, "Process QQHall Message: SC_BOSSKEY, Param: 0, Rtv: 1, " + WindowText(game)));
  EXPECT_TRUE(HasMessage(run.messages, "Process QQHall Message: SC_BOSSKEY, Param: 1, Rtv: 0, " + WindowText(game)));
}

TEST(HallChannelLibrary, QuitMessageReachesTheLibraryThroughItsTable) {
  testing_support::TempDir dir;
  std::filesystem::copy_file(BRIMTALE_TEST_HALL_LIBRARY, dir / "QQGameProcMsgHelper.so");
  setenv("BRIMTALE_TEST_HALL_RECORD", (dir / "record.txt").c_str(), 1);
  setenv("BRIMTALE_TEST_HALL_SEND_RESULT", "7", 1);
  std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  QQHallChannel channel(kTarget);
  int connected = channel.Open("in-process");
  std::filesystem::current_path(previous);
  size_t mark = testing_support::TestLogMessages().size();
  channel.SendQuitMsg();
  unsetenv("BRIMTALE_TEST_HALL_RECORD");
  unsetenv("BRIMTALE_TEST_HALL_SEND_RESULT");
  EXPECT_EQ(connected, 0);
  EXPECT_EQ(
      SplitLines(ReadFile(dir / "record.txt")),
      (std::vector<std::string>{"Create", "Initialize", "SetEventHandler", "Connect in-process", "SendMsg 8 1 0"}));
  EXPECT_EQ(testing_support::TestLogMessagesSince(mark),
            (Messages{"Send QQHallMsg CmdId: 1", "Send Msg Failed! Error Code: 7"}));
}

// --- The handler inside this process, on a thread of its own as the hall calls it ----------

void DeliverOnOtherThread(uint32_t id, int32_t parameter) {
  auto message = std::make_unique<ClientProcMsg>();
  message->CmdId = id;
  message->DataLen = 4;
  memcpy(message->Data, &parameter, sizeof parameter);
  std::thread([&] {
    CProcEventHandler handler(kTarget);
    handler.OnReceiveMsg(nullptr, sizeof(ClientProcMsg), message.get());
  }).join();
}

TEST(HallTargetWindow, MoviesTitleComesFirstThenClientCaption) {
  struct Case {
    const char* name;
    std::string setConfig0;
    std::string clientCaption;
    bool gameHidden;
    bool movieWindowHidden;
  };
  const Case cases[] = {
      {"no title from the movie", "", "Hall Test Game", true, false},
      {"movie's title names no window", "Hall Test Missing", "Hall Test Game", true, false},
      {"movie's title wins", "Hall Test Movie", "Hall Test Game", false, true},
      {"empty titles match no unnamed window", "", "", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestWindows windows;
    ASSERT_TRUE(windows.IsOpen());
    Window game = windows.Create("Hall Test Game");
    Window movie = windows.Create("Hall Test Movie");
    Window unnamed = windows.Create("");
    g_movieStrings.Set(0, c.setConfig0);
    g_clientCaption = c.clientCaption;
    DeliverOnOtherThread(SC_BOSSKEY, 0);
    EXPECT_EQ(windows.IsShown(game), !c.gameHidden);
    EXPECT_EQ(windows.IsShown(movie), !c.movieWindowHidden);
    EXPECT_TRUE(windows.IsShown(unnamed));
  }
  g_movieStrings.Set(0, "");
}

TEST(HallTargetWindow, BringToTopRaisesAndFocusesTheGameWindow) {
  TestWindows windows;
  ASSERT_TRUE(windows.IsOpen());
  Window game = windows.Create("Hall Test Game");
  Window other = windows.Create("Hall Test Other");
  g_movieStrings.Set(0, "");
  g_clientCaption = "Hall Test Game";
  ASSERT_FALSE(windows.IsTopmostOfOurs(game));
  DeliverOnOtherThread(SC_WND_BRINGTOP, 0);
  EXPECT_TRUE(windows.IsTopmostOfOurs(game));
  EXPECT_EQ(windows.Focus(), game);
  EXPECT_TRUE(windows.IsShown(other));
}

TEST(HallTargetWindow, OfWindowsSharingACaptionBothLookupsFindTheTopMost) {
  TestWindows windows;
  ASSERT_TRUE(windows.IsOpen());
  Window first = windows.Create("Hall Test Twin");
  Window framedClient = 0;
  Window frame = windows.CreateFramed("Hall Test Twin", &framedClient);
  Window last = windows.Create("Hall Test Twin");
  platform::DisplayConnection display;
  ASSERT_TRUE(display.IsOpen());
  struct Case {
    Window raised;
    Window found;
  };
  for (const Case& c : {Case{first, first}, Case{frame, framedClient}, Case{last, last}, Case{first, first}}) {
    SCOPED_TRACE(c.raised);
    windows.Raise(c.raised);
    EXPECT_EQ(display.FindTopLevelWindow("Hall Test Twin"), c.found);  // the hall's thread
    EXPECT_EQ(platform::FindTopLevelWindow("Hall Test Twin"), c.found);  // a second copy of the launcher
  }
}

TEST(HallTargetWindow, WindowGoneBeforeTheHallActsIsAnErrorNotTheEndOfTheProcess) {
  TestWindows windows;
  ASSERT_TRUE(windows.IsOpen());
  Window gone = windows.Create("Hall Test Gone");
  platform::DisplayConnection display;
  ASSERT_TRUE(display.IsOpen());
  ASSERT_EQ(display.FindTopLevelWindow("Hall Test Gone"), gone);
  windows.Destroy(gone);
  constexpr int kBadWindow = 3;
  EXPECT_EQ(display.ShowWindow(gone, false), 0);
  EXPECT_EQ(display.LastError(), kBadWindow);
  EXPECT_FALSE(display.RaiseWindow(gone));
  EXPECT_EQ(display.LastError(), kBadWindow);
  EXPECT_FALSE(display.IsWindowViewable(gone));
  EXPECT_EQ(display.FindTopLevelWindow("Hall Test Gone"), 0u);
  // The connection stays usable.
  Window next = windows.Create("Hall Test Next");
  EXPECT_EQ(display.FindTopLevelWindow("Hall Test Next"), next);
  EXPECT_TRUE(display.RaiseWindow(next));
  EXPECT_EQ(display.LastError(), 0);
}

}  // namespace
