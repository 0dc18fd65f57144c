// The login dialog as the player meets it: the real launcher shows a page served from loopback in
// a real window on the X server; the test clicks and types through xdotool and looks at the
// window through xwininfo. Pages report what they see back to the server.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/LoopbackHttpServer.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::LauncherSandbox;
using testing_support::LoopbackHttpServer;
using testing_support::ProcessOptions;
using testing_support::RunProcess;

// The full path of a program on PATH (child processes are started without a PATH search).
std::string Program(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= folders.size()) {
    size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    const std::string candidate = folders.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return name;
}

template <class Predicate>
bool WaitUntil(Predicate predicate, std::chrono::milliseconds timeout = 20s) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (predicate()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return predicate();
}

std::string OutputOf(const std::vector<std::string>& argv) {
  auto result = RunProcess(argv);
  return result.output;
}

void Xdotool(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{Program("xdotool")};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  RunProcess(argv);
}

void ClickAt(int x, int y, int button = 1) {
  Xdotool({"mousemove", "--sync", std::to_string(x), std::to_string(y)});
  Xdotool({"click", std::to_string(button)});
}

struct WindowState {
  bool mapped = false;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

int Field(const std::string& text, const std::string& label) {
  std::smatch match;
  if (std::regex_search(text, match, std::regex(label + R"(\s*(-?\d+))"))) return std::stoi(match[1]);
  return -99999;
}

// The top-level window named exactly `caption`, if the X server has one.
std::optional<std::string> FindWindowId(const std::string& caption) {
  std::string ids = OutputOf({Program("xdotool"), "search", "--name", "^" + caption + "$"});
  std::smatch match;
  if (std::regex_search(ids, match, std::regex(R"((\d+))"))) return match[1].str();
  return std::nullopt;
}

WindowState QueryWindow(const std::string& id) {
  std::string info = OutputOf({Program("xwininfo"), "-id", id});
  WindowState state;
  state.mapped = info.find("Map State: IsViewable") != std::string::npos;
  state.x = Field(info, "Absolute upper-left X:");
  state.y = Field(info, "Absolute upper-left Y:");
  state.width = Field(info, "Width:");
  state.height = Field(info, "Height:");
  return state;
}

// A page with a magenta background, a blue panel at (100, 100) of 400 x 300, a text field and
// the two buttons; report() tells the test server what the page saw, in order.
std::string Page(const std::string& script, const std::string& extraBody = "") {
  return R"(<!doctype html><html><head><meta charset="utf-8"><style>
html, body { margin: 0; height: 100%; background: #ff00ff; overflow: hidden; }
#panel { position: absolute; left: 100px; top: 100px; width: 400px; height: 300px; background: #3060a0;
         color: white; font: 18px sans-serif; }
#title { height: 40px; background: #203050; }
input { position: absolute; left: 20px; width: 200px; }
#first { top: 60px; } #second { top: 100px; }
#ButtonOK { position: absolute; left: 20px; top: 200px; width: 80px; height: 40px; }
#ButtonCancel { position: absolute; left: 120px; top: 200px; width: 80px; height: 40px; }
</style></head><body>
<div id="panel"><div id="title">Brimtale</div>
<input id="first" value="secret-text"><input id="second">
<button id="ButtonOK">OK</button><button id="ButtonCancel">Cancel</button></div>
)" + extraBody + R"(
<script>
function report(what) {
  var request = new XMLHttpRequest();
  request.open('GET', '/report?e=' + encodeURIComponent(what), false);
  request.send();
}
</script><script>)" + script + R"(</script></body></html>)";
}

// A page script that runs `then` once the test lets it go on (the server's /go answers "go").
std::string WaitForGo(const std::string& then) {
  return R"(var waiting = setInterval(function () {
  var request = new XMLHttpRequest();
  request.open('GET', '/go', false);
  request.send();
  if (request.responseText !== 'go') return;
  clearInterval(waiting);
  )" + then + "\n}, 100);";
}

// The web engine's web processes whose parent is `parent`.
std::vector<int> WebProcessesOf(int parent) {
  std::vector<int> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code error;
    const auto exe = std::filesystem::read_symlink(entry.path() / "exe", error);
    if (error || exe.filename() != "WebKitWebProcess") continue;
    const std::string stat = testing_support::ReadFile((entry.path() / "stat").string());
    int parentOfIt = 0;
    char state = 0;
    const size_t end = stat.rfind(')');
    if (end != std::string::npos && std::sscanf(stat.c_str() + end + 1, " %c %d", &state, &parentOfIt) == 2 &&
        parentOfIt == parent)
      found.push_back(std::stoi(name));
  }
  return found;
}

// Whether process `id` has ended: it is gone, or only its exit status waits to be collected.
bool HasEnded(int id) {
  const std::string stat = testing_support::ReadFile("/proc/" + std::to_string(id) + "/stat");
  const size_t end = stat.rfind(')');
  return end == std::string::npos || stat.size() < end + 3 || stat[end + 2] == 'Z' || stat[end + 2] == 'X';
}

// Dialog corner for ResizeAndCenter(800, 600) on the 1920 x 1080 test screen.
constexpr int kLeft = 560;
constexpr int kTop = 240;

class LoginDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "needs an X display";
    m_server.server().Get("/login.html", [this](const httplib::Request&, httplib::Response& response) {
      std::lock_guard lock(m_mutex);
      response.set_content(m_page, "text/html");
      ++m_pagesServed;
    });
    m_server.server().Get("/second.html", [this](const httplib::Request&, httplib::Response& response) {
      std::lock_guard lock(m_mutex);
      response.set_content(m_secondPage, "text/html");
    });
    // A resource behind a password.
    m_server.server().Get("/private.html", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard lock(m_mutex);
      if (request.has_header("Authorization")) m_reports.push_back("credentials sent");
      response.status = 401;
      response.set_header("WWW-Authenticate", R"(Basic realm="Brimtale")");
      response.set_content("denied", "text/plain");
    });
    m_server.server().Get("/report", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard lock(m_mutex);
      m_reports.push_back(request.get_param_value("e"));
      response.set_content("", "text/plain");
    });
    m_server.server().Get("/api/startzelqgame.ashx", [this](const httplib::Request& request, httplib::Response& r) {
      std::lock_guard lock(m_mutex);
      m_analysisIds.push_back(request.get_param_value("openid"));
      r.set_content("ok", "text/plain");
    });
    // Fails (503) at its first request, then serves the login page.
    m_server.server().Get("/flaky.html", [this](const httplib::Request&, httplib::Response& response) {
      std::lock_guard lock(m_mutex);
      if (m_flakyServed++ == 0) {
        response.status = 503;
        response.set_content("<html>Down for maintenance</html>", "text/html");
      } else {
        response.set_content(m_page, "text/html");
      }
    });
    // The game's movie, recorded among the reports when it is fetched.
    m_server.server().Get("/movie.swf", [this](const httplib::Request&, httplib::Response& response) {
      std::lock_guard lock(m_mutex);
      m_reports.push_back("movie fetched");
      response.set_content(testing_support::ReadFile(BRIMTALE_TEST_MOVIE), "application/x-shockwave-flash");
    });
    // "go" once the test lets the page go on (WaitForGo in the page's script).
    m_server.server().Get("/go", [this](const httplib::Request&, httplib::Response& response) {
      response.set_content(m_go ? "go" : "wait", "text/plain");
    });
    m_server.server().Get("/getswfurl", [this](const httplib::Request&, httplib::Response& response) {
      if (m_swfUrlDown) {
        response.status = 503;
        response.set_content("down", "text/plain");
        return;
      }
      response.set_content("http://127.0.0.1:1/movie.swf", "text/plain");
    });
    // The web view keeps connections alive; closing each after its answer lets the server stop at once.
    m_server.server().set_keep_alive_max_count(1);
    m_server.Start();
  }

  std::string Caption() const {
    return std::string("Brimtale Login ") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }

  void Start(const std::string& script, int launcherType = 2, const std::string& extraBody = "",
             const std::string& extraConfig = "") {
    {
      std::lock_guard lock(m_mutex);
      m_page = Page(script, extraBody);
    }
    // Each run of a table gets an installation and a log of its own.
    m_launcher.reset();
    if (m_started) m_sandbox = std::make_unique<LauncherSandbox>();
    m_started = true;
    m_sandbox->WriteConfig(R"({"LauncherType": )" + std::to_string(launcherType) + R"(, "LauncherCaption": ")" +
                          Caption() + R"(", "LoginUrl": ")" + m_server.Url("/login.html") + R"(", "GetSwfUrl": ")" +
                          m_server.Url("/getswfurl") + "\"" + extraConfig + "}");
    int served = m_pagesServed;
    m_launcher = StartCopy();
    // Start-up ends when the dialog asks for its page: on a busy machine that takes as long as the
    // start of a movie. What a test waits for afterwards has its own budget.
    WaitUntil([&] { return m_pagesServed > served || !m_launcher->IsRunning(); }, testing_support::kMovieStartBudget);
  }

  std::unique_ptr<ChildProcess> StartCopy(std::chrono::milliseconds timeout = 30s) {
    if (m_launcherTimeout) timeout = *m_launcherTimeout;
    ProcessOptions options = m_sandbox->Options();
    options.environment["BRIMTALE_PORTAL_ANALYSIS_HOST"] = m_server.Url("");
    for (const auto& [key, value] : m_environment) options.environment[key] = value;
    options.timeout = timeout;
    return std::make_unique<ChildProcess>(std::vector<std::string>{m_sandbox->Executable()}, options);
  }

  std::vector<std::string> Reports() {
    std::lock_guard lock(m_mutex);
    return m_reports;
  }
  bool Reported(const std::string& what) {
    auto reports = Reports();
    return std::find(reports.begin(), reports.end(), what) != reports.end();
  }
  std::vector<std::string> AnalysisIds() {
    std::lock_guard lock(m_mutex);
    return m_analysisIds;
  }

  bool Logged(const std::string& message) {
    auto messages = m_sandbox->LogMessages();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
  }
  std::optional<std::string> LoggedWithPrefix(const std::string& prefix) {
    for (const std::string& message : m_sandbox->LogMessages())
      if (message.rfind(prefix, 0) == 0) return message.substr(prefix.size());
    return std::nullopt;
  }

  // The dialog's window id once it is shown at the given place.
  std::string WaitForDialogAt(int x, int y, int width, int height) {
    std::string id;
    WindowState state;
    const bool shown = WaitUntil([&] {
      auto found = FindWindowId(Caption());
      if (!found) return false;
      id = *found;
      state = QueryWindow(id);
      return state.mapped && state.x == x && state.y == y && state.width == width && state.height == height;
    });
    EXPECT_TRUE(shown) << "window " << id << " at " << state.x << "," << state.y << " size " << state.width << "x"
                       << state.height << " mapped " << state.mapped;
    // The shape follows the page's first paint; give it time to settle before pixels are used.
    std::this_thread::sleep_for(700ms);
    return id;
  }

  void SaveScreenshot(const std::string& suffix = "") {
    const std::string folder = std::string(BRIMTALE_BINARY_DIR) + "/artifacts";
    std::filesystem::create_directories(folder);
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    RunProcess({Program("import"), "-window", "root",
                folder + "/" + info->test_suite_name() + "." + info->name() + suffix + ".png"});
  }

  bool LauncherEnds() {
    auto result = m_launcher->Wait();
    return result.exited;
  }

  // Starts a copy whose login page is at `loginUrl`, with the pages' console on its output.
  void StartWithLoginPage(const std::string& loginUrl) {
    m_launcher.reset();
    if (m_started) m_sandbox = std::make_unique<LauncherSandbox>();
    m_started = true;
    m_sandbox->WriteConfig(R"({"LauncherType": 2, "LauncherCaption": ")" + Caption() + R"(", "LoginUrl": ")" + loginUrl +
                           R"(", "SwfUrl": "http://127.0.0.1:9/movie.swf"})");
    m_environment["BRIMTALE_PLAYER_CONSOLE"] = "1";
    m_launcher = StartCopy(testing_support::kMovieStartBudget);
  }

  // The failure page's console line ("Failure page: TITLE | ADDRESS | CAUSE | buttons"), once shown.
  std::optional<std::string> WaitForFailurePage(size_t seen = 0) {
    std::optional<std::string> line;
    WaitUntil(
        [&] {
          m_launcher->IsRunning();  // takes in the output so far
          const std::string& output = m_launcher->output();
          size_t at = output.find("Failure page: ", seen);
          if (at == std::string::npos) return false;
          line = output.substr(at, output.find('\n', at) - at);
          return true;
        },
        testing_support::kMovieStartBudget);
    return line;
  }

  std::mutex m_mutex;
  std::atomic<bool> m_go{false};  // the page may go on
  int m_flakyServed = 0;
  std::atomic<bool> m_swfUrlDown{false};  // the movie URL query answers 503
  std::atomic<int> m_pagesServed{0};
  std::string m_page;
  std::string m_secondPage;
  std::vector<std::string> m_reports;
  std::vector<std::string> m_analysisIds;
  std::map<std::string, std::string> m_environment;
  std::optional<std::chrono::milliseconds> m_launcherTimeout;
  LoopbackHttpServer m_server;
  std::unique_ptr<LauncherSandbox> m_sandbox = std::make_unique<LauncherSandbox>();
  bool m_started = false;
  std::unique_ptr<ChildProcess> m_launcher;
};

