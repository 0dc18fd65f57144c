// The window and process commands as whole runs: the real launcher plays the command movie in
// the real player under Xvfb, and the movie sends the commands.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "e2e/CommandsRun.h"

namespace {

using namespace std::chrono_literals;
using namespace commands_testing;

// The X server the launcher draws on, seen from outside: its top-level windows, their state, and
// the requests they send to the window manager (there is none under Xvfb).
class X11Observer {
 public:
  X11Observer() : m_display(XOpenDisplay(nullptr)) {
    if (m_display == nullptr) return;
    XSelectInput(m_display, DefaultRootWindow(m_display), SubstructureNotifyMask);
    XFlush(m_display);
  }
  ~X11Observer() {
    if (m_display != nullptr) XCloseDisplay(m_display);
  }
  bool ok() const { return m_display != nullptr; }

  // The top-level window whose title is `caption`; 0 when there is none.
  Window FindTopLevel(const std::string& caption) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    Window found = 0;
    if (!XQueryTree(m_display, DefaultRootWindow(m_display), &root, &parent, &children, &count)) return 0;
    for (unsigned i = 0; i < count && found == 0; ++i)
      if (Title(children[i]) == caption) found = children[i];
    if (children != nullptr) XFree(children);
    return found;
  }

  bool IsShown(Window window) {
    XWindowAttributes attributes{};
    return XGetWindowAttributes(m_display, window, &attributes) && attributes.map_state == IsViewable;
  }

  // Whether `window` sent the window manager (there is none) a request of type `type` whose first
  // data values are `first` and `second` (0: any) within `budget`. Requests seen earlier, also
  // for other types, are kept for later calls.
  bool WaitForRequest(Window window, const char* type, long first, const char* second,
                      std::chrono::milliseconds budget) {
    Atom typeAtom = XInternAtom(m_display, type, False);
    long secondAtom = second != nullptr ? static_cast<long>(XInternAtom(m_display, second, False)) : 0;
    auto matches = [&](const XClientMessageEvent& message) {
      return message.message_type == typeAtom && message.window == window && message.data.l[0] == first &&
             (secondAtom == 0 || message.data.l[1] == secondAtom || message.data.l[2] == secondAtom);
    };
    auto deadline = std::chrono::steady_clock::now() + budget;
    for (;;) {
      while (XPending(m_display) > 0) {
        XEvent event{};
        XNextEvent(m_display, &event);
        if (event.type == ClientMessage) m_requests.push_back(event.xclient);
      }
      if (std::any_of(m_requests.begin(), m_requests.end(), matches)) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(20ms);
    }
  }

 private:
  std::string Title(Window window) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::string title;
    if (XGetWindowProperty(m_display, window, XInternAtom(m_display, "_NET_WM_NAME", False), 0, 1024, False,
                           XInternAtom(m_display, "UTF8_STRING", False), &type, &format, &count, &after,
                           &data) == Success &&
        data != nullptr) {
      title.assign(reinterpret_cast<char*>(data), count);
      XFree(data);
    }
    return title;
  }

  Display* m_display;
  std::vector<XClientMessageEvent> m_requests;
};

TEST(CommandsProcess, CloseWindowsEndsAtOnceWithStatusZeroAndNoExitSequence) {
  CommandsRun run("Commands Close");
  run.Start("GET_VERSION|\n=1\nCLOSE_WINDOWS|\nLOG|after close");
  ASSERT_TRUE(run.WaitForEnd(60s));
  ProcessResult result = run.Finish();
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(result.exitStatus, 0);
  auto log = run.Log();
  ASSERT_TRUE(Contains(log, "DispatchFSCommand: CLOSE_WINDOWS\t")) << result.output;
  EXPECT_EQ(log.back(), "DispatchFSCommand: CLOSE_WINDOWS\t");
  EXPECT_FALSE(Contains(log, "Exit Instance"));
  auto movie = MovieLines(result.output);
  EXPECT_TRUE(Contains(movie, "COMPLETE_EVENT GET_VERSION,1")) << result.output;
  EXPECT_EQ(std::count_if(movie.begin(), movie.end(), [](const std::string& l) { return l.rfind("COMPLETE_EVENT", 0) == 0; }), 1);
}

