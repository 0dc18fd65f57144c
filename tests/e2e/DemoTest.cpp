// The demo as a player meets it (DemoRun.h) against the demo's own patch server: the test signs
// in through the page with xdotool, watches the server's request log and the launcher's log, and
// checks the installed files against the server's manifest.
#include "DemoRun.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/LoopbackHttpServer.h"
#include "support/TestSupport.h"

namespace {

using namespace demo_testing;
using testing_support::TempDir;
using testing_support::WriteFile;

// The demo's patch server as a real process on a free port, with its request log.
class PatchServer {
 public:
  explicit PatchServer(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv{BRIMTALE_DEMO_SERVER_PATH, "--site", kSite, "--port-file", m_dir / "port",
                                  "--log", RequestLogPath(), "--rate", "1000000"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    ProcessOptions options;
    options.timeout = 600s;
    m_process = std::make_unique<ChildProcess>(argv, options);
    if (WaitUntil([&] { return PathExists(m_dir / "port"); }, 10s)) m_port = std::atoi(ReadFile(m_dir / "port").c_str());
  }
  ~PatchServer() {
    kill(m_process->pid(), SIGTERM);
    m_process->Wait();
  }
  int port() const { return m_port; }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_port); }
  std::string RequestLogPath() const { return m_dir / "requests.log"; }
  std::vector<std::string> Requests() const {
    return PathExists(RequestLogPath()) ? SplitLines(ReadFile(RequestLogPath())) : std::vector<std::string>{};
  }
  bool Requested(const std::string& line) const {
    auto lines = Requests();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

 private:
  TempDir m_dir;
  std::unique_ptr<ChildProcess> m_process;
  int m_port = 0;
};

// The requests for game files among the server's requests from `from` on.
std::vector<std::string> FileRequests(const PatchServer& server, size_t from = 0) {
  return GameFileRequests(server.Requests(), from);
}

using Demo = DemoRun;

TEST_F(Demo, SignsInPatchesAndStartsTheGameThenFindsEverythingCurrent) {
  // The first request for the launch script fails: the movie asks once more.
  PatchServer server({"--fail-once", ServedPath("start.sh")});
  ASSERT_GT(server.port(), 0);
  StartLauncher(server.port());

  // The login page: a borderless 480 x 360 window in the screen's middle.
  std::optional<std::string> dialog;
  ASSERT_TRUE(WaitUntil([&] { return (dialog = FindMappedWindow("Brimtale Demo")).has_value() &&
                                     WindowGeometry(*dialog).width == 480; }, 60s))
      << m_sandbox.Log();
  const Geometry at = WindowGeometry(*dialog);
  EXPECT_EQ(at.x, (1920 - 480) / 2);
  EXPECT_EQ(at.y, (1080 - 360) / 2);
  std::this_thread::sleep_for(1s);  // the page's first paint
  Xdotool({"windowfocus", "--sync", *dialog});  // the keys go nowhere before the focus arrives
  Xdotool({"mousemove", "--sync", std::to_string(at.x + 240), std::to_string(at.y + 150), "click", "1"});
  Xdotool({"type", "--delay", "30", "ada_1"});
  SaveScreenshot("1-login");
  Xdotool({"mousemove", "--sync", std::to_string(at.x + 240), std::to_string(at.y + 226)});
  std::this_thread::sleep_for(300ms);
  Xdotool({"click", "1"});

  // The patch: the big file comes slowly enough to be seen on its way.
  ASSERT_TRUE(WaitUntil([&] { return server.Requested("GET " + ServedPath("data/world.dat") + " 200"); }, 90s))
      << m_sandbox.Log();
  std::this_thread::sleep_for(1200ms);
  SaveScreenshot("2-patching");

  const auto marker = WaitForGame();
  ASSERT_TRUE(marker) << m_sandbox.Log();
  EXPECT_NE(marker->find("user=ada_1\n"), std::string::npos) << *marker;
  EXPECT_NE(marker->find("cwd=" + GameDir() + "\n"), std::string::npos) << *marker;
  EXPECT_TRUE(WaitUntil([] { return FindMappedWindow("Brimtale").has_value(); }, 10s));
  SaveScreenshot("3-game");
  ExpectInstalledAsListed();

  // The login reached the portal's report with the page's user id.
  EXPECT_TRUE(server.Requested("GET /api/startzelqgame.ashx 200"));
  // The failed download was asked for again, once, and every other file exactly once.
  EXPECT_EQ(FileRequests(server), PatchRequests("start.sh", 1));
  EXPECT_TRUE(Logged("FlashLog: demo: retrying start.sh: the download failed"));

  // The launcher hid itself and waits for the game; it ends with it.
  EXPECT_TRUE(m_launcher->IsRunning());
  EndGame();
  auto result = m_launcher->Wait();
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.exitStatus, 0);