TEST_F(LoginDialog, ResizeAndCenterPlacesTheWindowOnTheScreensMiddle) {
  struct Case {
    int width, height, x, y;
  };
  // An odd negative difference is halved downwards.
  for (const Case& c : {Case{800, 600, 560, 240}, Case{2001, 1081, -41, -1}}) {
    SCOPED_TRACE(c.width);
    Start("window.external.ResizeAndCenter(" + std::to_string(c.width) + ", " + std::to_string(c.height) + ");");
    WaitForDialogAt(c.x, c.y, c.width, c.height);
    SaveScreenshot("_" + std::to_string(c.width));
    EXPECT_TRUE(Logged("ResizeAndCenter: " + std::to_string(c.width) + ", " + std::to_string(c.height)));
    EXPECT_TRUE(Logged("ScreenRect: 1920, 1080"));
    m_launcher.reset();
  }
}

TEST_F(LoginDialog, PageThatNeverSizesTheDialogLeavesItUnmapped) {
  Start("report('loaded');");
  ASSERT_TRUE(WaitUntil([&] { return Reported("loaded"); }));
  std::this_thread::sleep_for(500ms);
  // The window exists (a second copy finds it by caption) but shows nothing.
  auto id = FindWindowId(Caption());
  ASSERT_TRUE(id.has_value());
  EXPECT_FALSE(QueryWindow(*id).mapped);
}

TEST_F(LoginDialog, StartGameStoresTheTokenAndOpensTheGameWindow) {
  struct Case {
    std::string arguments;  // as the page's script writes them
    std::vector<std::string> values;  // id, state, timeout, ulg_time, zoneid as they must come back
  };
  const Case cases[] = {
      {R"("a", "b", "c", "d", "e")", {"a", "d", "c", "b", "e"}},
      {R"('q"uote', 'back\\slash', 'line\nbreak', 'brace}', 7)", {"q\"uote", "brace}", "line\nbreak", "back\\slash", "7"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    Start("window.external.ResizeAndCenter(800, 600); window.external.StartGame(" + c.arguments + ");");
    std::optional<std::string> token;
    ASSERT_TRUE(WaitUntil([&] { return (token = LoggedWithPrefix("Set AccessToken: ")).has_value(); })) << m_sandbox->Log() << m_launcher->output();
    if (c.values[0] == "a") {
      EXPECT_EQ(*token, R"({"id":"a","state":"d","timeout":"c","ulg_time":"b","zoneid":"e"})");
    }
    // The log line holds the token; a line break inside a value stays escaped in it.
    cJSON* json = cJSON_Parse(token->c_str());
    ASSERT_NE(json, nullptr) << *token;
    const char* keys[] = {"id", "state", "timeout", "ulg_time", "zoneid"};
    for (size_t i = 0; i < 5; ++i) {
      const cJSON* member = cJSON_GetObjectItemCaseSensitive(json, keys[i]);
      ASSERT_TRUE(cJSON_IsString(member)) << keys[i];
      EXPECT_EQ(member->valuestring, c.values[i]) << keys[i];
    }
    EXPECT_EQ(cJSON_GetArraySize(json), 5);
    cJSON_Delete(json);
    // IDOK: start-up goes on to the game window instead of ending.
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(m_launcher->IsRunning());
    EXPECT_FALSE(Logged("Exit Instance"));
    m_launcher.reset();
  }
}

TEST_F(LoginDialog, StartGameV2AsksForThePortalLoginAnalysisOnlyForLauncherType3) {
  struct Case {
    int launcherType;
    std::string token;  // a JavaScript string literal
    std::vector<std::string> expectedIds;
  };
  const Case cases[] = {
      {3, R"('{"userid": 12345, "key": "k"}')", {"12345"}},
      {3, R"('{"UserId": "u-77"}')", {"u-77"}},
      {2, R"('{"userid": 12345}')", {}},
      {3, R"('not json')", {}},
      {3, R"('{"userid": true}')", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.token);
    {
      std::lock_guard lock(m_mutex);
      m_analysisIds.clear();
    }
    Start("window.external.StartGameV2(" + c.token + ");", c.launcherType);
    std::optional<std::string> stored;
    ASSERT_TRUE(WaitUntil([&] { return (stored = LoggedWithPrefix("StartGameV2 AccessToken: ")).has_value(); })) << m_sandbox->Log() << m_launcher->output();
    // Stored as the page gave it, whatever it holds.
    EXPECT_EQ("'" + *stored + "'", c.token);
    if (c.expectedIds.empty()) {
      std::this_thread::sleep_for(1500ms);
      EXPECT_TRUE(AnalysisIds().empty());
    } else {
      EXPECT_TRUE(WaitUntil([&] { return AnalysisIds() == c.expectedIds; }));
    }
    EXPECT_TRUE(m_launcher->IsRunning());
    m_launcher.reset();
  }
}

