// The demo movie patching from a real web server: nginx on loopback, with a configuration of its
// own, serving what brimtale-pack made of a game folder, as a CDN or any static server would. The
// demo's own patch server plays no part; nginx's access log shows what was fetched.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "DemoRun.h"
#include "SiteSigner.h"
#include "site/SiteState.h"
#include "support/NginxServer.h"
#include "support/TestSupport.h"

namespace {

using namespace demo_testing;
using testing_support::NginxServer;
using testing_support::TempDir;
using testing_support::WriteFile;

// What a site needs besides the packed files: the login page and the movie as types a browser
// takes, the movie URL answer (the server's own address as the movie's "server" parameter) and
// the portal's login report. Hidden files (the packer's record) are not served.
const std::string kSiteLines = R"(
    types { text/html html; text/css css; text/javascript js; application/x-shockwave-flash swf; text/plain txt; }
    location ~ /\. { deny all; }
    location = /GetSwfUrl {
      default_type text/plain;
      return 200 "http://$server_addr:$server_port/DemoMovie.swf?server=http%3A%2F%2F$server_addr%3A$server_port";
    }
    location /api/ { default_type text/plain; return 200 "ok"; }
)";

class NginxPatch : public DemoRun {
 protected:
  void SetUp() override {
    DemoRun::SetUp();
    std::filesystem::copy(BRIMTALE_DEMO_GAME_FOLDER, m_game, std::filesystem::copy_options::recursive);
    Pack();
    for (const char* page : {"login.html", "login.css", "login.js", "DemoMovie.swf"})
      std::filesystem::copy_file(kSite + "/" + page, m_site + "/" + page);
  }

  void Pack() {
    const auto result = RunProcess({BRIMTALE_PACK_PATH, m_game, m_site});
    ASSERT_TRUE(result.exited && result.exitStatus == 0) << result.output;
    m_packOutput = result.output;
  }

  std::string ServerLines(const std::string& more = "") const { return "root " + m_site + ";\n" + kSiteLines + more; }

  // The access log's lines for the packed files, from line `from` on: "METHOD URI STATUS ...".
  static std::vector<std::string> FileRequests(const NginxServer& server, size_t from = 0) {
    return GameFileRequests(server.AccessLog(), from);
  }

  // "GET PATH 200" for each of the manifest's files, in its order: the access log's lines cut
  // after the status.
  static std::vector<std::string> Statuses(const std::vector<std::string>& lines) {
    std::vector<std::string> cut;
    for (const std::string& line : lines) cut.push_back(line.substr(0, line.find(' ', line.find(' ', 4) + 1)));
    return cut;
  }

  TempDir m_dir;
  std::string m_game = m_dir / "game";
  std::string m_site = m_dir / "site";
  std::string m_packOutput;
};

TEST_F(NginxPatch, FreshInstallThenAnUpdateFetchesOnlyTheChangedFile) {
  NginxServer nginx(ServerLines());
  ASSERT_EQ(nginx.error(), "");
  RunToTheGame(nginx.port());
  ExpectInstalledAsListed(m_site);
  EXPECT_EQ(Statuses(FileRequests(nginx)), PatchRequests("", 0, "", m_site));
  const size_t fileCount = ReadManifest(m_site).size();
  ASSERT_GE(fileCount, 4u);

  // The game maker changes one file and publishes again: only that file is packed and fetched.
  WriteFile(m_game + "/readme.txt", "Brimtale, second edition.\n");
  Pack();
  EXPECT_NE(m_packOutput.find(std::to_string(fileCount) + " files listed, 1 packed, " + std::to_string(fileCount - 1) +
                              " unchanged"),
            std::string::npos)
      << m_packOutput;
  const size_t before = nginx.AccessLog().size();
  RunToTheGame(nginx.port());
  const std::vector<std::string> expected{"GET " + ServedPath("readme.txt", m_site) + " 200"};
  EXPECT_EQ(Statuses(FileRequests(nginx, before)), expected);
  ExpectInstalledAsListed(m_site);
  EXPECT_EQ(ReadFile(GameDir() + "/readme.txt"), "Brimtale, second edition.\n");
}

