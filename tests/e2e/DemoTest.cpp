// The demo as a player meets it: the real patch server on loopback, the real launcher of type 3
// showing the demo's login page, the real player playing the demo movie, which patches the game
// into the player's data folder and starts it. The test signs in through the page with xdotool,
// watches the server's request log and the launcher's log, checks the installed files against
// the server's manifest and keeps screenshots under <build>/artifacts.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "commands/Md5.h"
#include "support/LoopbackHttpServer.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::FindProgram;
using testing_support::LauncherSandbox;
using testing_support::PathExists;
using testing_support::ProcessOptions;
using testing_support::ReadFile;
using testing_support::RunProcess;
using testing_support::SplitLines;
using testing_support::TempDir;
using testing_support::WriteFile;

const std::string kSite = BRIMTALE_DEMO_SITE;

template <class Predicate>
bool WaitUntil(Predicate predicate, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (predicate()) return true;
    std::this_thread::sleep_for(100ms);
  }
  return predicate();
}

struct ManifestEntry {
  std::string name;
  size_t size = 0;
  std::string md5;
  bool packed = false;
};

std::vector<ManifestEntry> ReadManifest() {
  std::vector<ManifestEntry> entries;
  for (const std::string& line : SplitLines(ReadFile(kSite + "/manifest.txt"))) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    ManifestEntry entry;
    std::string packing;
    fields >> entry.name >> entry.size >> entry.md5 >> packing;
    entry.packed = packing == "qlz";
    entries.push_back(entry);
  }
  return entries;
}

// The path a listed file is served at: compressed ones with ".qlz".
std::string ServedPath(const std::string& name) {
  for (const ManifestEntry& entry : ReadManifest())
    if (entry.name == name) return "/files/" + name + (entry.packed ? ".qlz" : "");
  return "/files/" + name + " (not listed)";
}

// The request lines of a patch that fetches the listed files in the manifest's order, up to and
// without `stopAt`; `failing` answers 503 `failures` times before it is served.
std::vector<std::string> PatchRequests(const std::string& failing = "", int failures = 0, const std::string& stopAt = "") {
  std::vector<std::string> lines;
  for (const ManifestEntry& entry : ReadManifest()) {
    if (entry.name == stopAt) break;
    const std::string path = ServedPath(entry.name);
    for (int i = 0; entry.name == failing && i < failures; ++i) lines.push_back("GET " + path + " 503");
    lines.push_back("GET " + path + " 200");
  }
  return lines;
}

std::string Md5OfFile(const std::string& path) {
  const std::string bytes = ReadFile(path);
  return FormatMd5Digest(Md5Of({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}));
}

std::string Xdotool(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{FindProgram("xdotool")};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return RunProcess(argv).output;
}

// The id of a mapped top-level window named exactly `caption`.
std::optional<std::string> FindMappedWindow(const std::string& caption) {
  std::smatch match;
  const std::string ids = Xdotool({"search", "--onlyvisible", "--name", "^" + caption + "$"});
  if (std::regex_search(ids, match, std::regex(R"((\d+))"))) return match[1].str();
  return std::nullopt;
}

// Upper-left corner and size of a window on the screen.
struct Geometry {
  int x = 0, y = 0, width = 0, height = 0;
};
Geometry WindowGeometry(const std::string& id) {
  const std::string info = RunProcess({FindProgram("xwininfo"), "-id", id}).output;
  auto field = [&](const std::string& label) {
    std::smatch match;
    return std::regex_search(info, match, std::regex(label + R"(\s*(-?\d+))")) ? std::stoi(match[1]) : -1;
  };
  return {field("Absolute upper-left X:"), field("Absolute upper-left Y:"), field("Width:"), field("Height:")};
}

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