TEST_F(LoginDialog, TheTokenIsTakenOnlyFromPagesOfTheLoginUrlsOrigin) {
  // "localhost" names the same server under another origin than 127.0.0.1.
  const std::string foreign = "http://localhost:" + std::to_string(m_server.port()) + "/second.html";
  struct Case {
    std::string name;
    std::string loginScript;  // how the login page brings the second page in
    std::string secondPage;   // which server address serves it
    bool accepted;
  };
  const Case cases[] = {
      {"frame of another origin", "", foreign, false},
      {"page of another origin", "location.href = " + std::string("'") + foreign + "';", foreign, false},
      {"frame of the login's origin", "", m_server.Url("/second.html"), true},
  };
  {
    std::lock_guard lock(m_mutex);
    // Straight through window.external, and around it through the message handler it uses.
    m_secondPage = R"(<!doctype html><script>
      try { window.external.StartGameV2('{"userid": "second"}'); } catch (e) {}
      try { window.webkit.messageHandlers.external.postMessage(['', 1, '{"userid": "raw"}']); } catch (e) {}
      var request = new XMLHttpRequest();
      request.open('GET', '/report?e=second', false);
      request.send();
    </script>)";
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard lock(m_mutex);
      m_reports.clear();
    }
    const bool framed = c.loginScript.empty();
    Start(c.loginScript, 2, framed ? "<iframe src=\"" + c.secondPage + "\"></iframe>" : "");
    ASSERT_TRUE(WaitUntil([&] { return Reported("second"); }));
    if (c.accepted) {
      EXPECT_TRUE(WaitUntil([&] { return Logged("StartGameV2 AccessToken: {\"userid\": \"second\"}"); }));
    } else {
      EXPECT_TRUE(WaitUntil([&] { return Logged("StartGameV2 refused: the page is not of the login URL's origin"); }));
      std::this_thread::sleep_for(500ms);
      EXPECT_FALSE(LoggedWithPrefix("StartGameV2 AccessToken").has_value());
      EXPECT_TRUE(m_launcher->IsRunning());
    }
    m_launcher.reset();
  }
}

TEST_F(LoginDialog, PageDialogsAnswerAtOnce) {
  // A page that waited for a dialog would never get to its login.
  Start(R"(var alerted = alert('hello');
    var confirmed = confirm('sure?');
    var prompted = prompt('name?', 'typed');
    window.external.StartGameV2('alert ' + alerted + ', confirm ' + confirmed + ', prompt ' + prompted);)",
        2, "", R"(, "SwfUrl": "http://127.0.0.1:9/movie.swf")");
  std::optional<std::string> token;
  ASSERT_TRUE(WaitUntil([&] { return (token = LoggedWithPrefix("StartGameV2 AccessToken: ")).has_value(); }));
  EXPECT_EQ(*token, "alert undefined, confirm false, prompt null");
  EXPECT_TRUE(m_launcher->IsRunning());
}

TEST_F(LoginDialog, AServerAskingForAPasswordGetsNoneAndNoPrompt) {
  // A prompt would hold the request until someone answered it; refused, the request fails at once.
  Start(R"(fetch('/private.html').then(function (r) { report('fetched ' + r.status); },
                                      function () { report('fetch failed'); });)");
  ASSERT_TRUE(WaitUntil([&] { return Reported("fetch failed"); }));
  EXPECT_EQ(Reports(), std::vector<std::string>{"fetch failed"});
}

TEST_F(LoginDialog, OkWithoutATokenDoesNothingAndCancelEndsTheLauncher) {
  Start(R"(window.external.ResizeAndCenter(800, 600);
    document.getElementById('ButtonOK').addEventListener('click', function () { report('ok clicked'); });
    // An empty token is stored but keeps the dialog open.
    window.external.StartGameV2('');
    report('ready');)");
  WaitForDialogAt(kLeft, kTop, 800, 600);
  ASSERT_TRUE(WaitUntil([&] { return Reported("ready"); }));
  EXPECT_TRUE(Logged("StartGameV2 AccessToken: "));
  ClickAt(kLeft + 100 + 60, kTop + 100 + 220);  // ButtonOK
  ASSERT_TRUE(WaitUntil([&] { return Reported("ok clicked"); }));
  std::this_thread::sleep_for(700ms);
  EXPECT_TRUE(m_launcher->IsRunning());

  ClickAt(kLeft + 100 + 160, kTop + 100 + 220);  // ButtonCancel
  auto result = m_launcher->Wait();
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(m_sandbox->LogMessages().back(), "Exit Instance");
  EXPECT_FALSE(LoggedWithPrefix("Set AccessToken").has_value());
}

TEST_F(LoginDialog, ExitAppEndsTheLauncher) {
  Start("window.external.ResizeAndCenter(800, 600); setTimeout(function () { window.external.ExitApp(); }, 300);");
  auto result = m_launcher->Wait();
  ASSERT_TRUE(result.exited) << result.exitStatus << " " << result.output;
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(m_sandbox->LogMessages().back(), "Exit Instance");
}