// Names of any script, and characters that a URL or a manifest line treats as special, reach the
// player's disk as they were packed: the movie reads the manifest as UTF-8 and asks for each
// served path percent-encoded.
TEST_F(NginxPatch, InstallsEveryNameAsItWasPacked) {
  const std::vector<std::string> names{"carte-é.txt", "q?x.txt", "100%.txt", "docs/#notes.txt", "地図/北の森.txt"};
  for (const std::string& name : names) WriteFile(m_game + "/" + name, "the content of " + name + "\n");
  Pack();
  NginxServer nginx(ServerLines());
  ASSERT_EQ(nginx.error(), "");
  RunToTheGame(nginx.port());
  ExpectInstalledAsListed(m_site);
  for (const std::string& name : names) EXPECT_EQ(ReadFile(GameDir() + "/" + name), "the content of " + name + "\n");
  for (const std::string& line : Statuses(FileRequests(nginx))) EXPECT_TRUE(line.ends_with(" 200")) << line;
}

// nginx stops in mid-file and comes back: the movie's second attempt asks only for the rest.
TEST_F(NginxPatch, ADownloadCutOffInMidFileIsResumed) {
  // A file that does not compress, so it is served as it is, and slowly.
  std::string music(3 << 20, '\0');
  std::mt19937 random(7);
  for (char& byte : music) byte = static_cast<char>(random());
  WriteFile(m_game + "/data/music.ogg", music);
  Pack();
  const std::string served = ServedPath("data/music.ogg", m_site);
  ASSERT_TRUE(served.starts_with("/files/data/music.ogg~") && !served.ends_with(".qlz")) << served;
  NginxServer nginx(ServerLines("    location = " + served + " { limit_rate 400k; }\n"));
  ASSERT_EQ(nginx.error(), "");

  StartLauncher(nginx.port(), "resumer");
  const std::string partial = GameDir() + "/data/.music.ogg.partial";
  auto partialBytes = [&] {
    std::error_code error;
    auto size = std::filesystem::file_size(partial, error);
    return error ? 0 : size;
  };
  ASSERT_TRUE(WaitUntil([&] { return partialBytes() >= (1u << 20) || !m_launcher->IsRunning(); },
                        testing_support::kMovieStartBudget))
      << m_sandbox.Log();
  ASSERT_TRUE(nginx.Restart()) << nginx.error();

  ASSERT_TRUE(WaitForGame()) << m_sandbox.Log();
  EXPECT_TRUE(Logged("FlashLog: demo: retrying data/music.ogg: the download failed")) << m_sandbox.Log();
  ExpectInstalledAsListed(m_site);
  // The second request asked for the rest and got it: a range from where the first one stopped.
  std::smatch match;
  bool resumed = false;
  for (const std::string& line : FileRequests(nginx)) {
    if (std::regex_match(line, match, std::regex("GET " + served + R"( 206 (\d+) bytes=(\d+)- HTTP/1.1)"))) {
      resumed = true;
      EXPECT_GE(std::stoul(match[2]), 1u << 20);
      EXPECT_EQ(std::stoul(match[1]) + std::stoul(match[2]), music.size());
    }
  }
  EXPECT_TRUE(resumed) << testing::PrintToString(nginx.AccessLog());
  EXPECT_FALSE(PathExists(partial));
  EndGame();
  EXPECT_TRUE(m_launcher->Wait().exited);
}

// A signed site (SiteUrl and SiteKey in config.txt) reached through an attacker in the middle: a
// second nginx that passes every request on to the site's own, except those a case names, which
// it answers with bytes of its own, as a compromised mirror or a network in the middle would.
class SignedSite : public NginxPatch {
 protected:
  void SetUp() override {
    NginxPatch::SetUp();
    const auto made = RunProcess({BRIMTALE_PACK_PATH, "keygen", m_key});
    ASSERT_TRUE(made.exited && made.exitStatus == 0) << made.output;
    m_publicKey = made.output.substr(0, made.output.find('\n'));
  }

  // Signs `site` as it stands with `key`, for the movie as the server on `port` answers for it.
  void Sign(int port, const std::string& site, const std::string& key) {
    const std::string query = "DemoMovie.swf=server=http%3A%2F%2F127.0.0.1%3A" + std::to_string(port);
    const auto result = RunProcess({BRIMTALE_PACK_PATH, "sign", "--key", key, "--movie-query", query, site});
    ASSERT_TRUE(result.exited && result.exitStatus == 0) << result.output;
  }
  void Sign(int port) { Sign(port, m_site, m_key); }

