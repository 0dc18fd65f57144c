#pragma once
// The demo as a player meets it, for the end-to-end tests: the real launcher of type 3 with the
// demo's configuration pointed at a patch server on loopback, showing the demo's login page, the
// real player playing the demo movie, which patches the game into the player's data folder and
// starts it. Helpers to read a site's manifest, watch the launcher's log and the game, and check
// the installed files; screenshots go to <build>/artifacts.

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ops/Md5.h"
#include "support/LoopbackHttpServer.h"
#include "support/TestSupport.h"

namespace demo_testing {

using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::FindProgram;
using testing_support::LauncherSandbox;
using testing_support::PathExists;
using testing_support::ProcessOptions;
using testing_support::ReadFile;
using testing_support::RunProcess;
using testing_support::SplitLines;

inline const std::string kSite = BRIMTALE_DEMO_SITE;

template <class Predicate>
inline bool WaitUntil(Predicate predicate, std::chrono::milliseconds timeout) {
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
  std::string served;  // the path in the site
};

inline std::vector<ManifestEntry> ReadManifest(const std::string& site = kSite) {
  std::vector<ManifestEntry> entries;
  for (const std::string& line : SplitLines(ReadFile(site + "/manifest.txt"))) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    ManifestEntry entry;
    std::string packing, packedSize, packedMd5;
    fields >> entry.name >> entry.size >> entry.md5 >> packing >> packedSize >> packedMd5 >> entry.served;
    entry.packed = packing == "qlz";
    entries.push_back(entry);
  }
  return entries;
}

// The path a listed file is served at, as the manifest names it.
inline std::string ServedPath(const std::string& name, const std::string& site = kSite) {
  for (const ManifestEntry& entry : ReadManifest(site))
    if (entry.name == name) return "/" + entry.served;
  return "/files/" + name + " (not listed)";
}

// The request lines of a patch that fetches the listed files in the manifest's order, up to and
// without `stopAt`; `failing` answers 503 `failures` times before it is served.
inline std::vector<std::string> PatchRequests(const std::string& failing = "", int failures = 0,
                                              const std::string& stopAt = "", const std::string& site = kSite) {
  std::vector<std::string> lines;
  for (const ManifestEntry& entry : ReadManifest(site)) {
    if (entry.name == stopAt) break;
    const std::string path = ServedPath(entry.name, site);
    for (int i = 0; entry.name == failing && i < failures; ++i) lines.push_back("GET " + path + " 503");
    lines.push_back("GET " + path + " 200");
  }
  return lines;
}

// The requests for game files ("GET /files/...") among a server's request lines from `from` on.
inline std::vector<std::string> GameFileRequests(const std::vector<std::string>& lines, size_t from = 0) {
  std::vector<std::string> files;
  for (size_t i = from; i < lines.size(); ++i)
    if (lines[i].rfind("GET /files/", 0) == 0) files.push_back(lines[i]);
  return files;
}

inline std::string Md5OfFile(const std::string& path) {
  const std::string bytes = ReadFile(path);
  return FormatMd5Digest(Md5Of({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}));
}

inline std::string Xdotool(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{FindProgram("xdotool")};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return RunProcess(argv).output;
}

// The id of a mapped top-level window named exactly `caption`.
inline std::optional<std::string> FindMappedWindow(const std::string& caption) {
  std::smatch match;
  const std::string ids = Xdotool({"search", "--onlyvisible", "--name", "^" + caption + "$"});
  if (std::regex_search(ids, match, std::regex(R"((\d+))"))) return match[1].str();
  return std::nullopt;
}

// Upper-left corner and size of a window on the screen.
struct Geometry {
  int x = 0, y = 0, width = 0, height = 0;
};
inline Geometry WindowGeometry(const std::string& id) {
  const std::string info = RunProcess({FindProgram("xwininfo"), "-id", id}).output;
  auto field = [&](const std::string& label) {
    std::smatch match;
    return std::regex_search(info, match, std::regex(label + R"(\s*(-?\d+))")) ? std::stoi(match[1]) : -1;
  };
  return {field("Absolute upper-left X:"), field("Absolute upper-left Y:"), field("Width:"), field("Height:")};
}

class DemoRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "needs an X display";
    ASSERT_TRUE(PathExists(kSite + "/DemoMovie.swf")) << "the demo's site is not built";
  }
  void TearDown() override {
    EndGame();
    // What the launcher wrote besides its log (the page's console lines among it) tells why.
    if (HasFailure() && m_launcher) {
      m_launcher->IsRunning();
      std::cout << "The launcher's output:\n" << m_launcher->output() << std::endl;
    }
    m_launcher.reset();
  }

  std::string GameDir() const { return m_sandbox.Home() + "/.local/share/Brimtale/game"; }
  std::string MarkerPath() const { return m_sandbox.dir() / "game-started.txt"; }

  // Starts the launcher with the demo's configuration, pointed at the server on `port` of
  // 127.0.0.1; with `user`, the login page signs in by itself (its own hook), else the test has to
  // sign in through the page. `extraConfig` members are added to the configuration.
  void StartLauncher(int port, const std::string& user = "", const std::string& extraConfig = "") {
    std::string config = ReadFile(std::string(BRIMTALE_SOURCE_DIR) + "/demo/config.txt");
    const std::string address = "127.0.0.1:" + std::to_string(port);
    config = std::regex_replace(config, std::regex("127\\.0\\.0\\.1:8080/login\\.html"),
                                address + "/login.html" + (user.empty() ? "" : "?user=" + user));
    config = std::regex_replace(config, std::regex("127\\.0\\.0\\.1:8080"), address);
    if (!extraConfig.empty()) config.insert(config.find('{') + 1, extraConfig + ",");
    m_sandbox.WriteConfig(config);
    std::filesystem::remove(MarkerPath());
    m_runFrom = m_sandbox.LogMessages().size();
    ProcessOptions options = m_sandbox.Options();
    options.environment["XDG_DATA_HOME"] = m_sandbox.Home() + "/.local/share";
    options.environment["BRIMTALE_PORTAL_ANALYSIS_HOST"] = "http://" + address;
    options.environment["BRIMTALE_DEMO_GAME_MARKER"] = MarkerPath();
    // The page's console goes to the output a failed test prints: the player's own account of a
    // movie it could not play.
    options.environment["BRIMTALE_PLAYER_CONSOLE"] = "1";
    for (const auto& [name, value] : m_environment) options.environment[name] = value;
    options.timeout = 180s;
    m_launcher = std::make_unique<ChildProcess>(std::vector<std::string>{m_sandbox.Executable()}, options);
  }

  // The game's marker once the game has shown its window: pid, cwd and user lines. The budget
  // starts when the movie has started: start-up itself is slow on a busy machine.
  std::optional<std::string> WaitForGame(std::chrono::milliseconds budget = 120s) {
    auto ended = [&] { return PathExists(MarkerPath()) || !m_launcher->IsRunning(); };
    WaitUntil([&] { return ended() || testing_support::MovieHasStarted(MessagesOfThisRun()); },
              testing_support::kMovieStartBudget);
    if (!WaitUntil(ended, budget)) return std::nullopt;
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
  // The log's messages written by the latest run (the log keeps the runs before).
  std::vector<std::string> MessagesOfThisRun() const {
    const auto messages = m_sandbox.LogMessages();
    return {messages.begin() + std::min(m_runFrom, messages.size()), messages.end()};
  }
  // Whether a message from the `from`th on holds `text` (the log keeps the runs before).
  bool LoggedContaining(const std::string& text, size_t from = 0) const {
    auto messages = m_sandbox.LogMessages();
    return std::any_of(messages.begin() + std::min(from, messages.size()), messages.end(),
                       [&](const std::string& m) { return m.find(text) != std::string::npos; });
  }

  void ExpectInstalledAsListed(const std::string& site = kSite) {
    for (const ManifestEntry& entry : ReadManifest(site)) {
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
  void RunToTheGame(int port, const std::string& extraConfig = "") {
    StartLauncher(port, "repeat", extraConfig);
    ASSERT_TRUE(WaitForGame()) << m_sandbox.Log();
    EndGame();
    const auto result = m_launcher->Wait();
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
  }

  LauncherSandbox m_sandbox;
  std::unique_ptr<ChildProcess> m_launcher;
  std::map<std::string, std::string> m_environment;  // added to the launcher's
  int m_gamePid = 0;
  size_t m_runFrom = 0;  // the first of the log's messages written by the latest run
};

}  // namespace demo_testing