TEST_F(LoginDialog, ScriptArgumentsAreCheckedAndConvertedBeforeTheyArrive) {
  // Each line reports whether the call threw; only well-formed calls reach the dialog's log.
  Start(R"(
    function attempt(name, call) { try { call(); report(name + ':ok'); } catch (e) { report(name + ':threw'); } }
    attempt('too few', function () { window.external.ResizeAndCenter(800); });
    attempt('not a number', function () { window.external.ResizeAndCenter('wide', 600); });
    attempt('out of range', function () { window.external.ResizeAndCenter(40000, 600); });
    attempt('undefined text', function () { window.external.OpenLink(undefined); });
    attempt('texts and halves', function () { window.external.ResizeAndCenter('300', 200.5); });
    attempt('replace', function () { window.external = null; window.external.DragMove(); });
    report('done');)");
  ASSERT_TRUE(WaitUntil([&] { return Reported("done"); }));
  EXPECT_EQ(Reports(), (std::vector<std::string>{"too few:threw", "not a number:threw", "out of range:threw",
                                                 "undefined text:threw", "texts and halves:ok", "replace:ok", "done"}));
  // 200.5 rounds half to even.
  EXPECT_TRUE(WaitUntil([&] { return Logged("ResizeAndCenter: 300, 200"); }));
  auto messages = m_sandbox->LogMessages();
  EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                          [](const std::string& m) { return m.rfind("ResizeAndCenter:", 0) == 0; }),
            1);
}

TEST_F(LoginDialog, BrowserKeysAndTheWheelNeverReachThePage) {
  Start(R"(window.external.ResizeAndCenter(800, 600);
    document.addEventListener('keydown', function (e) {
      if (['Control', 'Alt', 'Shift'].indexOf(e.key) < 0) report('key ' + e.key);
    });
    document.addEventListener('wheel', function () { report('wheel'); });
    document.getElementById('second').addEventListener('input', function (e) {
      var first = document.getElementById('first').value;
      report(e.target.value === first && first.indexOf('secret-text') >= 0 ? 'pasted the copy' : 'pasted ' + e.target.value);
    });
    report('ready');)");
  WaitForDialogAt(kLeft, kTop, 800, 600);
  ASSERT_TRUE(WaitUntil([&] { return Reported("ready"); }));
  ClickAt(kLeft + 100 + 100, kTop + 100 + 70);  // the first text field
  for (const char* key : {"ctrl+p", "ctrl+n", "ctrl+o", "ctrl+l", "ctrl+plus", "ctrl+minus", "ctrl+KP_Add",
                          "alt+Left", "alt+Right", "F5", "Escape", "x"}) {
    Xdotool({"key", "--clearmodifiers", key});
  }
  Xdotool({"click", "4"});
  Xdotool({"click", "5"});
  ASSERT_TRUE(WaitUntil([&] { return Reported("key x"); }));
  // Copying still works in a text field: the selected text goes to the clipboard...
  ClickAt(kLeft + 100 + 100, kTop + 100 + 70);
  Xdotool({"key", "--clearmodifiers", "ctrl+a"});
  Xdotool({"key", "--clearmodifiers", "ctrl+c"});
  // ...and comes back into the other field.
  ClickAt(kLeft + 100 + 100, kTop + 100 + 110);
  Xdotool({"key", "--clearmodifiers", "ctrl+v"});
  EXPECT_TRUE(WaitUntil([&] { return Reported("pasted the copy"); }, 5s));
  SaveScreenshot();
  for (const std::string& report : Reports()) {
    EXPECT_TRUE(report == "ready" || report == "key x" || report == "key a" || report == "key c" ||
                report == "key v" || report == "pasted the copy")
        << report;
  }
}

TEST_F(LoginDialog, MagentaIsSeeThroughAndClickThrough) {
  // A real window below the dialog that records the clicks it gets.
  const std::string below = m_sandbox->dir() / "below.txt";
  ChildProcess recorder({"/bin/sh", "-c", "exec stdbuf -oL xev -geometry 1920x1080+0+0 -event button > " + below}, {});
  ASSERT_TRUE(WaitUntil([&] { return testing_support::PathExists(below); }));
  std::this_thread::sleep_for(500ms);

  Start(R"(window.external.ResizeAndCenter(800, 600);
    document.getElementById('panel').addEventListener('mousedown', function () { report('panel'); });
    document.body.addEventListener('mousedown', function (e) { if (e.target === document.body) report('magenta'); });)");
  WaitForDialogAt(kLeft, kTop, 800, 600);
  SaveScreenshot();

  ClickAt(kLeft + 50, kTop + 50);  // magenta
  ASSERT_TRUE(WaitUntil([&] { return testing_support::ReadFile(below).find("ButtonPress") != std::string::npos; }, 5s));
  EXPECT_NE(testing_support::ReadFile(below).find("(610,290)"), std::string::npos) << testing_support::ReadFile(below);

  ClickAt(kLeft + 100 + 300, kTop + 100 + 250);  // the panel
  ASSERT_TRUE(WaitUntil([&] { return Reported("panel"); }, 5s));
  std::this_thread::sleep_for(300ms);
  const std::string clicks = testing_support::ReadFile(below);
  EXPECT_EQ(clicks.find("(960,590)"), std::string::npos) << clicks;
  EXPECT_FALSE(Reported("magenta"));
}

TEST_F(LoginDialog, ShapeFollowsThePageAsItChanges) {
  const std::string below = m_sandbox->dir() / "below.txt";
  ChildProcess recorder({"/bin/sh", "-c", "exec stdbuf -oL xev -geometry 1920x1080+0+0 -event button > " + below}, {});
  ASSERT_TRUE(WaitUntil([&] { return testing_support::PathExists(below); }));
  std::this_thread::sleep_for(500ms);
  Start(R"(window.external.ResizeAndCenter(800, 600);
    document.getElementById('panel').addEventListener('mousedown', function (e) {
      e.currentTarget.style.background = '#ff00ff';
      report('turned magenta');
    });)");
  WaitForDialogAt(kLeft, kTop, 800, 600);
  ClickAt(kLeft + 100 + 300, kTop + 100 + 250);
  ASSERT_TRUE(WaitUntil([&] { return Reported("turned magenta"); }, 5s));
  std::this_thread::sleep_for(700ms);
  SaveScreenshot();
  ClickAt(kLeft + 100 + 300, kTop + 100 + 250);
  EXPECT_TRUE(WaitUntil([&] { return testing_support::ReadFile(below).find("(960,590)") != std::string::npos; }, 5s))
      << testing_support::ReadFile(below);
}