  // A second run finds everything current: no file is fetched, the game starts at once.
  const size_t before = server.Requests().size();
  StartLauncher(server.port(), "ada_1");
  ASSERT_TRUE(WaitForGame()) << m_sandbox.Log();
  SaveScreenshot("4-second-run");
  EXPECT_TRUE(FileRequests(server, before).empty());
  EXPECT_TRUE(Logged("FlashLog: demo: Everything is up to date - Starting Brimtale"));
  ExpectInstalledAsListed();
}

TEST_F(Demo, TheLoginPageMovesRefusesAnUnusableNameAndClosesTheLauncher) {
  PatchServer server;
  ASSERT_GT(server.port(), 0);
  StartLauncher(server.port());
  std::optional<std::string> dialog;
  ASSERT_TRUE(WaitUntil([&] { return (dialog = FindMappedWindow("Brimtale Demo")).has_value() &&
                                     WindowGeometry(*dialog).width == 480; }, 60s))
      << m_sandbox.Log();
  std::this_thread::sleep_for(1s);
  Geometry at = WindowGeometry(*dialog);

  // The title bar drags the borderless window.
  Xdotool({"mousemove", "--sync", std::to_string(at.x + 120), std::to_string(at.y + 34), "mousedown", "1"});
  std::this_thread::sleep_for(500ms);  // the move loop starts
  for (int step = 1; step <= 10; ++step) {
    Xdotool({"mousemove", std::to_string(at.x + 120 + step * 10), std::to_string(at.y + 34 + step * 8)});
    std::this_thread::sleep_for(30ms);
  }
  Xdotool({"mouseup", "1"});
  ASSERT_TRUE(WaitUntil([&] { return WindowGeometry(*dialog).x == at.x + 100; }, 5s)) << WindowGeometry(*dialog).x;
  at = WindowGeometry(*dialog);
  EXPECT_EQ(at.y, (1080 - 360) / 2 + 80);

  // A name with a blank is refused on the page: no token reaches the launcher. The keys go to the
  // window once it has the focus (no window manager gives it here): a key sent before went nowhere,
  // and what was left of the name could be a good one.
  Xdotool({"windowfocus", "--sync", *dialog});
  Xdotool({"mousemove", "--sync", std::to_string(at.x + 240), std::to_string(at.y + 150), "click", "1"});
  Xdotool({"type", "--delay", "30", "two words"});
  Xdotool({"mousemove", "--sync", std::to_string(at.x + 240), std::to_string(at.y + 226), "click", "1"});
  std::this_thread::sleep_for(1500ms);
  SaveScreenshot("login-refused");
  EXPECT_TRUE(FindMappedWindow("Brimtale Demo").has_value());
  EXPECT_FALSE(server.Requested("GET /api/startzelqgame.ashx 200"));
  // The game's movie may be fetched and held behind the login, but it has not run.
  EXPECT_EQ(m_sandbox.Log().find("DispatchFSCommand:"), std::string::npos) << m_sandbox.Log();

  // The close button ends the launcher before anything is patched.
  Xdotool({"mousemove", "--sync", std::to_string(at.x + 442), std::to_string(at.y + 34), "click", "1"});
  EXPECT_TRUE(WaitUntil([&] { return !m_launcher->IsRunning(); }, 15s));
  EXPECT_FALSE(server.Requested("GET /manifest.txt 200"));
  EXPECT_FALSE(PathExists(GameDir()));
}