  std::string SiteConfig(int port) const {
    return "\"SiteUrl\": \"http://127.0.0.1:" + std::to_string(port) + "/\", \"SiteKey\": \"" + m_publicKey + "\"";
  }

  // The attacker's lines: the movie URL answer with its own address (so that everything comes
  // through it), its own answers (URI, file), and every other request passed on to `origin`.
  static std::string AttackerLines(const NginxServer& origin, const std::vector<std::pair<std::string, std::string>>& answers) {
    std::string lines = kSiteLines + "    location / { proxy_pass http://127.0.0.1:" + std::to_string(origin.port()) + "; }\n";
    for (const auto& [uri, file] : answers) lines += "    location = " + uri + " { alias " + file + "; }\n";
    return lines;
  }

  // A file of the attacker's own, holding `bytes`.
  std::string AttackerFile(const std::string& name, const std::string& bytes) {
    const std::string path = m_dir / ("attacker-" + name);
    WriteFile(path, bytes);
    return path;
  }

  // The state a start of the launcher leaves once it has accepted `index`.
  void AcceptedBefore(const std::string& index) {
    const std::optional<SiteIndex> read = ReadSiteIndexUnverified(index, nullptr);
    const std::optional<SitePublicKey> key = ParseSitePublicKey(m_publicKey);
    ASSERT_TRUE(read && key);
    const std::string path = SiteStatePath(m_sandbox.Home() + "/.local/state/brimtale", SiteKeyFingerprint(*key));
    ASSERT_TRUE(SaveSiteState(path, {read->version, std::time(nullptr), {*key}, index}));
  }

  // A file's served bytes with one byte changed.
  std::string Changed(const std::string& name) const {
    std::string bytes = ReadFile(m_site + ServedPath(name, m_site));
    bytes[bytes.size() / 2] ^= 0x20;
    return bytes;
  }

  // Runs until the movie gives up with `line` on its screen, then ends the launcher; the game
  // must not start, or with `startsAsInstalled` start as it was installed before. The run's log
  // messages begin at m_runStart.
  void RunUntilMovieGivesUp(int port, const std::string& line, bool startsAsInstalled) {
    m_runStart = m_sandbox.LogMessages().size();
    StartLauncher(port, "mallory-victim", SiteConfig(port));
    const std::string given = "FlashLog: demo: " + line;
    WaitUntil([&] { return LoggedContaining(given, m_runStart) || !m_launcher->IsRunning() ||
                           (!startsAsInstalled && PathExists(MarkerPath())); },
              testing_support::kMovieStartBudget + 120s);
    if (startsAsInstalled)
      EXPECT_TRUE(WaitForGame()) << "the game as installed before starts";
    else
      EXPECT_FALSE(PathExists(MarkerPath())) << "the game must not start";
    EndGame();
    if (m_launcher->IsRunning()) kill(m_launcher->pid(), SIGTERM);
    m_launcher->Wait();
    ASSERT_TRUE(LoggedContaining(given, m_runStart)) << m_sandbox.Log();
  }

  std::string m_key = m_dir / "site-key.pem";
  std::string m_publicKey;
  size_t m_runStart = 0;
};

