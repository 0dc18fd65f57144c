// brimtale-pack on real folders: what the site holds, what a second run packs again, what it refuses.
#include "PackSite.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ops/Md5.h"
#include "ops/QuickLz.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testing_support::PathExists;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

std::string Md5Text(const std::string& bytes) {
  return FormatMd5Digest(Md5Of({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}));
}

std::string Noise(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

std::string Text(size_t size) {
  std::string text;
  while (text.size() < size) text += "the road to the old mill, " + std::to_string(text.size() % 97) + "\n";
  return text.substr(0, size);
}

struct Line {
  std::string size, md5, packing, packedSize, packedMd5;
  bool operator==(const Line&) const = default;
};

std::map<std::string, Line> Manifest(const std::string& site) {
  std::map<std::string, Line> lines;
  std::istringstream text(ReadFile(site + "/manifest.txt"));
  std::string line;
  while (std::getline(text, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string name;
    Line entry;
    fields >> name >> entry.size >> entry.md5 >> entry.packing >> entry.packedSize >> entry.packedMd5;
    lines[name] = entry;
  }
  return lines;
}

std::string Unpacked(const std::string& served) {
  ByteBuffer output;
  EXPECT_EQ(DecompressToMemory({reinterpret_cast<const uint8_t*>(served.data()), served.size()}, output),
            DecompressStatus::kOk);
  return std::string(reinterpret_cast<const char*>(output.data()), output.size());
}

class PackSiteTest : public ::testing::Test {
 protected:
  PackReport Pack(PackOptions options = {}) { return PackSite(game, site, options, &skipped); }

  TempDir dir;
  std::string game = dir / "game";
  std::string site = dir / "site";
  std::string skipped;
};

TEST_F(PackSiteTest, ListsEveryFileAndCompressesOnlyWhatGetsSmaller) {
  const std::map<std::string, std::string> files{
      {"map.txt", Text(200000)}, {"data/noise.bin", Noise(50000, 1)}, {"data/deep/empty", ""}};
  for (const auto& [name, bytes] : files) WriteFile(game + "/" + name, bytes);
  WriteFile(game + "/.git/config", "left out");

  const PackReport report = Pack();
  ASSERT_EQ(report.error, "");
  EXPECT_EQ(report.files, 3u);
  EXPECT_EQ(skipped, ".git\n");
  const auto manifest = Manifest(site);
  ASSERT_EQ(manifest.size(), 3u);
  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name);
    const Line& line = manifest.at(name);
    EXPECT_EQ(line.size, std::to_string(bytes.size()));
    EXPECT_EQ(line.md5, Md5Text(bytes));
    const bool compressed = name == "map.txt";
    EXPECT_EQ(line.packing, compressed ? "qlz" : "raw");
    const std::string served = ReadFile(site + "/files/" + name + (compressed ? ".qlz" : ""));
    EXPECT_EQ(line.packedSize, std::to_string(served.size()));
    EXPECT_EQ(line.packedMd5, Md5Text(served));
    EXPECT_EQ(compressed ? Unpacked(served) : served, bytes);
    EXPECT_FALSE(PathExists(site + "/files/" + name + (compressed ? "" : ".qlz")));
  }
  EXPECT_LT(std::stoul(manifest.at("map.txt").packedSize), 200000u / 2);
}

TEST_F(PackSiteTest, PacksAgainOnlyWhatChanged) {
  WriteFile(game + "/a.txt", Text(30000));
  WriteFile(game + "/b.txt", Text(40000));
  WriteFile(game + "/c.bin", Noise(1000, 2));
  ASSERT_EQ(Pack().error, "");
  auto before = Manifest(site);

  PackReport again = Pack();
  EXPECT_EQ(again.packed, 0u);
  EXPECT_EQ(again.unchanged, 3u);
  EXPECT_EQ(Manifest(site), before);

  // Changed content; the same content written again (a new time, the same digest); a file that
  // no longer compresses; a removed file.
  WriteFile(game + "/a.txt", Text(30001));
  WriteFile(game + "/c.bin", Noise(1000, 2));
  WriteFile(game + "/b.txt", Noise(40000, 3));
  fs::last_write_time(game + "/c.bin", fs::last_write_time(game + "/c.bin") + std::chrono::seconds(5));
  PackReport changed = Pack();
  ASSERT_EQ(changed.error, "");
  EXPECT_EQ(changed.packed, 2u);
  EXPECT_EQ(changed.unchanged, 1u);
  auto after = Manifest(site);
  EXPECT_EQ(after.at("c.bin"), before.at("c.bin"));
  EXPECT_EQ(after.at("a.txt").size, "30001");
  EXPECT_EQ(after.at("b.txt").packing, "raw");
  EXPECT_EQ(changed.removed, 1u) << "b.txt.qlz is no longer served";
  EXPECT_FALSE(PathExists(site + "/files/b.txt.qlz"));

  fs::remove(game + "/a.txt");
  PackReport removed = Pack();
  EXPECT_EQ(removed.removed, 1u);
  EXPECT_EQ(Manifest(site).count("a.txt"), 0u);
  EXPECT_FALSE(PathExists(site + "/files/a.txt.qlz"));

  // A served file lost from the site is packed again even though its source did not change.
  fs::remove(site + "/files/c.bin");
  EXPECT_EQ(Pack().packed, 1u);
  EXPECT_EQ(ReadFile(site + "/files/c.bin"), Noise(1000, 2));
}

TEST_F(PackSiteTest, RefusesWhatCannotBePackedAndWritesNothing) {
  struct Case {
    const char* name;
    std::string gameFolder, siteFolder;
    std::function<void()> prepare;
  };
  const Case cases[] = {
      {"a comma", game, site, [&] { WriteFile(game + "/one,two.txt", "x"); }},
      {"a blank", game, site, [&] { WriteFile(game + "/one two.txt", "x"); }},
      {"x beside x.qlz", game, site, [&] { WriteFile(game + "/x", "x"), WriteFile(game + "/x.qlz", "y"); }},
      {"the site inside the game", game, game + "/site", [] {}},
      {"no game folder", dir / "missing", site, [] {}},
      {"a FIFO", game, site, [&] { mkfifo((game + "/pipe").c_str(), 0600); }},
      {"a folder of someone else", game, site, [&] { WriteFile(site + "/index.html", "mine"); }},  // last: its file is looked at below
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(game);
    fs::remove_all(site);
    WriteFile(game + "/fine.txt", "fine");
    c.prepare();
    const PackReport report = PackSite(c.gameFolder, c.siteFolder, {}, nullptr);
    EXPECT_NE(report.error, "");
    EXPECT_FALSE(PathExists(c.siteFolder + "/manifest.txt"));
    EXPECT_FALSE(PathExists(c.siteFolder + "/files"));
  }
  EXPECT_EQ(ReadFile(site + "/index.html"), "mine");
}

}  // namespace