TEST_F(Demo, RepairsOnlyTheFileThatWasDamaged) {
  PatchServer server;
  ASSERT_GT(server.port(), 0);
  RunToTheGame(server.port());
  ExpectInstalledAsListed();

  // One byte of the unpacked world map changes; the other files stay as installed.
  {
    std::fstream world(GameDir() + "/data/world.dat", std::ios::in | std::ios::out | std::ios::binary);
    world.seekp(4096);
    world.put('!');
  }
  ASSERT_NE(Md5OfFile(GameDir() + "/data/world.dat"), ReadManifest().back().md5);

  const size_t before = server.Requests().size();
  RunToTheGame(server.port());
  const std::vector<std::string> expected{"GET " + ServedPath("data/world.dat") + " 200"};
  EXPECT_EQ(FileRequests(server, before), expected);
  ExpectInstalledAsListed();
}

TEST_F(Demo, AMissingFileIsFetchedAgain) {
  PatchServer server;
  ASSERT_GT(server.port(), 0);
  RunToTheGame(server.port());
  std::filesystem::remove(GameDir() + "/readme.txt");

  const size_t before = server.Requests().size();
  RunToTheGame(server.port());
  const std::vector<std::string> expected{"GET " + ServedPath("readme.txt") + " 200"};
  EXPECT_EQ(FileRequests(server, before), expected);
  ExpectInstalledAsListed();
}

TEST_F(Demo, ADownloadCutOffHalfWayResumesInTheNextRun) {
  // The world map (2.6 MB served) comes at 100 kB/s: the launcher ends while it arrives, as a
  // player closing it would.
  PatchServer server({"--rate", "100000"});
  ASSERT_GT(server.port(), 0);
  StartLauncher(server.port(), "cut");
  auto partialBytes = [&] {
    std::error_code error;
    uintmax_t bytes = 0;
    for (auto it = std::filesystem::recursive_directory_iterator(GameDir(), error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error))
      if (it->path().filename().string().ends_with(".partial")) bytes = std::max(bytes, it->file_size(error));
    return bytes;
  };
  ASSERT_TRUE(WaitUntil([&] { return partialBytes() > 50000; }, testing_support::kMovieStartBudget)) << m_sandbox.Log();
  kill(m_launcher->pid(), SIGKILL);
  m_launcher->Wait();

  // The map's rest comes as a range; the files after it in the manifest come whole.
  std::vector<std::string> expected;
  bool cut = false;
  for (const ManifestEntry& entry : ReadManifest()) {
    cut = cut || entry.name == "data/world.dat";
    if (cut) expected.push_back("GET " + ServedPath(entry.name) + (entry.name == "data/world.dat" ? " 206" : " 200"));
  }
  const size_t before = server.Requests().size();
  RunToTheGame(server.port());
  EXPECT_EQ(FileRequests(server, before), expected);
  ExpectInstalledAsListed();
}

TEST_F(Demo, ADownloadThatFailsTwiceStopsThePatchWithoutStartingTheGame) {
  PatchServer server({"--fail-once", ServedPath("readme.txt"), "--fail-once", ServedPath("readme.txt")});
  ASSERT_GT(server.port(), 0);
  StartLauncher(server.port(), "unlucky");

  ASSERT_TRUE(WaitUntil([&] { return Logged("FlashLog: demo: Patching failed - readme.txt: the download failed twice"); },
                        90s))
      << m_sandbox.Log();
  std::this_thread::sleep_for(1s);  // the movie's next frames show the failure
  SaveScreenshot("failed-patch");
  // Nothing after the failed file is fetched, and the game is not started.
  std::vector<std::string> expected = PatchRequests("", 0, "readme.txt");
  expected.insert(expected.end(), 2, "GET " + ServedPath("readme.txt") + " 503");
  EXPECT_EQ(FileRequests(server), expected);
  EXPECT_FALSE(PathExists(MarkerPath()));
  EXPECT_TRUE(m_launcher->IsRunning()) << "the movie stays to show what failed";
}

}  // namespace