class Demo : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "needs an X display";
    ASSERT_TRUE(PathExists(kSite + "/DemoMovie.swf")) << "the demo's site is not built";
  }
  void TearDown() override {
    EndGame();
    m_launcher.reset();
  }

  std::string GameDir() const { return m_sandbox.Home() + "/.local/share/Brimtale/game"; }
  std::string MarkerPath() const { return m_sandbox.dir() / "game-started.txt"; }

  // Starts the launcher with the demo's configuration, pointed at `server`; with `user`, the login
  // page signs in by itself (its own hook), else the test has to sign in through the page.
  void StartLauncher(const PatchServer& server, const std::string& user = "") {
    std::string config = ReadFile(std::string(BRIMTALE_SOURCE_DIR) + "/demo/config.txt");
    const std::string address = "127.0.0.1:" + std::to_string(server.port());
    config = std::regex_replace(config, std::regex("127\\.0\\.0\\.1:8080/login\\.html"),
                                address + "/login.html" + (user.empty() ? "" : "?user=" + user));
    config = std::regex_replace(config, std::regex("127\\.0\\.0\\.1:8080"), address);
    m_sandbox.WriteConfig(config);
    std::filesystem::remove(MarkerPath());
    ProcessOptions options = m_sandbox.Options();
    options.environment["XDG_DATA_HOME"] = m_sandbox.Home() + "/.local/share";
    options.environment["BRIMTALE_PORTAL_ANALYSIS_HOST"] = server.Url();
    options.environment["BRIMTALE_DEMO_GAME_MARKER"] = MarkerPath();
    options.timeout = 180s;
    m_launcher = std::make_unique<ChildProcess>(std::vector<std::string>{m_sandbox.Executable()}, options);
  }

  // The game's marker once the game has shown its window: pid, cwd and user lines.
  std::optional<std::string> WaitForGame(std::chrono::milliseconds budget = 120s) {
    if (!WaitUntil([&] { return PathExists(MarkerPath()) || !m_launcher->IsRunning(); }, budget)) return std::nullopt;
    if (!PathExists(MarkerPath())) return std::nullopt;
    const std::string marker = ReadFile(MarkerPath());
    std::smatch match;
    if (std::regex_search(marker, match, std::regex(R"(pid=(\d+))"))) m_gamePid = std::stoi(match[1]);
    return marker;
  }

  // Ends the game as its player would; the launcher, waiting on it, ends with it.
  void EndGame() {
    if (m_gamePid > 0) kill(m_gamePid, SIGTERM);
    m_gamePid = 0;
  }

  bool Logged(const std::string& message) const {
    auto messages = m_sandbox.LogMessages();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
  }

  // The requests for game files among the server's requests from `from` on.
  static std::vector<std::string> FileRequests(const PatchServer& server, size_t from = 0) {
    std::vector<std::string> files;
    auto lines = server.Requests();
    for (size_t i = from; i < lines.size(); ++i)
      if (lines[i].rfind("GET /files/", 0) == 0) files.push_back(lines[i]);
    return files;
  }

  void ExpectInstalledAsListed() {
    for (const ManifestEntry& entry : ReadManifest()) {
      const std::string path = GameDir() + "/" + entry.name;
      ASSERT_TRUE(PathExists(path)) << entry.name;
      EXPECT_EQ(std::filesystem::file_size(path), entry.size) << entry.name;
      EXPECT_EQ(Md5OfFile(path), entry.md5) << entry.name;
      EXPECT_FALSE(PathExists(path + ".qlz")) << "the compressed copy of " << entry.name << " was left behind";
    }
  }

  void SaveScreenshot(const std::string& name) {
    const std::string folder = std::string(BRIMTALE_BINARY_DIR) + "/artifacts";
    std::filesystem::create_directories(folder);
    RunProcess({FindProgram("import"), "-window", "root", folder + "/Demo." + name + ".png"});
  }

  // A whole run that signs in by the page's hook and ends the game once it runs.
  void RunToTheGame(const PatchServer& server) {
    StartLauncher(server, "repeat");
    ASSERT_TRUE(WaitForGame()) << m_sandbox.Log();
    EndGame();
    const auto result = m_launcher->Wait();
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
  }

  LauncherSandbox m_sandbox;
  std::unique_ptr<ChildProcess> m_launcher;
  int m_gamePid = 0;
};