TEST(CommandsProcess, WaitAndCloseHidesAtOnceAndEndsWhenTheStartedProgramEnds) {
  X11Observer x11;
  ASSERT_TRUE(x11.ok());
  CommandsRun run("Commands Wait");
  std::string release = run.Dir() + "/release";
  run.Start("RUN_FILE|/bin/sh," + run.Dir() + ",-c 'while [ ! -e release ]; do sleep 0.05; done'\n=1\n" +
            "WART_AND_CLOSE|{2}\nLOG|after wait {2}");
  ASSERT_TRUE(run.WaitForLog("DispatchFSCommand: RUN_FILE\t/bin/sh," + run.Dir() +
                             ",-c 'while [ ! -e release ]; do sleep 0.05; done'"));
  ASSERT_TRUE(WaitUntil(
      [&] {
        auto log = run.Log();
        return std::any_of(log.begin(), log.end(), [](const std::string& m) { return m.rfind("FlashLog: after wait ", 0) == 0; });
      },
      20s));
  // The number the movie passed on is the one RUN_FILE answered, and not a null handle.
  std::string handle;
  for (const auto& message : run.Log())
    if (message.rfind("DispatchFSCommand: WART_AND_CLOSE\t", 0) == 0) handle = message.substr(34);
  ASSERT_FALSE(handle.empty());
  EXPECT_NE(handle, "0");

  Window window = x11.FindTopLevel(run.caption());
  ASSERT_NE(window, 0u);
  EXPECT_TRUE(WaitUntil([&] { return !x11.IsShown(window); }, 2s)) << "still shown";
  constexpr long kNetWmStateAdd = 1;
  EXPECT_TRUE(x11.WaitForRequest(window, "_NET_WM_STATE", kNetWmStateAdd, "_NET_WM_STATE_SKIP_TASKBAR", 2s));

  // Hidden, it goes on running while the program does.
  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(run.IsRunning());
  EXPECT_FALSE(SentQuitMessage(run.HallRecord()));

  testing_support::WriteFile(release, "");
  ASSERT_TRUE(run.WaitForEnd(10s));
  ProcessResult result = run.Finish();
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_TRUE(SentQuitMessage(run.HallRecord()));
  EXPECT_FALSE(Contains(run.Log(), "Exit Instance"));
  EXPECT_TRUE(Contains(MovieLines(result.output), "COMPLETE_EVENT RUN_FILE,/bin/sh," + handle)) << result.output;
}

TEST(CommandsProcess, WaitAndCloseWithZeroEndsAtOnce) {
  CommandsRun run("Commands Wait Zero");
  run.Start("GET_VERSION|\n=1\nWART_AND_CLOSE|0");
  ASSERT_TRUE(run.WaitForLog("DispatchFSCommand: WART_AND_CLOSE\t0"));
  ASSERT_TRUE(run.WaitForEnd(5s));
  ProcessResult result = run.Finish();
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_TRUE(SentQuitMessage(run.HallRecord()));
  EXPECT_FALSE(Contains(run.Log(), "Exit Instance"));
}

TEST(CommandsProcess, MinWindowsMinimisesTheRealWindowThenAnswers) {
  X11Observer x11;
  ASSERT_TRUE(x11.ok());
  CommandsRun run("Commands Minimise");
  run.Start("GET_VERSION|\n=1\nMIN_WINDOWS|\n=2\nCLOSE_WINDOWS|");
  ASSERT_TRUE(run.WaitForLog("DispatchFSCommand: GET_VERSION\t"));
  Window window = x11.FindTopLevel(run.caption());
  ASSERT_NE(window, 0u);
  EXPECT_TRUE(x11.WaitForRequest(window, "WM_CHANGE_STATE", IconicState, nullptr, 30s));
  ASSERT_TRUE(run.WaitForEnd(30s));
  ProcessResult result = run.Finish();
  EXPECT_EQ(result.exitStatus, 0);
  auto movie = MovieLines(result.output);
  EXPECT_TRUE(Contains(movie, "COMPLETE_EVENT MIN_WINDOWS")) << result.output;
}

TEST(CommandsProcess, AnswersReachTheRealMovieWhole) {
  CommandsRun run("Commands Answers");
  std::string longValue(5000, 'v');
  longValue += "<&>\"'%s";
  run.Start("GET_CURRENT_PROCESS_ID|\n=1\nGET_PROCESS|\n=2\nSET_ENVIRONMENT|BRIMTALE_E2E," + longValue +
            "\n=3\nGET_ENVIRONMENT|BRIMTALE_E2E\n=4\nGET_MACADDR|\n=5\nCLOSE_WINDOWS|");
  ASSERT_TRUE(run.WaitForEnd(60s));
  ProcessResult result = run.Finish();
  EXPECT_EQ(result.exitStatus, 0);
  std::vector<std::string> answers;
  for (const auto& line : MovieLines(result.output))
    if (line.rfind("COMPLETE_EVENT ", 0) == 0) answers.push_back(line.substr(15));
  ASSERT_EQ(answers.size(), 5u) << result.output;
  ASSERT_EQ(answers[0].rfind("GET_CURRENT_PROCESS_ID,", 0), 0u);
  std::string pid = answers[0].substr(23);
  EXPECT_NE(answers[1].find("|" + pid + "?brimtale-launcher|"), std::string::npos) << answers[1];
  EXPECT_EQ(answers[2], "SET_ENVIRONMENT,1");
  EXPECT_EQ(answers[3], "GET_ENVIRONMENT," + longValue);
  EXPECT_EQ(answers[4].rfind("GET_MACADDR,", 0), 0u);
  EXPECT_EQ(answers[4].back(), ',');
}

}  // namespace