TEST_F(LoginDialog, DragMoveMovesTheDialogWithTheMouse) {
  Start(R"(window.external.ResizeAndCenter(800, 600);
    document.getElementById('title').addEventListener('mousedown', function () { window.external.DragMove(); });)");
  const std::string id = WaitForDialogAt(kLeft, kTop, 800, 600);
  Xdotool({"mousemove", "--sync", std::to_string(kLeft + 100 + 200), std::to_string(kTop + 100 + 20)});
  Xdotool({"mousedown", "1"});
  std::this_thread::sleep_for(500ms);
  for (int step = 1; step <= 10; ++step) {
    Xdotool({"mousemove", std::to_string(kLeft + 100 + 200 + step * 10), std::to_string(kTop + 100 + 20 + step * 5)});
    std::this_thread::sleep_for(30ms);
  }
  Xdotool({"mouseup", "1"});
  EXPECT_TRUE(WaitUntil([&] {
    WindowState state = QueryWindow(id);
    return state.x == kLeft + 100 && state.y == kTop + 50;
  }, 5s)) << QueryWindow(id).x << "," << QueryWindow(id).y;
}

TEST_F(LoginDialog, OpenLinkHandsOnlyWebAndMailLinksToTheDesktop) {
  // A stand-in for the desktop's opener that records what it is given.
  const std::string bin = m_sandbox->dir() / "bin";
  std::filesystem::create_directories(bin);
  const std::string opened = m_sandbox->dir() / "opened.txt";
  testing_support::WriteFile(bin + "/xdg-open", "#!/bin/sh\necho \"$1\" >> " + opened + "\n");
  std::filesystem::permissions(bin + "/xdg-open", std::filesystem::perms::owner_all);
  m_environment["PATH"] = bin + ":" + std::getenv("PATH");
  Start(R"(
    ['https://example.com/a?b=c', 'file:///etc/passwd', 'javascript:alert(1)', 'MAILTO:help@example.com',
     '/usr/bin/xterm', 'http://example.com/'].forEach(function (url) { window.external.OpenLink(url); });
    report('done');)");
  ASSERT_TRUE(WaitUntil([&] { return Reported("done"); }));
  ASSERT_TRUE(WaitUntil([&] { return testing_support::SplitLines(testing_support::ReadFile(opened)).size() >= 3; }));
  std::this_thread::sleep_for(300ms);
  auto lines = testing_support::SplitLines(testing_support::ReadFile(opened));
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{"MAILTO:help@example.com", "http://example.com/", "https://example.com/a?b=c"}));
  EXPECT_TRUE(Logged("OpenLink ignored: file:///etc/passwd"));
  EXPECT_TRUE(Logged("OpenLink ignored: javascript:alert(1)"));
  EXPECT_TRUE(Logged("OpenLink ignored: /usr/bin/xterm"));
  EXPECT_TRUE(m_launcher->IsRunning());
}

TEST_F(LoginDialog, ContextMenuOnlyInTextFields) {
  Start("window.external.ResizeAndCenter(800, 600); report('ready');");
  WaitForDialogAt(kLeft, kTop, 800, 600);
  auto visibleWindows = [&] {
    auto out = OutputOf({Program("xdotool"), "search", "--onlyvisible", "--pid", std::to_string(m_launcher->pid()), ""});
    return testing_support::SplitLines(out).size();
  };
  const size_t before = visibleWindows();
  ClickAt(kLeft + 100 + 300, kTop + 100 + 250, 3);  // the panel's plain area
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(visibleWindows(), before);
  ClickAt(kLeft + 100 + 100, kTop + 100 + 70, 3);  // a text field
  EXPECT_TRUE(WaitUntil([&] { return visibleWindows() > before; }, 5s));
  SaveScreenshot();
}

TEST_F(LoginDialog, MovieUrlIsFetchedWhileTheDialogIsOpen) {
  Start("window.external.ResizeAndCenter(800, 600);", 3);
  EXPECT_TRUE(WaitUntil([&] { return LoggedWithPrefix("GetSwfUrl: 0, ").has_value(); }));
  EXPECT_TRUE(m_launcher->IsRunning());
  EXPECT_FALSE(LoggedWithPrefix("Set AccessToken").has_value());
}

TEST_F(LoginDialog, SecondCopyBringsTheDialogForwardAndEnds) {
  Start(R"(window.external.ResizeAndCenter(800, 600);
    document.getElementById('panel').addEventListener('mousedown', function () { report('panel'); });)");
  WaitForDialogAt(kLeft, kTop, 800, 600);
  // Another window now covers the dialog.
  const std::string cover = m_sandbox->dir() / "cover.txt";
  ChildProcess recorder({"/bin/sh", "-c", "exec stdbuf -oL xev -geometry 1920x1080+0+0 -event button > " + cover}, {});
  ASSERT_TRUE(WaitUntil([&] { return testing_support::PathExists(cover); }));
  std::this_thread::sleep_for(700ms);
  ClickAt(kLeft + 100 + 300, kTop + 100 + 250);
  ASSERT_TRUE(WaitUntil([&] { return testing_support::ReadFile(cover).find("ButtonPress") != std::string::npos; }, 5s));
  ASSERT_FALSE(Reported("panel"));

  // The second copy asks the first over the lock's channel, handing on its launch's startup id.
  m_environment["DESKTOP_STARTUP_ID"] = "second-copy_TIME4242";
  auto second = StartCopy(20s);
  auto result = second->Wait();
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.output, "brimtale-launcher: already running; raised the first copy\n");
  // A first copy slower to answer than the second copy waits is still asked, and presents its
  // window when it gets to it (the second copy meanwhile raises it by caption).
  EXPECT_TRUE(WaitUntil([&] { return Logged("Present Requested: second-copy_TIME4242 (presented)"); }));
  EXPECT_TRUE(Logged("Already Running: raised the first copy"));
  std::this_thread::sleep_for(500ms);
  SaveScreenshot();
  ClickAt(kLeft + 100 + 300, kTop + 100 + 250);
  EXPECT_TRUE(WaitUntil([&] { return Reported("panel"); }, 5s));
  EXPECT_TRUE(m_launcher->IsRunning());
  EXPECT_TRUE(Logged("Exit Instance"));  // the second copy's: the first runs on
}