// The maker publishes an update; an attacker in the middle changes it on its way. Whatever the
// attacker does, the files installed before stay: a changed file is refused at its end and the
// patch stops, a file the index does not list is never asked for, and a manifest to match an
// attacker's own game is refused like any other file, after which the movie starts the game as it
// was installed, as when its server is gone. Before that, through an attacker who
// changes nothing, the signed site patches and starts the game as an unsigned one does.
TEST_F(SignedSite, AnUpdateChangedOnItsWayIsRefusedAndTheFilesInstalledBeforeStay) {
  NginxServer origin(ServerLines());
  ASSERT_EQ(origin.error(), "");
  {
    NginxServer passing(AttackerLines(origin, {}));
    ASSERT_EQ(passing.error(), "");
    Sign(passing.port());
    RunToTheGame(passing.port(), SiteConfig(passing.port()));
    ExpectInstalledAsListed(m_site);
    EXPECT_TRUE(LoggedContaining("Site: http://127.0.0.1:" + std::to_string(passing.port()) + "/index.json verified"))
        << m_sandbox.Log();
  }
  const std::string firstEdition = ReadFile(GameDir() + "/readme.txt");
  WriteFile(m_game + "/readme.txt", "Brimtale, second edition.\n");
  Pack();
  const std::string served = ServedPath("readme.txt", m_site);
  // The attacker's own game, packed as the maker packs: its manifest and its readme.
  const std::string evilGame = m_dir / "evil-game", evilSite = m_dir / "evil-site";
  std::filesystem::copy(m_game, evilGame, std::filesystem::copy_options::recursive);
  WriteFile(evilGame + "/readme.txt", "Brimtale, an edition of the attacker's.\n");
  ASSERT_EQ(RunProcess({BRIMTALE_PACK_PATH, evilGame, evilSite}).exitStatus, 0);
  const std::string evilServed = ServedPath("readme.txt", evilSite);

  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> answers;  // the attacker's (URI, file)
    bool unlisted;             // the index is signed without the update's readme
    std::string movieLine;     // how the movie gives up
    bool startsAsInstalled;    // the movie then starts the game installed before
    std::string launcherLine;  // why the launcher refused, in a log line
    size_t readmeRequests;     // of the update's readme, at the attacker
  };
  const Case cases[] = {
      {"a changed file", {{served, AttackerFile("changed", Changed("readme.txt"))}}, false,
       "Patching failed - readme.txt: the download failed twice", false, served + " stopped: its SHA-256 is not the expected file's",
       2},
      {"a file the index does not list", {}, true, "Patching failed - readme.txt: the download failed twice", false,
       served + ": \"" + served.substr(1) + "\" is not a file of the site's index", 0},
      {"a manifest to match the attacker's game",
       {{"/manifest.txt", evilSite + "/manifest.txt"}, {evilServed, evilSite + evilServed}}, false,
       "Offline: starting the installed game - The patch server cannot be reached", true, "/manifest.txt stopped: its ", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NginxServer attacker(AttackerLines(origin, c.answers));
    ASSERT_EQ(attacker.error(), "");
    const std::string hidden = m_dir / "unlisted";
    if (c.unlisted) std::filesystem::rename(m_site + served, hidden);
    Sign(attacker.port());
    if (c.unlisted) std::filesystem::rename(hidden, m_site + served);

    RunUntilMovieGivesUp(attacker.port(), c.movieLine, c.startsAsInstalled);
    EXPECT_TRUE(LoggedContaining(c.launcherLine, m_runStart)) << m_sandbox.Log();
    EXPECT_EQ(ReadFile(GameDir() + "/readme.txt"), firstEdition);
    for (const auto& entry : std::filesystem::directory_iterator(GameDir()))
      EXPECT_FALSE(entry.path().filename().string().starts_with(".readme")) << "nothing is kept to be resumed";
    size_t asked = 0;
    for (const std::string& line : attacker.AccessLog()) asked += line.starts_with("GET " + served + " ");
    EXPECT_EQ(asked, c.readmeRequests);
  }
}