namespace {

// The patch server alone, asked as any HTTP client would.
// After a first full run the server goes away: the login page cannot be loaded, the player
// chooses to play offline, the kept movie plays, finds no server, checks the installed game
// against its record and starts it, saying on screen that it runs offline.
TEST_F(Demo, StartsTheInstalledGameOfflineWhenItsServerIsGone) {
  int port = 0;
  {
    PatchServer server;
    ASSERT_GT(server.port(), 0);
    port = server.port();
    RunToTheGame(port);
  }
  ASSERT_TRUE(PathExists(m_sandbox.Home() + "/.local/share/Brimtale/patch/installed.txt"));
  const std::string movie = "http://127.0.0.1:" + std::to_string(port) + "/DemoMovie.swf?server=";
  auto logs = [&](const std::string& prefix, const std::string& suffix = "") {
    for (const std::string& line : m_sandbox.LogMessages())
      if (line.rfind(prefix, 0) == 0 && line.ends_with(suffix)) return true;
    return false;
  };
  ASSERT_TRUE(logs("LoadSwf: kept " + movie, " for an offline start")) << m_sandbox.Log();

  StartLauncher(port);
  std::string shown;
  ASSERT_TRUE(WaitUntil([&] {
    m_launcher->IsRunning();
    const std::string& output = m_launcher->output();
    size_t at = output.find("Failure page: ");
    if (at == std::string::npos || output.find('\n', at) == std::string::npos) return false;
    shown = output.substr(at, output.find('\n', at) - at);
    return true;
  }, testing_support::kMovieStartBudget)) << m_launcher->output();
  EXPECT_EQ(shown.rfind("Failure page: The login page cannot be loaded | http://127.0.0.1:" + std::to_string(port) + "/login.html", 0), 0u) << shown;
  EXPECT_NE(shown.find("| Play offline | Try again | Quit"), std::string::npos) << shown;
  std::optional<std::string> dialog;
  ASSERT_TRUE(WaitUntil([&] { return (dialog = FindMappedWindow("Brimtale Demo")).has_value() &&
                                     WindowGeometry(*dialog).width == 600; }, 30s));
  std::this_thread::sleep_for(700ms);
  SaveScreenshot("5-offline-login-failure");
  // Play offline has the focus.
  Xdotool({"windowfocus", "--sync", *dialog, "sleep", "0.3", "key", "Return"});

  const std::string offline = "FlashLog: demo: Offline: starting the installed game - The patch server cannot be reached; "
                              "Brimtale starts as it is installed";
  ASSERT_TRUE(WaitUntil([&] { return Logged(offline) || !m_launcher->IsRunning(); }, testing_support::kMovieStartBudget))
      << m_sandbox.Log();
  ASSERT_TRUE(Logged(offline)) << m_sandbox.Log();
  std::this_thread::sleep_for(300ms);  // the frame that shows it
  SaveScreenshot("6-offline-start");
  EXPECT_TRUE(Logged("LoginDlg: the player plays offline"));
  EXPECT_TRUE(logs("LoadSwf: the player chose to play offline; playing the offline copy of " + movie)) << m_sandbox.Log();
  ASSERT_TRUE(WaitForGame()) << m_sandbox.Log();
  ExpectInstalledAsListed();
  EndGame();
  auto result = m_launcher->Wait();
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.exitStatus, 0);
}

