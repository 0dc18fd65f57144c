// Start arguments through the real process, and the start-up requests against loopback servers.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "HallLauncherRun.h"
#include "app/LauncherApp.h"
#include "app/StartArguments.h"
#include "flash/CTransparentFlashPlayerControlWnd.h"
#include "platform/MainLoop.h"
#include "platform/Window.h"
#include "support/TestLog.h"

namespace {

using hall_testing::HasMessage;
using hall_testing::HasMessageStartingWith;
using hall_testing::Messages;
using hall_testing::RunLauncherUntil;
using testing_support::LauncherSandbox;

// A loopback HTTP server that answers through `respond` and remembers each request's target.
class LoopbackServer {
 public:
  using Responder = std::function<void(const httplib::Request&, httplib::Response&, int hit)>;

  explicit LoopbackServer(Responder respond) : m_respond(std::move(respond)) {
    m_server.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
      int hit;
      {
        std::lock_guard<std::mutex> lock(m_lock);
        m_targets.push_back(request.target);
        hit = static_cast<int>(m_targets.size());
      }
      m_respond(request, response, hit);
    });
    m_server.set_keep_alive_max_count(1);  // no idle connection holds up stop()
    m_port = m_server.bind_to_any_port("127.0.0.1");
    m_thread = std::thread([this] { m_server.listen_after_bind(); });
  }
  ~LoopbackServer() {
    m_server.stop();
    m_thread.join();
  }

  std::string Origin() const { return "http://127.0.0.1:" + std::to_string(m_port); }
  std::vector<std::string> Targets() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_targets;
  }
  size_t Count(const std::string& target) {
    std::lock_guard<std::mutex> lock(m_lock);
    return static_cast<size_t>(std::count(m_targets.begin(), m_targets.end(), target));
  }

 private:
  Responder m_respond;
  httplib::Server m_server;
  int m_port = 0;
  std::thread m_thread;
  std::mutex m_lock;
  std::vector<std::string> m_targets;
};

// This process's own log, for the requests run inside it.
const std::string& g_testLog = testing_support::UseTestLog();

// The messages logged since `mark` that begin with `prefix`.
Messages LoggedSince(size_t mark, const std::string& prefix) {
  Messages found;
  for (const std::string& message : testing_support::TestLogMessagesSince(mark))
    if (message.rfind(prefix, 0) == 0) found.push_back(message);
  return found;
}

std::string CanonicalPath(const std::string& path) { return std::filesystem::canonical(path).string(); }

// --- Through the real process -------------------------------------------------------------

TEST(StartArgumentsProcess, TypeOneWithoutTheHallsArgumentsEndsWithMinusOne) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::string shownAfterPath;  // the command line as logged, behind the executable's path
  };
  const Case cases[] = {
      {"no arguments", {}, ""},
      {"only a blank", {" "}, " \" \""},
      {"no ID= anywhere", {"PROCPARA=p,id=1"}, " PROCPARA=p,id=1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LauncherSandbox sandbox;
    sandbox.WriteConfig(R"({"LauncherType": 1})");
    auto result = sandbox.Run(c.arguments);
    ASSERT_TRUE(result.exited) << result.output;
    EXPECT_EQ(result.exitStatus, 255);
    Messages messages = sandbox.LogMessages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[messages.size() - 2], "Start Cmd: " + CanonicalPath(sandbox.Executable()) + c.shownAfterPath);
    EXPECT_EQ(messages.back(), "Launcher is QQSdk, must start by QQGame Hall!!");
    EXPECT_FALSE(HasMessageStartingWith(messages, "QQ Sdk Args"));
    EXPECT_FALSE(HasMessage(messages, "Exit Instance"));  // no clean-up on this way out
  }
}