// What the launcher cannot trust never plays: an index.json it refuses stops it before the game
// window, a movie that is not the one the index lists shows in the game window's failure page
// instead of playing. Either way the page says that the game's files could not be verified and
// why, the log and standard error say it too, and when the player quits there the launcher ends
// with status 3, having fetched nothing else of the site. An index is asked for once more past
// caches when a stale copy could explain it.
TEST_F(SignedSite, WhatCannotBeTrustedIsRefusedInAWindowThatSaysWhy) {
  NginxServer origin(ServerLines());
  ASSERT_EQ(origin.error(), "");
  const int port = origin.port();
  Sign(port);
  const std::string older = ReadFile(m_site + "/index.json");
  Sign(port);
  const std::string current = ReadFile(m_site + "/index.json");
  // The same site signed by another key, and by this one 40 days ago for 30 days.
  const std::string otherSite = m_dir / "other-site", otherKey = m_dir / "other-key.pem";
  std::filesystem::copy(m_site, otherSite, std::filesystem::copy_options::recursive);
  ASSERT_EQ(RunProcess({BRIMTALE_PACK_PATH, "keygen", otherKey}).exitStatus, 0);
  Sign(port, otherSite, otherKey);
  const std::string ofAnotherKey = ReadFile(otherSite + "/index.json");
  SigningOptions backdated;
  backdated.keyFile = m_key;
  backdated.now = std::time(nullptr) - 40 * 86400;  // for the default 30 days
  std::vector<std::string> notes;
  std::string error;
  ASSERT_GT(SignSite(otherSite, backdated, notes, error).version, 0) << error;
  const std::string expired = ReadFile(otherSite + "/index.json");
  std::string tampered = current;
  const size_t digit = tampered.find("\\\"size\\\":") + 9;
  tampered[digit] = tampered[digit] == '9' ? '8' : '9';
  std::string movie = ReadFile(m_site + "/DemoMovie.swf");
  movie[movie.size() - 1] ^= 0x01;
  const std::string changedMovie = AttackerFile("DemoMovie.swf", movie);

  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> answers;  // the attacker's (URI, file)
    bool acceptedNewerBefore;
    bool signedForAttacker;  // the movie's query names the attacker's address, as it answers
    std::vector<std::string> requests;  // of the site's files
    const char* reason;
  };
  const std::vector<std::string> once{"GET /index.json"}, twice{"GET /index.json", "GET /index.json"};
  auto index = [&](const char* name, const std::string& text) {
    return std::vector<std::pair<std::string, std::string>>{{"/index.json", AttackerFile(name, text)}};
  };
  const Case cases[] = {
      {"an older index, replayed", index("older", older), true, false, twice, "older than one accepted before"},
      {"an index signed by another key", index("foreign", ofAnotherKey), false, false, twice, "signed by a key that is not trusted"},
      {"an expired index", index("expired", expired), false, false, twice, "expired on"},
      {"an index changed after signing", index("tampered", tampered), false, false, once, "does not match its signature"},
      {"a captive portal's page", index("portal", "<html>Sign in to the hotel's network</html>"), false, false, once,
       "not a signed index"},
      {"a changed movie", {{"/DemoMovie.swf", changedMovie}}, false, true, {"GET /index.json", "GET /DemoMovie.swf"},
       "the movie's SHA-256 is not the one the site's index gives"},
  };
  m_environment["BRIMTALE_PLAYER_CONSOLE"] = "1";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NginxServer attacker(AttackerLines(origin, c.answers));
    ASSERT_EQ(attacker.error(), "");
    if (c.acceptedNewerBefore) AcceptedBefore(current);
    if (c.signedForAttacker) Sign(attacker.port());
    const size_t runStart = m_sandbox.LogMessages().size();
    StartLauncher(attacker.port(), "mallory-victim", SiteConfig(attacker.port()));
    const std::string shown = "Failure page: The game's files could not be verified | ";
    WaitUntil([&] { return !m_launcher->IsRunning() || m_launcher->output().find(shown) != std::string::npos ||
                           LoggedContaining("FlashLog: demo: ", runStart); },
              testing_support::kMovieStartBudget);
    EXPECT_FALSE(LoggedContaining("FlashLog: demo: ", runStart)) << "the movie must not play";
    const std::string output = m_launcher->output();
    ASSERT_NE(output.find(shown), std::string::npos) << output << m_sandbox.Log();
    EXPECT_NE(output.find(c.reason, output.find(shown)), std::string::npos) << output;
    // Try again has the focus, Quit comes after it.
    std::optional<std::string> window;
    ASSERT_TRUE(WaitUntil([&] { return (window = FindMappedWindow("Brimtale Demo")).has_value(); }, 30s));
    if (&c == &cases[0] || c.signedForAttacker) {
      std::this_thread::sleep_for(700ms);  // the frame that shows the page
      SaveScreenshot(c.signedForAttacker ? "8-movie-not-verified" : "7-site-not-verified");
    }
    Xdotool({"windowfocus", "--sync", *window, "sleep", "0.3", "key", "Tab", "Return"});
    const auto result = m_launcher->Wait();
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 3);
    EXPECT_TRUE(LoggedContaining(c.reason, runStart)) << m_sandbox.Log();
    EXPECT_FALSE(PathExists(MarkerPath()));
    std::vector<std::string> siteRequests;
    for (const std::string& line : attacker.AccessLog())
      if (!line.starts_with("GET /login") && !line.starts_with("GET /api/") && !line.starts_with("GET /GetSwfUrl"))
        siteRequests.push_back(line.substr(0, line.find_first_of(" ?", 4)));
    EXPECT_EQ(siteRequests, c.requests);
  }
}

}  // namespace
