// The launcher with its real runtime library and player control, playing the test movie under
// Xvfb: the window, the movie's commands and their answers, loading movies, dragging, closing.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <db.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/wait.h>

#include "ops/SiteIndex.h"
#include "support/LoopbackHttpServer.h"
#include "support/TestSiteKeys.h"
#include "support/TestSupport.h"

// Xlib's macros (None, Bool, Status) must come after the test framework's headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::LauncherSandbox;
using testing_support::ProcessResult;
using testing_support::PercentEncode;
using testing_support::RunProcess;

// The movie's first command can take many seconds on a busy machine without a GPU.
constexpr auto kMovieBudget = 90s;

// The test movie with a script (one step a line, see movies/test/Main.hx) in its URL's query.
std::string MovieUrl(const std::string& moviePath, const std::vector<std::string>& steps) {
  std::string script;
  for (const std::string& step : steps) script += (script.empty() ? "" : "\n") + step;
  return "file://" + moviePath + "?script=" + PercentEncode(script);
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

struct WindowState {
  bool found = false;
  int x = 0, y = 0, width = 0, height = 0;
};

// The launcher's windows as another X11 client sees them. A window of the launcher can vanish
// between listing it and reading it; that request fails instead of ending the test process.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }

class Screen {
 public:
  Screen() {
    XSetErrorHandler(IgnoreXError);
    for (int attempt = 0; attempt < 100 && m_display == nullptr; ++attempt) {
      m_display = XOpenDisplay(nullptr);
      if (m_display == nullptr) std::this_thread::sleep_for(20ms);
    }
  }
  ~Screen() {
    if (m_display != nullptr) XCloseDisplay(m_display);
  }
  bool IsOpen() const { return m_display != nullptr; }

  Window FindByCaption(const std::string& caption) {
    Atom netName = XInternAtom(m_display, "_NET_WM_NAME", False);
    Atom utf8 = XInternAtom(m_display, "UTF8_STRING", False);
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    Window found = 0;
    XQueryTree(m_display, DefaultRootWindow(m_display), &root, &parent, &children, &count);
    for (unsigned int i = 0; i < count && found == 0; ++i) {
      Atom type = 0;
      int format = 0;
      unsigned long length = 0, after = 0;
      unsigned char* value = nullptr;
      if (XGetWindowProperty(m_display, children[i], netName, 0, 1024, False, utf8, &type, &format, &length, &after,
                             &value) == Success &&
          value != nullptr) {
        if (std::string(reinterpret_cast<char*>(value), length) == caption) found = children[i];
        XFree(value);
      }
    }
    if (children != nullptr) XFree(children);
    return found;
  }

  WindowState State(Window window) {
    WindowState state;
    XWindowAttributes attributes{};
    if (window == 0 || !XGetWindowAttributes(m_display, window, &attributes)) return state;
    Window child = 0;
    XTranslateCoordinates(m_display, window, DefaultRootWindow(m_display), 0, 0, &state.x, &state.y, &child);
    state.found = attributes.map_state == IsViewable;
    state.width = attributes.width;
    state.height = attributes.height;
    return state;
  }

  // The colour of one pixel of the window as 0xRRGGBB.
  std::optional<uint32_t> Pixel(Window window, int x, int y) {
    XImage* image = XGetImage(m_display, window, x, y, 1, 1, AllPlanes, ZPixmap);
    if (image == nullptr) return std::nullopt;
    uint32_t pixel = static_cast<uint32_t>(XGetPixel(image, 0, 0)) & 0xFFFFFF;
    XDestroyImage(image);
    return pixel;
  }

  // What the window manager's close button does.
  void Close(Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(m_display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(m_display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(m_display, window, False, NoEventMask, &event);
    XFlush(m_display);
  }

 private:
  Display* m_display = nullptr;
};

bool ColourNear(uint32_t a, uint32_t b) {
  for (int shift = 0; shift < 24; shift += 8) {
    int difference = static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF);
    if (difference < -8 || difference > 8) return false;
  }
  return true;
}

bool HasLine(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool HasLineStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

// The movie's reports ("MOVIE ...") among the launcher's output.
std::vector<std::string> MovieReports(const std::string& output) {
  std::vector<std::string> reports;
  for (const std::string& line : testing_support::SplitLines(output)) {
    size_t at = line.find("MOVIE ");
    if (at != std::string::npos) reports.push_back(line.substr(at + 6));
  }
  return reports;
}

constexpr uint32_t kMovieBlue = 0x1E5AA8;
constexpr uint32_t kFailurePageBackground = 0x14203A;

// One launcher run: a sandbox with the test movie beside the executable.
class PlayerRun {
 public:
  explicit PlayerRun(const std::string& caption = "Player Test Window") : m_caption(caption) {
    std::filesystem::copy_file(BRIMTALE_TEST_MOVIE, MoviePath());
  }

  std::string MoviePath() const { return m_sandbox.dir() / "TestMovie.swf"; }
  void SetLauncherSize(int width, int height) {
    m_size = R"({"Width": )" + std::to_string(width) + R"(, "Height": )" + std::to_string(height) + "}";
  }
  LauncherSandbox& sandbox() { return m_sandbox; }

  // The launcher starts as the game hall starts it, with the test hall library beside it, which
  // delivers the hall's messages written to hallTrigger().
  void WithHall() {
    std::filesystem::copy_file(BRIMTALE_TEST_HALL_LIBRARY, m_sandbox.dir() / "QQGameProcMsgHelper.so");
    m_arguments = "ID=test,PROCPARA=p";
  }
  std::string hallTrigger() const { return m_sandbox.dir() / "hall-trigger"; }
  std::string hallRecord() const { return m_sandbox.dir() / "hall-record.txt"; }

  void Start(const std::string& swfUrl, const std::string& moreConfig = "",
             std::map<std::string, std::string> environment = {}) {
    m_sandbox.WriteConfig(R"({"LauncherType": 1, "LauncherCaption": )" + JsonString(m_caption) +
                          R"(, "LauncherSize": )" + m_size + R"(, "SwfUrl": )" + JsonString(swfUrl) +
                          moreConfig + "}");
    auto options = m_sandbox.Options();
    options.workingDirectory = m_sandbox.dir().path();
    // The hall's login analysis goes nowhere, at once.
    options.environment["BRIMTALE_HALL_ANALYSIS_HOST"] = "http://127.0.0.1:9";
    options.environment["BRIMTALE_TEST_HALL_TRIGGER"] = hallTrigger();
    options.environment["BRIMTALE_TEST_HALL_RECORD"] = hallRecord();
    for (auto& [name, value] : environment) options.environment[name] = value;
    options.timeout = kMovieBudget + 60s;
    m_launcher = std::make_unique<ChildProcess>(std::vector<std::string>{m_sandbox.Executable(), m_arguments}, options);
  }

  // Waits until the log holds a message for which `done` is true, within `budget` from the movie's
  // start (its first command).
  bool WaitForLog(const std::function<bool(const std::vector<std::string>&)>& done,
                  std::chrono::milliseconds budget = kMovieBudget) {
    auto startDeadline = std::chrono::steady_clock::now() + testing_support::kMovieStartBudget;
    while (!testing_support::MovieHasStarted(m_sandbox.LogMessages()) && !done(m_sandbox.LogMessages())) {
      if (!m_launcher->IsRunning() || std::chrono::steady_clock::now() > startDeadline)
        return done(m_sandbox.LogMessages());
      std::this_thread::sleep_for(50ms);
    }
    auto deadline = std::chrono::steady_clock::now() + budget;
    while (std::chrono::steady_clock::now() < deadline) {
      if (done(m_sandbox.LogMessages())) return true;
      if (!m_launcher->IsRunning()) return done(m_sandbox.LogMessages());
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }
  bool WaitForMessage(const std::string& message) {
    return WaitForLog([&](const auto& messages) { return HasLine(messages, message); });
  }

  // The window appears during start-up, before the movie's first command.
  Window WaitForWindow() {
    auto deadline = std::chrono::steady_clock::now() + testing_support::kMovieStartBudget;
    while (std::chrono::steady_clock::now() < deadline && m_launcher->IsRunning()) {
      if (Window window = m_screen.FindByCaption(m_caption); window != 0 && m_screen.State(window).found)
        return window;
      std::this_thread::sleep_for(50ms);
    }
    return 0;
  }

  void SaveScreenshot(const std::string& suffix = "") {
    const std::string folder = std::string(BRIMTALE_BINARY_DIR) + "/artifacts";
    std::filesystem::create_directories(folder);
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string import = testing_support::FindProgram("import");
    if (import.empty()) return;
    RunProcess({import, "-window", "root",
                folder + "/" + info->test_suite_name() + "." + info->name() + suffix + ".png"});
  }

  // Closes the window as a window manager would and waits for the process to end.
  ProcessResult CloseAndWait() {
    if (Window window = m_screen.FindByCaption(m_caption)) m_screen.Close(window);
    return m_launcher->Wait();
  }

  // Whether the runtime library is mapped from an anonymous memory file, not from disk.
  bool RuntimeMappedFromMemory() {
    std::string maps = testing_support::ReadFile("/proc/" + std::to_string(m_launcher->pid()) + "/maps");
    return maps.find("/memfd:") != std::string::npos;
  }

  // The failure page's console line ("Failure page: TITLE | ADDRESS | CAUSE | ...") after the
  // first `skip` of them; the run needs BRIMTALE_PLAYER_CONSOLE=1.
  std::optional<std::string> WaitForFailurePage(size_t skip = 0) {
    auto deadline = std::chrono::steady_clock::now() + testing_support::kMovieStartBudget;
    for (;;) {
      const bool running = m_launcher->IsRunning();  // takes in the output so far
      const std::string& output = m_launcher->output();
      size_t at = output.find("Failure page: ");
      for (size_t i = 0; i < skip && at != std::string::npos; ++i) at = output.find("Failure page: ", at + 1);
      if (at != std::string::npos && output.find('\n', at) != std::string::npos)
        return output.substr(at, output.find('\n', at) - at);
      if (!running || std::chrono::steady_clock::now() > deadline) return std::nullopt;
      std::this_thread::sleep_for(50ms);
    }
  }
  // Whether the window's pixel at (x, y) takes `colour` while the launcher runs, within half a
  // minute: a page drawn after it loaded.
  bool WaitForColour(Window window, int x, int y, uint32_t colour) {
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline && m_launcher->IsRunning()) {
      auto pixel = m_screen.Pixel(window, x, y);
      if (pixel && ColourNear(*pixel, colour)) return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  }
  std::string Output() {
    m_launcher->IsRunning();
    return m_launcher->output();
  }
  ProcessResult Wait() { return m_launcher->Wait(); }

  // The log so far and what the launcher has printed (the runtime's own lines, the movie's
  // traces, the page's console where it is on; its last 20,000 characters), for failure messages.
  std::string LogText() {
    std::string output = Output();
    if (output.size() > 20000) output = "..." + output.substr(output.size() - 20000);
    return m_sandbox.Log() + "\n---- output ----\n" + output;
  }
  bool IsRunning() { return m_launcher->IsRunning(); }

  Screen& screen() { return m_screen; }
  int pid() const { return m_launcher->pid(); }

 private:
  std::string m_caption;
  std::string m_size = R"({"Width": 800, "Height": 600})";
  std::string m_arguments = "ID=test";
  LauncherSandbox m_sandbox;
  Screen m_screen;
  std::unique_ptr<ChildProcess> m_launcher;
};

// What the runtime says when a page fetches the player's compiled code through its scheme.
constexpr char kCodeByTheScheme[] = "player runtime: the player's code goes by the page's scheme: ";

TEST(PlayerWindow, MovieCommandsAreAnsweredThroughItsCallbacks) {
  PlayerRun run("Player Test Ü & <Window>");
  ASSERT_TRUE(run.screen().IsOpen());
  // Texts with markup characters, commas and letters outside ASCII, both ways.
  const std::string tricky = "a&b<c>,\"d' ü€";
  testing_support::WriteFile(run.sandbox().dir() / "data & <ü>.bin", std::string("\x00\xAB\x10", 3));
  run.Start(MovieUrl(run.MoviePath(), {"GET_VERSION|", "READ_FILE|" + run.sandbox().dir() / "data & <ü>.bin",
                                       "NO_SUCH_COMMAND|" + tricky, "GET_ENVIRONMENT|BRIMTALE_TRICKY", "=3",
                                       "LOG|all answered"}),
            "", {{"BRIMTALE_TRICKY", tricky}});

  Window window = run.WaitForWindow();
  ASSERT_NE(window, 0u) << "no window titled with the caption";
  ASSERT_TRUE(run.WaitForMessage("FlashLog: all answered")) << run.LogText();
  // Placed by now: a window that has only just appeared may not have been moved yet.
  WindowState state = run.screen().State(window);
  EXPECT_EQ(state.width, 800);
  EXPECT_EQ(state.height, 600);
  // Centred on the 1920x1080 screen.
  EXPECT_EQ(state.x, (1920 - 800) / 2);
  EXPECT_EQ(state.y, (1080 - 600) / 2);
  EXPECT_TRUE(run.RuntimeMappedFromMemory());

  std::this_thread::sleep_for(500ms);  // a frame with the last report on it
  run.SaveScreenshot();
  auto pixel = run.screen().Pixel(window, 400, 560);
  ASSERT_TRUE(pixel.has_value());
  EXPECT_TRUE(ColourNear(*pixel, kMovieBlue)) << std::hex << *pixel;

  ProcessResult result = run.CloseAndWait();
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(result.exitStatus, 0);
  auto messages = run.sandbox().LogMessages();
  EXPECT_EQ(messages.back(), "Exit Instance");
  EXPECT_TRUE(HasLine(messages, "DispatchFSCommand: NO_SUCH_COMMAND\t" + tricky));
  EXPECT_TRUE(HasLine(messages, "CmdHandler is not found: NO_SUCH_COMMAND"));
  EXPECT_TRUE(HasLineStartingWith(messages, "*Load SwfUrl: file://"));

  auto reports = MovieReports(result.output);
  EXPECT_TRUE(HasLine(reports, "STARTED 6 steps")) << result.output;
  EXPECT_TRUE(HasLine(reports, "COMPLETE_EVENT GET_VERSION,1")) << result.output;
  EXPECT_TRUE(HasLine(reports, "COMPLETE_EVENT READ_FILE,00AB10")) << result.output;
  EXPECT_TRUE(HasLine(reports, "COMPLETE_EVENT GET_ENVIRONMENT," + tricky)) << result.output;
  // The unknown command is not answered.
  EXPECT_EQ(std::count_if(reports.begin(), reports.end(),
                          [](const std::string& r) { return r.rfind("COMPLETE_EVENT", 0) == 0; }),
            3);
  // The player's compiled code came with the page's channel, not through its scheme.
  EXPECT_EQ(result.output.find(kCodeByTheScheme), std::string::npos) << result.output;
}

TEST(PlayerWindow, LoadSwfReplacesTheMovieFromRelativeAndHttpUrls) {
  PlayerRun run;
  testing_support::LoopbackHttpServer server;
  std::string movie = testing_support::ReadFile(BRIMTALE_TEST_MOVIE);
  server.server().Get("/TestMovie.swf", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(movie, "application/x-shockwave-flash");
  });
  server.Start();
  // First movie (file:) loads the second by a relative URL; that one loads the third over HTTP,
  // which answers a command and logs its own script (with the time query the launcher added to
  // the start-up URL of an http movie).
  std::string third = server.Url("/TestMovie.swf") + "?script=" + PercentEncode("GET_VERSION|\n=1\nLOG|third");
  std::string second = "TestMovie.swf?script=" + PercentEncode("GET_VERSION|\n=1\nLOG|second\nLOAD_SWF|" + third);
  run.Start(MovieUrl(run.MoviePath(), {"LOG|first", "LOAD_SWF|" + second}), "", {{"BRIMTALE_PLAYER_CONSOLE", "1"}});

  ASSERT_TRUE(run.WaitForMessage("FlashLog: third")) << run.LogText();
  ProcessResult result = run.CloseAndWait();
  ASSERT_TRUE(result.exited);
  auto messages = run.sandbox().LogMessages();
  EXPECT_TRUE(HasLine(messages, "FlashLog: first"));
  EXPECT_TRUE(HasLine(messages, "FlashLog: second"));
  EXPECT_EQ(messages.back(), "Exit Instance");
  auto reports = MovieReports(result.output);
  EXPECT_EQ(std::count(reports.begin(), reports.end(), "COMPLETE_EVENT GET_VERSION,1"), 2) << result.output;
}

TEST(PlayerWindow, ThePageNeverLeavesTheRuntimesOwnPage) {
  // Pages that would speak to the launcher as the movie does, if they were ever shown.
  testing_support::LoopbackHttpServer server;
  std::atomic<int> served{0};
  std::mutex lock;
  std::string takeover;
  server.server().Get("/page.html", [&](const httplib::Request&, httplib::Response& response) {
    std::lock_guard guard(lock);
    ++served;
    response.set_content(takeover, "text/html");
  });
  server.Start();
  const std::string page = server.Url("/page.html");
  struct Case {
    std::string name;
    std::string step;    // how the movie brings the page in
    bool toTheBrowser;   // the link goes to the user's browser
  };
  const Case cases[] = {
      {"link into the movie's own window", ">" + page + "|_self", true},
      {"link into a new window", ">" + page + "|_blank", true},
      {"frame added to the page", "@function () { var frame = document.createElement('iframe'); frame.src = '" + page +
                                      "'; document.body.appendChild(frame); }",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    served = 0;
    PlayerRun run;
    // A stand-in for the desktop's opener that records what it is given.
    const std::string bin = run.sandbox().dir() / "bin";
    std::filesystem::create_directories(bin);
    const std::string opened = run.sandbox().dir() / "opened.txt";
    testing_support::WriteFile(bin + "/xdg-open", "#!/bin/sh\necho \"$1\" >> " + opened + "\n");
    std::filesystem::permissions(bin + "/xdg-open", std::filesystem::perms::owner_all);
    const std::string target = run.sandbox().dir() / "written.bin";
    {
      std::lock_guard guard(lock);
      takeover = "<!doctype html><script>window.webkit.messageHandlers.brimtale.postMessage({kind: 'fscommand', "
                 "command: 'WRITE_FILE', args: '" + target + ",41424344'});</script>";
    }
    run.Start(MovieUrl(run.MoviePath(), {c.step, "GET_VERSION|", "=1", "LOG|still here"}), "",
              {{"PATH", bin + ":" + std::getenv("PATH")}});

    auto linkOpened = [&] { return !testing_support::ReadFile(opened).empty(); };
    auto takenOver = [&] { return testing_support::PathExists(target); };
    if (!run.WaitForLog([&](const auto& messages) {
          return (HasLine(messages, "FlashLog: still here") && (linkOpened() || !c.toTheBrowser)) || takenOver();
        })) {
      ADD_FAILURE() << "the movie did not go on, nor was a page shown\n" << run.LogText();
      continue;
    }
    // Time for a page that had loaded after all to send its command.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(served, 0);
    EXPECT_FALSE(takenOver());
    EXPECT_FALSE(HasLineStartingWith(run.sandbox().LogMessages(), "DispatchFSCommand: WRITE_FILE"));
    // The player submits a link as a form, which adds an empty query.
    EXPECT_EQ(testing_support::SplitLines(testing_support::ReadFile(opened)),
              c.toTheBrowser ? std::vector<std::string>{page + "?"} : std::vector<std::string>{});
    ProcessResult result = run.CloseAndWait();
    ASSERT_TRUE(result.exited) << result.output;
  }
}

TEST(PlayerWindow, HttpMovieGetsTheTimeQuery) {
  PlayerRun run;
  testing_support::LoopbackHttpServer server;
  std::string movie = testing_support::ReadFile(BRIMTALE_TEST_MOVIE);
  std::string requested;
  std::mutex lock;
  server.server().Get("/TestMovie.swf", [&](const httplib::Request& request, httplib::Response& response) {
    std::lock_guard guard(lock);
    requested = request.target;
    response.set_content(movie, "application/x-shockwave-flash");
  });
  server.Start();
  run.Start(server.Url("/TestMovie.swf"));

  bool played = run.WaitForMessage("FlashLog: no script");
  ProcessResult result = run.CloseAndWait();
  ASSERT_TRUE(played) << run.LogText();
  ASSERT_TRUE(result.exited);
  std::lock_guard guard(lock);
  EXPECT_TRUE(std::regex_match(requested, std::regex(R"(/TestMovie\.swf\?[0-9]{10,})"))) << requested;
}

TEST(PlayerWindow, BorderedFormPaintsTheChildPlayerIntoTheMainWindow) {
  PlayerRun run;
  run.Start(MovieUrl(run.MoviePath(), {"GET_VERSION|", "=1", "LOG|bordered"}), R"(, "ShowBorder": true)");
  Window window = run.WaitForWindow();
  ASSERT_NE(window, 0u);
  ASSERT_TRUE(run.WaitForMessage("FlashLog: bordered")) << run.LogText();
  std::this_thread::sleep_for(500ms);
  run.SaveScreenshot();
  auto pixel = run.screen().Pixel(window, 400, 560);
  ASSERT_TRUE(pixel.has_value());
  EXPECT_TRUE(ColourNear(*pixel, kMovieBlue)) << std::hex << *pixel;
  // Input reaches the child player through the main window: a click gives the movie the focus,
  // then a key.
  const std::string xdotool = testing_support::FindProgram("xdotool");
  if (!xdotool.empty()) {
    WindowState state = run.screen().State(window);
    RunProcess({xdotool, "mousemove", std::to_string(state.x + 300), std::to_string(state.y + 300), "click", "1",
                "sleep", "0.5", "key", "a"});
    EXPECT_TRUE(run.WaitForMessage("FlashLog: KEY 97")) << run.LogText();
  }
  ProcessResult result = run.CloseAndWait();
  ASSERT_TRUE(result.exited);
  EXPECT_EQ(run.sandbox().LogMessages().back(), "Exit Instance");
  EXPECT_TRUE(HasLine(MovieReports(result.output), "COMPLETE_EVENT GET_VERSION,1")) << result.output;
  // The bordered form has no creation timings.
  EXPECT_FALSE(HasLineStartingWith(run.sandbox().LogMessages(), "Before CreateWindowEx"));
}

TEST(PlayerWindow, WindowLargerThanTheScreenIsHeldToItAndPlays) {
  for (const char* border : {"false", "true"}) {
    SCOPED_TRACE(border);
    PlayerRun run;
    run.SetLauncherSize(100000, 100000);
    run.Start(MovieUrl(run.MoviePath(), {"GET_VERSION|", "=1", "LOG|played"}), std::string(R"(, "ShowBorder": )") + border);
    Window window = run.WaitForWindow();
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(run.WaitForMessage("FlashLog: played")) << run.LogText();
    WindowState state = run.screen().State(window);
    EXPECT_EQ(state.width, 1920);
    EXPECT_EQ(state.height, 1080);
    ProcessResult result = run.CloseAndWait();
    ASSERT_TRUE(result.exited) << result.output;
    auto messages = run.sandbox().LogMessages();
    // The configuration keeps the size it was given.
    EXPECT_TRUE(HasLine(messages, "LauncherSize: { 100000, 100000 }"));
    EXPECT_EQ(messages.back(), "Exit Instance");
    EXPECT_TRUE(HasLine(MovieReports(result.output), "COMPLETE_EVENT GET_VERSION,1")) << result.output;
  }
}

TEST(PlayerWindow, DraggingMovesTheWindowByTheCursorsDisplacement) {
  const std::string xdotool = testing_support::FindProgram("xdotool");
  if (xdotool.empty()) GTEST_SKIP() << "xdotool is not installed";
  PlayerRun run;
  run.Start(MovieUrl(run.MoviePath(), {"LOG|ready"}));
  Window window = run.WaitForWindow();
  ASSERT_NE(window, 0u);
  ASSERT_TRUE(run.WaitForMessage("FlashLog: ready")) << run.LogText();
  WindowState before = run.screen().State(window);
  int x = before.x + 100, y = before.y + 100;
  // The release happens far outside the window: the capture still ends the drag.
  RunProcess({xdotool, "mousemove", std::to_string(x), std::to_string(y), "mousedown", "1", "mousemove",
              std::to_string(x - 60), std::to_string(y - 40), "sleep", "0.3", "mousemove", std::to_string(x - 150),
              std::to_string(y - 120), "sleep", "0.5", "mouseup", "1", "sleep", "0.3", "mousemove", "5", "5"});
  std::this_thread::sleep_for(500ms);
  WindowState after = run.screen().State(window);
  EXPECT_EQ(after.x, before.x - 150);
  EXPECT_EQ(after.y, before.y - 120);
  // The press went to the movie too: with the window focused (no window manager does it here),
  // the movie has the keyboard.
  // --sync waits until the focus has arrived: a key sent before it would go nowhere.
  RunProcess({xdotool, "windowfocus", "--sync", std::to_string(window), "key", "b"});
  EXPECT_TRUE(run.WaitForMessage("FlashLog: KEY 98")) << run.LogText();
  ProcessResult result = run.CloseAndWait();
  ASSERT_TRUE(result.exited);
}

// ---- The page's own channel: the movie's commands and their answers.

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds budget = 60s) {
  auto deadline = std::chrono::steady_clock::now() + budget;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

// The movie's report that starts with `prefix`, if it made one.
std::optional<std::string> ReportStartingWith(const std::vector<std::string>& reports, const std::string& prefix) {
  for (const std::string& report : reports)
    if (report.rfind(prefix, 0) == 0) return report;
  return std::nullopt;
}

// The web processes the launcher started (its children of WebKit's web process).
std::vector<int> WebProcessesOf(int launcher) {
  std::vector<int> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = testing_support::ReadFile(entry.path() / "stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || stat.find("(WebKitWebProces") == std::string::npos) continue;
    int parent = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %*c %d", &parent) == 1 && parent == launcher) found.push_back(std::stoi(name));
  }
  return found;
}

// The threads' stacks of the launcher and its pages, for a test that finds them stalled; gdb is
// optional, and without it the text says so.
std::string StacksOf(int launcher) {
  std::vector<int> processes = WebProcessesOf(launcher);
  processes.insert(processes.begin(), launcher);
  std::string stacks;
  for (int pid : processes) {
    testing_support::ProcessOptions options;
    options.timeout = 60s;
    auto result = testing_support::RunProcess(
        {"gdb", "-batch", "-nx", "-p", std::to_string(pid), "-ex", "thread apply all bt 30"}, options);
    stacks += "== process " + std::to_string(pid) + "\n" + result.output + "\n";
  }
  return stacks;
}

TEST(PlayerChannel, AnswersComeBeforeTheMoviesNextFrame) {
  // Each frame's commands must all be answered before the movie's next frame: a command that
  // takes longer than a frame (it waits for a process), and many quick ones.
  PlayerRun run;
  run.Start(MovieUrl(run.MoviePath(), {"^6|1|RUN_FILE_AND_STOP|/bin/sleep,/,0.05", "^6|40|HAVE_THIS_FILE|/x/{i}",
                                       "LOG|frames done"}));
  ASSERT_TRUE(run.WaitForMessage("FlashLog: frames done")) << run.LogText();
  ProcessResult result = run.CloseAndWait();
  ASSERT_TRUE(result.exited) << result.output.substr(0, 4000);
  auto reports = MovieReports(result.output);
  std::vector<std::string> frames;
  std::copy_if(reports.begin(), reports.end(), std::back_inserter(frames),
               [](const std::string& r) { return r.rfind("FRAMES ", 0) == 0; });
  EXPECT_EQ(frames, (std::vector<std::string>{"FRAMES 6 LATE 0", "FRAMES 6 LATE 0"}));
}

TEST(PlayerChannel, LargeAnswersAndBurstsArriveWholeOnceEachInOrder) {
  PlayerRun run;
  // 16 MiB of file: an answer of 32 MiB of text, far more than a socket holds at once.
  const std::string large = run.sandbox().dir() / "large.bin";
  testing_support::WriteFile(large, std::string(16 << 20, '\x5A'));
  run.Start(MovieUrl(run.MoviePath(), {"READ_FILE|" + large, "GET_VERSION|", "=2",
                                       "!10000|HAVE_THIS_FILE|/nonexistent/{i}", "LOG|burst done"}));
  ASSERT_TRUE(run.WaitForMessage("FlashLog: burst done")) << run.LogText();
  ProcessResult result = run.CloseAndWait();
  ASSERT_TRUE(result.exited) << result.output;
  auto reports = MovieReports(result.output);
  std::string hex;
  for (int i = 0; i < 45; ++i) hex += "5A";
  EXPECT_TRUE(HasLine(reports, "COMPLETE_EVENT READ_FILE," + hex + "... (" + std::to_string(10 + (32 << 20)) +
                                   " characters)"))
      << result.output.substr(0, 4000);
  EXPECT_TRUE(HasLine(reports, "COMPLETE_EVENT GET_VERSION,1"));
  EXPECT_TRUE(HasLine(reports, "BURST 10000 IN ORDER")) << ReportStartingWith(reports, "BURST").value_or("no burst");
  // Nothing answered twice: the burst's answers are not reported one by one.
  EXPECT_EQ(std::count_if(reports.begin(), reports.end(),
                          [](const std::string& r) { return r.rfind("COMPLETE_EVENT", 0) == 0; }),
            2);
}

TEST(PlayerChannel, ProgressAndCompletionReachTheMovieDuringACommandStorm) {
  // A download the server trickles out over about a second, while the movie sends command after
  // command for far longer.
  testing_support::LoopbackHttpServer server;
  server.server().Get("/slow.bin", [&](const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider("application/octet-stream", [&](size_t offset, httplib::DataSink& sink) {
      if (offset >= 10 * 4096 || server.stopping()) {
        sink.done();
        return true;
      }
      std::this_thread::sleep_for(100ms);
      std::string chunk(4096, 'd');
      return sink.write(chunk.data(), chunk.size());
    });
  });
  server.Start();
  PlayerRun run;
  const std::string target = run.sandbox().dir() / "slow.bin";
  run.Start(MovieUrl(run.MoviePath(), {"START_DOWNLOAD|" + server.Url("/slow.bin") + "," + target,
                                       "*20000|GET_VERSION|", "LOG|storm done"}));
  ASSERT_TRUE(run.WaitForMessage("FlashLog: storm done")) << run.LogText();
  ProcessResult result = run.CloseAndWait();
  ASSERT_TRUE(result.exited) << result.output;
  auto reports = MovieReports(result.output);
  auto at = [&](const std::string& prefix) {
    auto found = std::find_if(reports.begin(), reports.end(), [&](const std::string& r) { return r.rfind(prefix, 0) == 0; });
    return found - reports.begin();
  };
  const auto stormEnd = at("ROUNDTRIP 20000 ");
  ASSERT_LT(stormEnd, static_cast<long>(reports.size())) << result.output.substr(0, 4000);
  EXPECT_LT(at("UPDATE_PROGRESS "), stormEnd) << result.output.substr(0, 4000);
  EXPECT_LT(at("COMPLETE_EVENT LOADER_COMPLETE," + target), stormEnd) << result.output.substr(0, 4000);
}

TEST(PlayerChannel, WindowAndHallCommandsInATightLoopNeverStall) {
  PlayerRun run;
  run.WithHall();
  run.Start(MovieUrl(run.MoviePath(), {"*1000|MIN_WINDOWS|", "*1000|RETURN_WINDOWS|", "LOG|loop done"}));
  Window window = run.WaitForWindow();
  ASSERT_NE(window, 0u);
  // While the movie sends its commands, the hall hides, shows and raises the window, and the
  // window is sized, as fast as each takes.
  std::atomic<bool> done{false};
  std::atomic<int> rounds{0};
  std::thread hall([&] {
    Display* display = XOpenDisplay(nullptr);
    while (!done && display != nullptr) {
      if (!testing_support::PathExists(run.hallTrigger())) {
        testing_support::WriteFile(run.hallTrigger() + ".new", "3:0 3:1 4");
        std::filesystem::rename(run.hallTrigger() + ".new", run.hallTrigger());
      }
      XResizeWindow(display, window, 700 + (rounds % 2) * 100, 600);
      XSync(display, False);
      ++rounds;
      std::this_thread::sleep_for(5ms);
    }
    if (display != nullptr) XCloseDisplay(display);
  });
  bool finished = run.WaitForMessage("FlashLog: loop done");
  done = true;
  hall.join();
  ASSERT_TRUE(finished) << run.LogText() << StacksOf(run.pid());
  ProcessResult result = run.CloseAndWait();
  ASSERT_TRUE(result.exited) << result.output;
  auto reports = MovieReports(result.output);
  EXPECT_TRUE(ReportStartingWith(reports, "ROUNDTRIP 1000 ").has_value()) << result.output.substr(0, 4000);
  auto record = testing_support::SplitLines(testing_support::ReadFile(run.hallRecord()));
  EXPECT_GT(std::count(record.begin(), record.end(), "Delivered 3:0 3:1 4"), 1) << rounds;
}

TEST(PlayerChannel, AKilledWebProcessEndsTheWaitAtOnceWithALogLineAndTheFailurePage) {
  PlayerRun run;
  const std::string movie = MovieUrl(run.MoviePath(), {"*1000000|GET_VERSION|"});
  run.Start(movie, "", {{"BRIMTALE_PLAYER_CONSOLE", "1"}});
  ASSERT_TRUE(run.WaitForLog([](const auto& messages) {
    return std::count(messages.begin(), messages.end(), "DispatchFSCommand: GET_VERSION\t") > 100;
  })) << run.LogText();
  std::vector<int> pages = WebProcessesOf(run.pid());
  ASSERT_FALSE(pages.empty());
  for (int page : pages) kill(page, SIGKILL);
  ASSERT_TRUE(WaitUntil([&] { return run.Output().find("the page's web process has ended: crashed") !=
                                              std::string::npos; }))
      << run.Output().substr(0, 4000);
  // The window shows the failure page, drawn by a new process, not what the dead one left.
  auto shown = run.WaitForFailurePage();
  ASSERT_TRUE(shown) << run.Output().substr(0, 4000);
  EXPECT_NE(shown->find("The game cannot be played | "), std::string::npos) << *shown;
  EXPECT_NE(shown->find("the player's process ended (crashed)"), std::string::npos) << *shown;
  Window window = run.WaitForWindow();
  ASSERT_NE(window, 0u);
  EXPECT_TRUE(run.WaitForColour(window, 5, 5, kFailurePageBackground));
  // The launcher goes on: its window closes as ever.
  EXPECT_TRUE(run.IsRunning());
  ProcessResult result = run.CloseAndWait();
  ASSERT_TRUE(result.exited) << result.output.substr(0, 4000);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(run.sandbox().LogMessages().back(), "Exit Instance");
}

TEST(PlayerChannel, ThePageWithoutItsExtensionTakesTheOlderRoad) {
  PlayerRun run;
  // No folder can be made for the extension under a runtime folder that is a file.
  const std::string notAFolder = run.sandbox().dir() / "runtime-file";
  testing_support::WriteFile(notAFolder, "");
  run.Start(MovieUrl(run.MoviePath(), {"GET_VERSION|", "=1", "!100|HAVE_THIS_FILE|/nonexistent/{i}", "LOG|old road"}),
            "", {{"XDG_RUNTIME_DIR", notAFolder}});
  ASSERT_TRUE(run.WaitForMessage("FlashLog: old road")) << run.LogText();
  ProcessResult result = run.CloseAndWait();
  ASSERT_TRUE(result.exited) << result.output;
  auto reports = MovieReports(result.output);
  EXPECT_TRUE(HasLine(reports, "COMPLETE_EVENT GET_VERSION,1")) << result.output;
  EXPECT_TRUE(HasLine(reports, "BURST 100 IN ORDER")) << result.output;
  const std::string notice = "player runtime: the page has no channel of its own";
  const size_t first = result.output.find(notice);
  EXPECT_NE(first, std::string::npos) << result.output;
  EXPECT_EQ(result.output.find(notice, first + 1), std::string::npos) << "said more than once";
  // Its player's code came by the older road too.
  EXPECT_NE(result.output.find(kCodeByTheScheme), std::string::npos) << result.output;
}

// At start the launcher clears the extension's folders that killed runs left in the runtime folder.
// Only a real folder of the user's own goes, whatever bytes its name holds, and also when a killed
// sweep left it empty: what merely bears such a name (a link to a folder elsewhere, a FIFO, a
// device, a file) or another user's folder is left as it is, and a hard link in an abandoned folder
// takes nothing from the file it shares. None of it keeps the channel from starting.
TEST(PlayerChannel, OnlyRealFoldersOfKilledRunsAreClearedFromTheRuntimeFolder) {
  PlayerRun run;
  const std::filesystem::path runtime = run.sandbox().dir() / "runtime";
  const std::filesystem::path elsewhere = run.sandbox().dir() / "elsewhere";
  std::filesystem::create_directories(elsewhere);
  testing_support::WriteFile(elsewhere / "libbrimtale-channel.so", "not the launcher's");
  testing_support::WriteFile(elsewhere / "shared", "kept");
  // Above the kernel's largest process id: no process has it.
  const std::string dead = runtime / "brimtale-channel-4194305-";
  struct Planted {
    std::string name;
    std::function<void(const std::string&)> plant;
    bool cleared;
  };
  const std::vector<Planted> planted = {
      {dead + "link", [&](const std::string& path) { std::filesystem::create_directory_symlink(elsewhere, path); }, false},
      {dead + "fifo", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }, false},
      {dead + "file", [](const std::string& path) { testing_support::WriteFile(path, "a file"); }, false},
      {dead + "real", [](const std::string& path) {
         std::filesystem::create_directory(path);
         testing_support::WriteFile(path + "/libbrimtale-channel.so", "left by a killed run");
       }, true},
      {dead + "hardlink", [&](const std::string& path) {
         std::filesystem::create_directory(path);
         std::filesystem::create_hard_link(elsewhere / "shared", path + "/libbrimtale-channel.so");
       }, true},
      // A sweep killed between the module and its folder left the folder empty.
      {dead + "emptied", [](const std::string& path) { std::filesystem::create_directory(path); }, true},
      {dead + "\xff\xfe", [](const std::string& path) { std::filesystem::create_directory(path); }, true},
      {dead + "device", [](const std::string& path) { ASSERT_EQ(mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 3)), 0); },
       false},
      {dead + "theirs", [](const std::string& path) {
         std::filesystem::create_directory(path);
         testing_support::WriteFile(path + "/libbrimtale-channel.so", "another user's");
         ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0) << "needs root";
       }, false},
  };
  for (const Planted& entry : planted) entry.plant(entry.name);

  run.Start(MovieUrl(run.MoviePath(), {"GET_VERSION|", "=1", "LOG|swept"}), "", {{"BRIMTALE_PLAYER_CONSOLE", "1"}});
  ASSERT_TRUE(run.WaitForMessage("FlashLog: swept")) << run.LogText();
  ProcessResult result = run.CloseAndWait();
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(result.output.find("the page has no channel of its own"), std::string::npos) << result.output;
  for (const Planted& entry : planted) {
    std::error_code error;
    EXPECT_EQ(std::filesystem::exists(std::filesystem::symlink_status(entry.name, error)), !entry.cleared)
        << entry.name;
  }
  EXPECT_EQ(testing_support::ReadFile(elsewhere / "libbrimtale-channel.so"), "not the launcher's");
  EXPECT_EQ(testing_support::ReadFile(elsewhere / "shared"), "kept");
}

// Leaves JACK's metadata store (/dev/shm/jack_db-UID) as a process killed while opening it leaves
// it: a child opens the store's file in a transaction, with the flags of JACK's client library,
// and ends without ending the transaction, whose lock then stays. Only ever called over a /dev/shm
// of the test's own.
bool LeaveJackStoreLocked() {
  const std::string folder = "/dev/shm/jack_db-" + std::to_string(getuid());
  if (mkdir(folder.c_str(), 0750) != 0) return false;
  pid_t child = fork();
  if (child == 0) {
    DB_ENV* environment = nullptr;
    DB_TXN* transaction = nullptr;
    DB* database = nullptr;
    const std::string store = folder + "/metadata.db";
    const bool locked =
        db_env_create(&environment, 0) == 0 &&
        environment->open(environment, folder.c_str(), DB_CREATE | DB_INIT_LOCK | DB_INIT_MPOOL | DB_INIT_TXN | DB_THREAD,
                          0) == 0 &&
        environment->txn_begin(environment, nullptr, &transaction, 0) == 0 && db_create(&database, environment, 0) == 0 &&
        database->open(database, transaction, store.c_str(), nullptr, DB_HASH, DB_CREATE | DB_THREAD, 0666) == 0;
    _exit(locked ? 0 : 1);  // as if killed: the transaction's locks stay
  }
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// On a machine without sound, GStreamer's automatic output reaches JACK, whose metadata store in
// /dev/shm is shared by all of the user's processes. A process killed while opening it leaves its
// lock held, and whoever opens it next waits for ever: the web process must never be that one. The
// test takes a mount namespace and a /dev/shm of its own for the locked store.
TEST(PlayerWindow, AJackStoreLeftLockedByAKilledProcessKeepsNoMovieFromStarting) {
  // First of all: a process that has threads cannot take a mount namespace of its own.
  ASSERT_EQ(unshare(CLONE_NEWNS), 0) << "needs root and no thread yet: " << strerror(errno);
  ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << strerror(errno);
  ASSERT_EQ(mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "size=16m"), 0) << strerror(errno);
  ASSERT_TRUE(LeaveJackStoreLocked());

  PlayerRun run;
  run.Start(MovieUrl(run.MoviePath(), {"GET_VERSION|", "=1", "LOG|started"}));
  EXPECT_TRUE(run.WaitForMessage("FlashLog: started")) << run.LogText();
  ProcessResult result = run.CloseAndWait();
  EXPECT_TRUE(result.exited) << result.output;
}

// The movie's server refuses: the window shows the launcher's failure page with the address and
// libcurl's cause (read from the page's console line); Try again fetches once more, Quit ends the
// run as a failed one.
TEST(FailurePage, ARefusedServerIsNamedInTheWindowAndTryAgainAsksOnceMore) {
  const std::string xdotool = testing_support::FindProgram("xdotool");
  if (xdotool.empty()) GTEST_SKIP() << "xdotool is not installed";
  PlayerRun run("Failure Page Window");
  run.Start("http://127.0.0.1:9/Brimtale.swf?server=a", "", {{"BRIMTALE_PLAYER_CONSOLE", "1"}});
  auto shown = run.WaitForFailurePage();
  ASSERT_TRUE(shown) << run.Output();
  EXPECT_EQ(shown->rfind("Failure page: The game cannot be loaded | http://127.0.0.1:9/Brimtale.swf?server=a&", 0), 0u)
      << *shown;
  EXPECT_NE(shown->find("onnect"), std::string::npos) << *shown;
  EXPECT_NE(shown->find("| Try again | Quit"), std::string::npos) << *shown;
  Window window = run.WaitForWindow();
  ASSERT_NE(window, 0u);
  // The page, not a player's panel: its background fills the window once it is drawn.
  EXPECT_TRUE(run.WaitForColour(window, 5, 5, kFailurePageBackground));
  run.SaveScreenshot();
  EXPECT_TRUE(HasLineStartingWith(run.sandbox().LogMessages(), "LoadSwf: http://127.0.0.1:9/Brimtale.swf?server=a&"));

  // Try again has the focus.
  RunProcess({xdotool, "windowfocus", "--sync", std::to_string(window), "sleep", "0.3", "key", "Return"});
  ASSERT_TRUE(run.WaitForFailurePage(1)) << run.Output();
  EXPECT_TRUE(HasLine(run.sandbox().LogMessages(), "LoadSwf: trying again"));
  RunProcess({xdotool, "windowfocus", "--sync", std::to_string(window), "sleep", "0.3", "key", "Tab", "Return"});
  ProcessResult result = run.Wait();
  ASSERT_TRUE(result.exited);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_TRUE(HasLine(run.sandbox().LogMessages(), "LoadSwf: the player quits at the failure page"));
}

// A movie the player cannot play: its own error panel never shows; the failure page does.
TEST(FailurePage, AnUnplayableMovieBringsTheFailurePageNotThePlayersPanel) {
  PlayerRun run("Unplayable Movie Window");
  testing_support::LoopbackHttpServer server;
  server.server().Get("/Broken.swf", [](const httplib::Request&, httplib::Response& response) {
    // A zlib-packed movie's header, then bytes that do not unpack.
    response.set_content(std::string("CWS\x0a\x00\x10\x00\x00", 8) + std::string(4096, '\x5a'), "application/x-shockwave-flash");
  });
  server.Start();
  run.Start(server.Url("/Broken.swf"), "", {{"BRIMTALE_PLAYER_CONSOLE", "1"}});
  auto shown = run.WaitForFailurePage();
  ASSERT_TRUE(shown) << run.Output();
  EXPECT_EQ(shown->rfind("Failure page: The game cannot be played | " + server.Url("/Broken.swf?"), 0), 0u) << *shown;
  EXPECT_NE(shown->find("the player cannot play it"), std::string::npos) << *shown;
  EXPECT_EQ(shown->find("Ruffle"), std::string::npos) << *shown;
  Window window = run.WaitForWindow();
  ASSERT_NE(window, 0u);
  EXPECT_TRUE(run.WaitForColour(window, 5, 5, kFailurePageBackground));
  run.SaveScreenshot();
  ProcessResult result = run.CloseAndWait();
  ASSERT_TRUE(result.exited);
  EXPECT_EQ(result.output.find("Something went wrong"), std::string::npos);
}

// With a site key every movie comes through the launcher, checked, and the player fetches
// nothing by itself: its page's policy stops the request before it leaves. Without a key the same
// movie fetches the same file.
TEST(SealedPlayer, WithASiteKeyThePlayerFetchesNothingByItself) {
  testing_support::LoopbackHttpServer server;
  const std::string movie = testing_support::ReadFile(BRIMTALE_TEST_MOVIE);
  std::atomic<int> dataRequests{0};
  std::string index;  // written before the launcher starts
  server.server().Get("/TestMovie.swf", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(movie, "application/x-shockwave-flash");
  });
  server.server().Get("/data.txt", [&](const httplib::Request&, httplib::Response& response) {
    ++dataRequests;
    response.set_header("Access-Control-Allow-Origin", "*");
    response.set_content("hello", "text/plain");
  });
  server.server().Get("/index.json", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(index, "application/json");
  });
  server.Start();
  const std::string query = "script=" + PercentEncode("LOG|playing\nFETCH|" + server.Url("/data.txt"));
  SiteIndex listing;
  listing.version = 1;
  listing.expires = std::time(nullptr) + 86400;
  listing.files["TestMovie.swf"] = {movie.size(), Sha256Of(testing_support::Bytes(movie)), {query}};
  index = testing_support::SignedIndex(FormatSiteIndexPayload(listing));
  const std::string siteConfig = R"(, "SiteUrl": )" + JsonString(server.Url("/")) + R"(, "SiteKey": ")" +
                                 FormatSitePublicKey(testing_support::kOldKey.publicKey) + "\"";

  struct Case {
    const char* name;
    std::string config;
    const char* answer;
    int requests;
  } cases[] = {
      {"without a site key", "", "FlashLog: FETCHED 5", 1},
      {"with a site key", siteConfig, "FlashLog: FETCH FAILED ", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dataRequests = 0;
    PlayerRun run;
    run.Start(server.Url("/TestMovie.swf") + "?" + query, c.config);
    const bool answered = run.WaitForLog([&](const auto& messages) {
      return std::any_of(messages.begin(), messages.end(), [&](const std::string& m) { return m.starts_with(c.answer); });
    });
    ProcessResult result = run.CloseAndWait();
    ASSERT_TRUE(answered) << run.LogText();
    EXPECT_TRUE(HasLine(run.sandbox().LogMessages(), "FlashLog: playing"));
    EXPECT_EQ(dataRequests, c.requests);
  }
}

}  // namespace