TEST(StartArgumentsProcess, HallArgumentsAreLoggedInKeyOrderAndStartUpGoesOn) {
  struct Case {
    std::vector<std::string> arguments;
    std::string text;
    Messages pairs;
  };
  const Case cases[] = {
      // PID alone holds "ID=": accepted, no request.
      {{"PID=7"}, "PID=7", {"    PID = 7"}},
      // Two words: the blank after the comma begins the second key.
      {{"ID=abc,", "PID=7,PROCPARA=x"},
       "ID=abc, PID=7,PROCPARA=x",
       {"     PID = 7", "    ID = abc", "    PROCPARA = x"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    LauncherSandbox sandbox;
    sandbox.WriteConfig(R"({"LauncherType": 1})");
    testing_support::ProcessOptions options = sandbox.Options();
    options.environment["BRIMTALE_HALL_ANALYSIS_HOST"] = "http://127.0.0.1:9";
    auto run = RunLauncherUntil(sandbox, c.arguments, options, [](const Messages& messages) {
      return HasMessageStartingWith(messages, "InitFlashInBox") ||
             HasMessageStartingWith(messages, "Installed Flash Player Version");
    });
    EXPECT_NE(run.result.exitStatus, 255) << run.result.output;
    Messages after = hall_testing::MessagesFrom(run.messages, "QQ Sdk Args: " + c.text);
    ASSERT_GE(after.size(), c.pairs.size() + 1);
    EXPECT_EQ(Messages(after.begin() + 1, after.begin() + 1 + static_cast<long>(c.pairs.size())), c.pairs);
    EXPECT_FALSE(HasMessage(run.messages, "Launcher is QQSdk, must start by QQGame Hall!!"));
    // The hall library is not there: the channel is only reported missing.
    EXPECT_EQ(HasMessage(run.messages, "Load QQGameProcMsgHelper.dll failed."),
              c.text.find("PROCPARA") != std::string::npos);
  }
}

TEST(StartArgumentsProcess, OtherLauncherTypesIgnoreTheCommandLine) {
  for (int type : {0, 4}) {
    SCOPED_TRACE(type);
    LauncherSandbox sandbox;
    sandbox.RunWithoutDisplay();  // with a display, the failure page of the unknown type would wait
    sandbox.WriteConfig(R"({"LauncherType": )" + std::to_string(type) + "}");
    auto result = sandbox.Run({"ID=abc,PROCPARA=p"});
    ASSERT_TRUE(result.exited) << result.output;
    EXPECT_EQ(result.exitStatus, 2);
    Messages messages = sandbox.LogMessages();
    EXPECT_FALSE(HasMessageStartingWith(messages, "Start Cmd"));
    EXPECT_FALSE(HasMessageStartingWith(messages, "QQ Sdk Args"));
    EXPECT_FALSE(HasMessageStartingWith(messages, "Load QQGameProcMsgHelper"));
  }
}

TEST(StartArgumentsProcess, LoginAnalysisAnswerIsLogged) {
  LoopbackServer server(
      [](const httplib::Request&, httplib::Response& response, int) { response.set_content("ok-42", "text/plain"); });
  LauncherSandbox sandbox;
  sandbox.WriteConfig(R"({"LauncherType": 1})");
  testing_support::ProcessOptions options = sandbox.Options();
  options.environment["BRIMTALE_HALL_ANALYSIS_HOST"] = server.Origin();
  auto run = RunLauncherUntil(sandbox, {"ID=abc,PID=7"}, options, [](const Messages& messages) {
    return HasMessage(messages, "QQ UserLoginAnalysisData: ok-42");
  });
  std::string url = server.Origin() + "/startzelqgame.ashx?openid=abc&pid=7";
  EXPECT_EQ(server.Targets(), std::vector<std::string>{"/startzelqgame.ashx?openid=abc&pid=7"});
  Messages answer = hall_testing::MessagesFrom(run.messages, "QQ UserLoginAnalysis: 0, " + url);
  ASSERT_GE(answer.size(), 2u);
  EXPECT_EQ(answer[1], "QQ UserLoginAnalysisData: ok-42");
}

// --- The requests inside this process, with the real HTTP worker --------------------------

// Records the main window's WM_SWFURL_READY messages.
class RecordingMainWindow : public CWnd {
 public:
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_SWFURL_READY) ++swfUrlReady;
    return CWnd::WindowProc(message, wParam, lParam);
  }
  std::atomic<int> swfUrlReady{0};
};

class StartupRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    theApp.m_config.ResolvedSwfUrl.clear();
    theApp.m_pMainWnd = nullptr;
    theApp.m_httpMgr.Start(1);
  }
  void TearDown() override {
    theApp.m_httpMgr.Stop();
    theApp.m_pMainWnd = nullptr;
    unsetenv("BRIMTALE_HALL_ANALYSIS_HOST");
    unsetenv("BRIMTALE_PORTAL_ANALYSIS_HOST");
  }

  // Delivers HTTP events on this (the GUI) thread until `done` or the time limit.
  static bool DeliverUntil(const std::function<bool()>& done,
                           std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      theApp.OnIdle(0);
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  // Runs the main loop (so posted window messages arrive) until `done` or the time limit.
  static bool RunLoopUntil(const std::function<bool()>& done,
                           std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    std::atomic<bool> finished{false};
    // Keeps the loop turning when no event comes, so the time limit is seen.
    std::thread waker([&] {
      while (!finished) {
        platform::WakeMainLoop();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
    platform::RunMainLoopUntil([&] { return done() || std::chrono::steady_clock::now() > deadline; },
                               [] { theApp.OnIdle(0); });
    finished = true;
    waker.join();
    return done();
  }
};

TEST_F(StartupRequests, LoginAnalysisUrlCarriesPidOnlyWhenThatKeyIsPresent) {
  LoopbackServer server(
      [](const httplib::Request&, httplib::Response& response, int) { response.set_content("logged", "text/plain"); });
  setenv("BRIMTALE_HALL_ANALYSIS_HOST", server.Origin().c_str(), 1);
  setenv("BRIMTALE_PORTAL_ANALYSIS_HOST", server.Origin().c_str(), 1);
  struct Case {
    const char* arguments;
    std::vector<std::string> targets;  // what reaches the server before the marker
  };
  const Case cases[] = {
      {"ID=abc,PID=7", {"/startzelqgame.ashx?openid=abc&pid=7"}},
      {"ID=abc, PID=7", {"/startzelqgame.ashx?openid=abc"}},
      {"ID=abc,ID=def", {"/startzelqgame.ashx?openid=abc"}},
      {"PID=7", {}},
  };
  size_t seen = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    ASSERT_TRUE(ApplyStartArguments(theApp, std::string("/opt/launcher ") + c.arguments, "/opt/launcher"));
    // One worker serves the queue in order: once the marker is in, everything before it is too.
    theApp.RequestPortalUserLoginAnalysis("marker");
    ASSERT_TRUE(DeliverUntil([&] { return server.Targets().size() >= seen + c.targets.size() + 1; }));
    std::vector<std::string> targets = server.Targets();
    std::vector<std::string> expected = c.targets;
    expected.push_back("/api/startzelqgame.ashx?openid=marker");
    EXPECT_EQ(std::vector<std::string>(targets.begin() + static_cast<long>(seen), targets.end()), expected);
    seen = targets.size();
  }
}

TEST_F(StartupRequests, LoginAnalysisAnswersAreOnlyLoggedAndNeverRetried) {
  LoopbackServer server([](const httplib::Request& request, httplib::Response& response, int) {
    if (request.target.find("openid=gone") != std::string::npos) {
      response.status = 404;
      response.set_content("missing", "text/plain");
    } else {
      response.set_content("welcome", "text/plain");
    }
  });
  setenv("BRIMTALE_HALL_ANALYSIS_HOST", server.Origin().c_str(), 1);
  setenv("BRIMTALE_PORTAL_ANALYSIS_HOST", server.Origin().c_str(), 1);
  std::string hall = server.Origin() + "/startzelqgame.ashx?openid=gone&pid=3";
  std::string portal = server.Origin() + "/api/startzelqgame.ashx?openid=u7";
  size_t mark = testing_support::TestLogMessages().size();
  ASSERT_TRUE(ApplyStartArguments(theApp, "/opt/launcher ID=gone,PID=3", "/opt/launcher"));
  theApp.RequestPortalUserLoginAnalysis("u7");
  ASSERT_TRUE(DeliverUntil([&] { return !LoggedSince(mark, "qx2v UserLoginAnalysisData").empty(); }));
  DeliverUntil([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_EQ(LoggedSince(mark, "QQ UserLoginAnalysis"),
            (Messages{"QQ UserLoginAnalysis: 1, " + hall, "QQ UserLoginAnalysisData: missing"}));
  EXPECT_EQ(LoggedSince(mark, "qx2v UserLoginAnalysis"),
            (Messages{"qx2v UserLoginAnalysis: 0, " + portal, "qx2v UserLoginAnalysisData: welcome"}));
  EXPECT_EQ(server.Targets().size(), 2u);
}

TEST_F(StartupRequests, MovieUrlAnswerIsStoredUnchangedWithoutAMainWindow) {
  LoopbackServer server([](const httplib::Request&, httplib::Response& response, int) {
    response.set_content(" http://movies.example/client.swf\r\n", "text/plain");
  });
  theApp.m_config.GetSwfUrl = server.Origin() + "/GetSwfUrl.html";
  theApp.RequestSwfUrl();
  ASSERT_TRUE(DeliverUntil([] { return !theApp.m_config.ResolvedSwfUrl.empty(); }));
  EXPECT_EQ(theApp.m_config.ResolvedSwfUrl, " http://movies.example/client.swf\r\n");
  EXPECT_EQ(server.Targets(), std::vector<std::string>{"/GetSwfUrl.html"});
}

TEST_F(StartupRequests, FailingMovieUrlQueryIsRepeatedAfterGrowingPausesUntilItSucceeds) {
  LoopbackServer server([](const httplib::Request&, httplib::Response& response, int hit) {
    if (hit <= 3) {
      response.status = hit == 2 ? 404 : 503;
      response.set_content("not yet", "text/plain");
    } else {
      response.set_content("http://movies.example/late.swf", "text/plain");
    }
  });
  std::string url = server.Origin() + "/GetSwfUrl.html?v=1";
  theApp.m_config.GetSwfUrl = url;
  size_t mark = testing_support::TestLogMessages().size();
  theApp.RequestSwfUrl();
  ASSERT_TRUE(RunLoopUntil([] { return !theApp.m_config.ResolvedSwfUrl.empty(); }));
  EXPECT_EQ(theApp.m_config.ResolvedSwfUrl, "http://movies.example/late.swf");
  // A success ends the repetition.
  RunLoopUntil([] { return false; }, std::chrono::milliseconds(400));
  EXPECT_EQ(server.Count("/GetSwfUrl.html?v=1"), 4u);
  EXPECT_EQ(LoggedSince(mark, "GetSwfUrl: "),
            (Messages{"GetSwfUrl: 1, " + url, "GetSwfUrl: 1, " + url, "GetSwfUrl: 1, " + url, "GetSwfUrl: 0, " + url}));
  // Each pause is 1 s, then 2 s, then 4 s, each less up to half by chance.
  Messages pauses = LoggedSince(mark, "GetSwfUrl retry in ");
  ASSERT_EQ(pauses.size(), 3u);
  for (size_t i = 0; i < pauses.size(); ++i) {
    int ms = std::stoi(pauses[i].substr(std::string("GetSwfUrl retry in ").size()));
    EXPECT_GE(ms, 500 << i);
    EXPECT_LE(ms, 1000 << i);
  }
}

TEST_F(StartupRequests, MovieUrlAnswerIsAnnouncedToAnExistingMainWindow) {
  platform::InitGui();
  static const WindowClassInfo kClass{"HallTestMainWindow", nullptr, nullptr, 0};
  uint32_t atom = RegisterWindowClass(&kClass);
  ASSERT_NE(atom, 0u);
  for (const char* body : {"http://movies.example/client.swf", ""}) {
    SCOPED_TRACE(body);
    LoopbackServer server([body](const httplib::Request&, httplib::Response& response, int) {
      response.set_content(body, "text/plain");
    });
    HWND window = CreateWindowEx(0, atom, "main", WS_POPUP, 0, 0, 50, 50, nullptr);
    ASSERT_NE(window, nullptr);
    RecordingMainWindow mainWindow;
    ASSERT_TRUE(mainWindow.SubclassWindow(window));
    theApp.m_pMainWnd = &mainWindow;
    theApp.m_config.ResolvedSwfUrl = "stale";
    theApp.m_config.GetSwfUrl = server.Origin() + "/swf";
    theApp.RequestSwfUrl();
    ASSERT_TRUE(RunLoopUntil([&] { return mainWindow.swfUrlReady > 0; }));
    EXPECT_EQ(theApp.m_config.ResolvedSwfUrl, body);  // an empty answer is stored as it is
    // One answer, one announcement; an empty one asks no further.
    RunLoopUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(mainWindow.swfUrlReady, 1);
    EXPECT_EQ(server.Count("/swf"), 1u);
    theApp.m_pMainWnd = nullptr;
    DestroyWindow(window);
  }
}

}  // namespace