TEST_F(LoginDialog, TheMovieGetsTheTokenOfTheLogin) {
  const std::string movie = BRIMTALE_BINARY_DIR "/movies/CommandsMovie.swf";
  if (!testing_support::PathExists(movie)) GTEST_SKIP() << "the command movie is not built (haxe missing)";
  // Waited for only once the movie has asked: then the run is ended a few seconds later and its
  // standard error holds the movie's report of the answer.
  m_launcherTimeout = 4s;
  Start(R"(window.external.StartGame('a', 'b', 'c', 'd"', 'e');)", 2, "",
        R"(, "SwfUrl": "file://)" + movie + R"(?script=GETACCESSTOKEN%7C")");
  ASSERT_TRUE(WaitUntil([&] { return Logged("DispatchFSCommand: GETACCESSTOKEN\t"); }, testing_support::kMovieStartBudget));
  auto result = m_launcher->Wait();
  EXPECT_NE(result.output.find(
                R"(MOVIE COMPLETE_EVENT GETACCESSTOKEN,{"id":"a","state":"d\"","timeout":"c","ulg_time":"b","zoneid":"e"})"),
            std::string::npos)
      << result.output;
}

// A loopback port nothing listens on (it was free a moment ago): a connection to it is refused.
int UnusedLoopbackPort() {
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  close(probe);
  return ntohs(address.sin_port);
}

// A login page that cannot be loaded: the launcher's failure page comes up in the dialog, sized
// and centred (600 x 320), naming the address and the cause; there is no offline copy to offer.
TEST_F(LoginDialog, ALoginPageThatCannotBeLoadedShowsTheFailurePage) {
  struct Case {
    std::string url;
    std::string cause;
  } cases[] = {
      {"http://127.0.0.1:" + std::to_string(UnusedLoopbackPort()) + "/login.html", "onnect"},
      {m_server.Url("/no-such-page.html"), "the server answered HTTP 404"},
      // WebKit shows an empty page for a port pages may not use (9, discard), without a failure.
      {"http://127.0.0.1:9/login.html", "a network port that pages may not use"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    StartWithLoginPage(c.url);
    auto shown = WaitForFailurePage();
    ASSERT_TRUE(shown) << m_launcher->output();
    EXPECT_EQ(shown->rfind("Failure page: The login page cannot be loaded | " + c.url + " | ", 0), 0u) << *shown;
    EXPECT_NE(shown->find(c.cause), std::string::npos) << *shown;
    EXPECT_NE(shown->find("| Try again | Quit"), std::string::npos) << *shown;
    EXPECT_EQ(shown->find("Play offline"), std::string::npos) << *shown;
    const std::string id = WaitForDialogAt((1920 - 600) / 2, (1080 - 320) / 2, 600, 320);
    if (c.cause == "onnect") SaveScreenshot();  // the refused server
    EXPECT_TRUE(LoggedWithPrefix("LoginDlg: the login page " + c.url + " cannot be loaded: "));
    // Quit (the button after Try again, which has the focus) ends the run as a failed one.
    RunProcess({Program("xdotool"), "windowfocus", "--sync", id, "sleep", "0.3", "key", "Tab", "Return"});
    auto result = m_launcher->Wait();
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 1);
  }
}

TEST_F(LoginDialog, TryAgainAtTheFailurePageLoadsTheLoginPageAgain) {
  {
    std::lock_guard lock(m_mutex);
    m_page = Page("report('login page'); window.external.ResizeAndCenter(800, 600);");
  }
  StartWithLoginPage(m_server.Url("/flaky.html"));
  auto shown = WaitForFailurePage();
  ASSERT_TRUE(shown) << m_launcher->output();
  EXPECT_NE(shown->find("the server answered HTTP 503"), std::string::npos) << *shown;
  const std::string id = WaitForDialogAt((1920 - 600) / 2, (1080 - 320) / 2, 600, 320);
  // Try again has the focus.
  RunProcess({Program("xdotool"), "windowfocus", "--sync", id, "sleep", "0.3", "key", "Return"});
  ASSERT_TRUE(WaitUntil([&] { return Reported("login page"); }, 30s)) << m_launcher->output();
  EXPECT_TRUE(Logged("LoginDlg: trying again"));
  WaitForDialogAt(kLeft, kTop, 800, 600);
}