TEST(DemoPatchServer, ServesItsSiteAndNothingElse) {
  PatchServer server({"--fail-once", "/manifest.txt"});
  ASSERT_GT(server.port(), 0);
  httplib::Client client("127.0.0.1", server.port());

  // The movie URL answer carries the server's own address for the movie.
  auto answer = client.Get("/GetSwfUrl");
  ASSERT_TRUE(answer);
  const std::string port = std::to_string(server.port());
  EXPECT_EQ(answer->body, "http://127.0.0.1:" + port + "/DemoMovie.swf?server=http%3A%2F%2F127.0.0.1%3A" + port);

  // A --fail-once path fails once, then is served whole.
  auto first = client.Get("/manifest.txt");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->status, 503);
  auto second = client.Get("/manifest.txt");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->status, 200);
  EXPECT_EQ(second->body, ReadFile(kSite + "/manifest.txt"));

  // Nothing outside the site folder, plainly or escaped, and no hidden files.
  WriteFile(kSite + "/../outside.txt", "secret");
  for (const std::string path : {"/../outside.txt", "/files/../../outside.txt", "/%2e%2e/outside.txt",
                                 "/files/%2E%2E/%2E%2E/outside.txt", "/.hidden", "/files", "/"}) {
    auto refused = client.Get(path);
    ASSERT_TRUE(refused) << path;
    EXPECT_EQ(refused->status, 404) << path;
    EXPECT_EQ(refused->body.find("secret"), std::string::npos) << path;
  }
  std::filesystem::remove(kSite + "/../outside.txt");
  EXPECT_TRUE(server.Requested("GET /manifest.txt 503"));
}

TEST(DemoPatchServer, SendsValidatorsAndAnswersARangeOnlyForTheFileAsItIs) {
  PatchServer server;
  ASSERT_GT(server.port(), 0);
  httplib::Client client("127.0.0.1", server.port());
  // Served from memory and through the paced sender alike.
  for (const std::string& path : {std::string("/manifest.txt"), ServedPath("readme.txt")}) {
    SCOPED_TRACE(path);
    const std::string whole = ReadFile(kSite + path);
    auto plain = client.Get(path);
    ASSERT_TRUE(plain);
    const std::string etag = plain->get_header_value("ETag");
    const std::string date = plain->get_header_value("Last-Modified");
    ASSERT_EQ(etag.front(), '"');
    ASSERT_TRUE(date.ends_with(" GMT")) << date;
    struct {
      const char* name;
      std::string ifRange;  // empty: none sent
      bool ranged;
    } cases[] = {
        {"without If-Range", "", true},
        {"the file's entity tag", etag, true},
        {"the file's date", date, true},
        {"another entity tag", "\"0-0\"", false},
        {"a weak tag never matches", "W/" + etag, false},
        {"another date", "Thu, 01 Jan 1970 00:00:00 GMT", false},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      httplib::Headers headers{{"Range", "bytes=10-"}};
      if (!c.ifRange.empty()) headers.emplace("If-Range", c.ifRange);
      auto answer = client.Get(path.c_str(), headers);
      ASSERT_TRUE(answer);
      EXPECT_EQ(answer->status, c.ranged ? 206 : 200);
      EXPECT_EQ(answer->body, c.ranged ? whole.substr(10) : whole);
      EXPECT_EQ(answer->get_header_value("ETag"), etag);
      EXPECT_EQ(server.Requests().back(), "GET " + path + (c.ranged ? " 206" : " 200"));
    }
  }
}

TEST(DemoPatchServer, APreferredPortIsTakenWhenFreeElseAnother) {
  int preferred = 0;
  {
    PatchServer first;
    ASSERT_GT(first.port(), 0);
    preferred = first.port();
    PatchServer second({"--prefer-port", std::to_string(preferred)});
    EXPECT_GT(second.port(), 0);
    EXPECT_NE(second.port(), preferred);
  }
  PatchServer again({"--prefer-port", std::to_string(preferred)});
  EXPECT_EQ(again.port(), preferred);
}

}  // namespace