TEST_F(Demo, SignsInPatchesAndStartsTheGameThenFindsEverythingCurrent) {
  // The first request for the launch script fails: the movie asks once more.
  PatchServer server({"--fail-once", ServedPath("start.sh")});
  ASSERT_GT(server.port(), 0);
  StartLauncher(server);

  // The login page: a borderless 480 x 360 window in the screen's middle.
  std::optional<std::string> dialog;
  ASSERT_TRUE(WaitUntil([&] { return (dialog = FindMappedWindow("Brimtale Demo")).has_value() &&
                                     WindowGeometry(*dialog).width == 480; }, 60s))
      << m_sandbox.Log();
  const Geometry at = WindowGeometry(*dialog);
  EXPECT_EQ(at.x, (1920 - 480) / 2);
  EXPECT_EQ(at.y, (1080 - 360) / 2);
  std::this_thread::sleep_for(1s);  // the page's first paint
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
  StartLauncher(server, "ada_1");
  ASSERT_TRUE(WaitForGame()) << m_sandbox.Log();
  SaveScreenshot("4-second-run");
  EXPECT_TRUE(FileRequests(server, before).empty());
  EXPECT_TRUE(Logged("FlashLog: demo: Everything is up to date - Starting Brimtale"));
  ExpectInstalledAsListed();
}

TEST_F(Demo, TheLoginPageMovesRefusesAnUnusableNameAndClosesTheLauncher) {
  PatchServer server;
  ASSERT_GT(server.port(), 0);
  StartLauncher(server);
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

  // A name with a blank is refused on the page: no token reaches the launcher.
  Xdotool({"mousemove", "--sync", std::to_string(at.x + 240), std::to_string(at.y + 150), "click", "1"});
  Xdotool({"type", "--delay", "30", "two words"});
  Xdotool({"mousemove", "--sync", std::to_string(at.x + 240), std::to_string(at.y + 226), "click", "1"});
  std::this_thread::sleep_for(1500ms);
  SaveScreenshot("login-refused");
  EXPECT_TRUE(FindMappedWindow("Brimtale Demo").has_value());
  EXPECT_FALSE(server.Requested("GET /api/startzelqgame.ashx 200"));
  EXPECT_FALSE(server.Requested("GET /DemoMovie.swf 200"));

  // The close button ends the launcher before anything is patched.
  Xdotool({"mousemove", "--sync", std::to_string(at.x + 442), std::to_string(at.y + 34), "click", "1"});
  EXPECT_TRUE(WaitUntil([&] { return !m_launcher->IsRunning(); }, 15s));
  EXPECT_FALSE(server.Requested("GET /manifest.txt 200"));
  EXPECT_FALSE(PathExists(GameDir()));
}

TEST_F(Demo, RepairsOnlyTheFileThatWasDamaged) {
  PatchServer server;
  ASSERT_GT(server.port(), 0);
  RunToTheGame(server);
  ExpectInstalledAsListed();

  // One byte of the unpacked world map changes; the other files stay as installed.
  {
    std::fstream world(GameDir() + "/data/world.dat", std::ios::in | std::ios::out | std::ios::binary);
    world.seekp(4096);
    world.put('!');
  }
  ASSERT_NE(Md5OfFile(GameDir() + "/data/world.dat"), ReadManifest().back().md5);

  const size_t before = server.Requests().size();
  RunToTheGame(server);
  const std::vector<std::string> expected{"GET " + ServedPath("data/world.dat") + " 200"};
  EXPECT_EQ(FileRequests(server, before), expected);
  ExpectInstalledAsListed();
}

TEST_F(Demo, AMissingFileIsFetchedAgain) {
  PatchServer server;
  ASSERT_GT(server.port(), 0);
  RunToTheGame(server);
  std::filesystem::remove(GameDir() + "/readme.txt");

  const size_t before = server.Requests().size();
  RunToTheGame(server);
  const std::vector<std::string> expected{"GET " + ServedPath("readme.txt") + " 200"};
  EXPECT_EQ(FileRequests(server, before), expected);
  ExpectInstalledAsListed();
}

TEST_F(Demo, ADownloadThatFailsTwiceStopsThePatchWithoutStartingTheGame) {
  PatchServer server({"--fail-once", ServedPath("readme.txt"), "--fail-once", ServedPath("readme.txt")});
  ASSERT_GT(server.port(), 0);
  StartLauncher(server, "unlucky");

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

}  // namespace