// Launcher type 3 signed in while its movie URL query fails: the game window's failure page says
// why and when the next try comes; once the query is answered, the movie is fetched (and here
// refused, so the page names the movie's address).
TEST_F(LoginDialog, AFailingMovieUrlQueryShowsWhenTheNextTryComes) {
  m_swfUrlDown = true;
  m_environment["BRIMTALE_PLAYER_CONSOLE"] = "1";
  Start(R"(window.external.StartGameV2('{"userid": 7}');)", 3);
  std::string shown;
  ASSERT_TRUE(WaitUntil([&] {
    m_launcher->IsRunning();
    const std::string& output = m_launcher->output();
    size_t at = output.find("Failure page: The game cannot be loaded | " + m_server.Url("/getswfurl"));
    if (at == std::string::npos) return false;
    shown = output.substr(at, output.find('\n', at) - at);
    return true;
  }, testing_support::kMovieStartBudget)) << m_launcher->output();
  EXPECT_NE(shown.find("| the server answered HTTP 503 | The next try comes in "), std::string::npos) << shown;
  EXPECT_NE(shown.find(" s. | Try again | Quit"), std::string::npos) << shown;

  m_swfUrlDown = false;
  ASSERT_TRUE(WaitUntil([&] {
    m_launcher->IsRunning();
    return m_launcher->output().find("Failure page: The game cannot be loaded | http://127.0.0.1:1/movie.swf | ") !=
           std::string::npos;
  }, 90s)) << m_launcher->output();
  EXPECT_TRUE(LoggedWithPrefix("LoadSwf: http://127.0.0.1:1/movie.swf cannot be loaded: "));
}

}  // namespace

namespace {

// Launcher type 2 gets its game window ready while the page waits for the player: its movie is
// fetched and held in a hidden window. The movie still runs only after the login, whether the
// login ends once the movie is held ready or at once, while the window is still getting ready, and
// the log keeps its order: the token, the window's creation, the movie's load, its first command.
TEST_F(LoginDialog, TheGameWindowGetsReadyBehindTheLoginAndItsMovieRunsOnlyAfterIt) {
  m_environment["BRIMTALE_PLAYER_CONSOLE"] = "1";
  m_launcherTimeout = testing_support::kMovieStartBudget;
  const std::string movie = m_server.Url("/movie.swf?script=LOG%7Cfirst");
  for (bool heldReady : {true, false}) {
    SCOPED_TRACE(heldReady ? "the login ends once the movie is held" : "the login ends at once");
    m_go = !heldReady;
    {
      std::lock_guard lock(m_mutex);
      m_reports.clear();
    }
    Start("window.external.ResizeAndCenter(800, 600);" +
              WaitForGo("report('token'); window.external.StartGameV2('{\"userid\": 5}');"),
          2, "", R"(, "SwfUrl": ")" + movie + "\"");
    if (heldReady) {
      WaitForDialogAt(kLeft, kTop, 800, 600);
      ASSERT_TRUE(WaitUntil([&] {
        m_launcher->IsRunning();  // takes in the output so far
        return m_launcher->output().find("Movie held ready: " + movie) != std::string::npos;
      }, testing_support::kMovieStartBudget)) << m_launcher->output();
      // The login page's web process and the game window's; of the launcher's windows only the
      // dialog shows.
      EXPECT_GE(WebProcessesOf(m_launcher->pid()).size(), 2u);
      const std::string visible = OutputOf({Program("xdotool"), "search", "--onlyvisible", "--pid",
                                            std::to_string(m_launcher->pid()), "--class", "brimtale-launcher"});
      EXPECT_EQ(testing_support::SplitLines(visible), std::vector<std::string>{FindWindowId(Caption()).value_or("")});
      EXPECT_FALSE(LoggedWithPrefix("DispatchFSCommand:"));
      m_go = true;
    }

    ASSERT_TRUE(WaitUntil([&] { return Logged("DispatchFSCommand: LOG\tfirst"); }, testing_support::kMovieStartBudget))
        << m_launcher->output();
    if (heldReady) {
      EXPECT_EQ(Reports(), (std::vector<std::string>{"movie fetched", "token"}));
    }
    const auto messages = m_sandbox->LogMessages();
    auto at = [&](const std::string& prefix) {
      return std::find_if(messages.begin(), messages.end(), [&](const std::string& m) { return m.rfind(prefix, 0) == 0; }) -
             messages.begin();
    };
    const std::vector<std::ptrdiff_t> order{at("StartGameV2 AccessToken: "), at("Before CreateWindowEx: "),
                                            at("After CreateWindowEx: "), at("*Load SwfUrl: " + movie + "&"),
                                            at("DispatchFSCommand: ")};
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << testing_support::ReadFile(m_sandbox->LogPath());
    EXPECT_LT(order.back(), static_cast<std::ptrdiff_t>(messages.size()));
    if (heldReady) SaveScreenshot();
  }
}

// However the run ends, the web processes it started end with it: at a cancelled login (the game
// window made ready behind it has one), and when the movie ends the launcher at once.
TEST_F(LoginDialog, NoWebProcessOutlivesTheLauncher) {
  struct Case {
    const char* name;
    std::string then;  // what the page does when let go on
    const char* script;  // the movie's
    size_t processes;  // web processes seen before the page goes on
  } cases[] = {
      {"cancelled login", "window.external.ExitApp();", "LOG%7Cfirst", 2},
      {"the movie closes the launcher", "window.external.StartGameV2('{\"userid\": 5}');", "CLOSE_WINDOWS%7C", 2},
  };
  m_launcherTimeout = testing_support::kMovieStartBudget;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    m_go = false;
    Start("window.external.ResizeAndCenter(800, 600);" + WaitForGo(c.then), 2, "",
          R"(, "SwfUrl": ")" + m_server.Url(std::string("/movie.swf?script=") + c.script) + "\"");
    const int launcher = m_launcher->pid();
    std::vector<int> seen;
    ASSERT_TRUE(WaitUntil([&] { return (seen = WebProcessesOf(launcher)).size() >= c.processes; },
                          testing_support::kMovieStartBudget));
    m_go = true;
    // Those that come later are counted until the launcher ends.
    ASSERT_TRUE(WaitUntil([&] {
      for (int id : WebProcessesOf(launcher))
        if (std::find(seen.begin(), seen.end(), id) == seen.end()) seen.push_back(id);
      return !m_launcher->IsRunning();
    }, testing_support::kMovieStartBudget)) << testing_support::ReadFile(m_sandbox->LogPath());
    auto result = m_launcher->Wait();
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    for (int id : seen) EXPECT_TRUE(HasEnded(id)) << "web process " << id;
  }
}

}  // namespace
