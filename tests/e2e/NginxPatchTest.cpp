// The demo movie patching from a real web server: nginx on loopback, with a configuration of its
// own, serving what brimtale-pack made of a game folder, as a CDN or any static server would. The
// demo's own patch server plays no part; nginx's access log shows what was fetched.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "DemoRun.h"
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

}  // namespace
