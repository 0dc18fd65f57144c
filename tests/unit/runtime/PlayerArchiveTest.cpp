// The player control archive, the control's version and the MIME types the web view is given.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PlayerArchive.h"
#include "PlayerCode.h"
#include "support/TestSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>

namespace {

using namespace player_runtime;

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> TwoFileArchive() {
  std::vector<uint8_t> archive = ArchiveHeader(2);
  AppendArchiveEntry(archive, "package.json", Bytes(R"({"name":"x","version":"0.6.0"})"));
  AppendArchiveEntry(archive, "core.wasm", Bytes(std::string("\0asm\x01", 5)));
  return archive;
}

TEST(PlayerArchive, EntriesReadBackWithTheirNamesAndBytes) {
  std::vector<uint8_t> archive = TwoFileArchive();
  auto index = ReadArchiveIndex(archive);
  ASSERT_TRUE(index.has_value());
  ASSERT_EQ(index->size(), 2u);
  EXPECT_EQ((*index)[0].name, "package.json");
  EXPECT_EQ((*index)[1].name, "core.wasm");
  EXPECT_EQ(std::string(archive.begin() + (*index)[1].offset, archive.begin() + (*index)[1].offset + (*index)[1].size),
            std::string("\0asm\x01", 5));
  EXPECT_TRUE(ReadArchiveIndex(ArchiveHeader(0)).value().empty());
}

TEST(PlayerArchive, EveryShortenedArchiveAndAForeignHeaderAreRefused) {
  std::vector<uint8_t> archive = TwoFileArchive();
  for (size_t length = 0; length < archive.size(); ++length)
    EXPECT_FALSE(ReadArchiveIndex({archive.data(), length}).has_value()) << length;
  std::vector<uint8_t> foreign = archive;
  foreign[0] = 'X';
  EXPECT_FALSE(ReadArchiveIndex(foreign).has_value());
  std::vector<uint8_t> laterFormat = archive;
  laterFormat[8] = 2;
  EXPECT_FALSE(ReadArchiveIndex(laterFormat).has_value());
  // A size that runs past the end, however large.
  std::vector<uint8_t> huge = ArchiveHeader(1);
  AppendArchiveEntry(huge, "a", Bytes("b"));
  huge[huge.size() - 5] = 0xFF;
  huge[huge.size() - 2] = 0xFF;
  EXPECT_FALSE(ReadArchiveIndex(huge).has_value());
}

// What a page is handed of the player's compiled code: sealed files, so that the web process can
// trust what it maps.
void ExpectSealedFileOf(const PlayerCode& code, const std::string& name, const std::string& bytes) {
  auto file = code.Sealed(name);
  ASSERT_TRUE(file.has_value()) << name;
  auto again = code.Sealed(name);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->fd, file->fd) << "made once";
  EXPECT_EQ(file->size, bytes.size());
  std::string read(bytes.size(), '\0');
  EXPECT_EQ(pread(file->fd, read.data(), read.size(), static_cast<off_t>(file->offset)),
            static_cast<ssize_t>(bytes.size()));
  EXPECT_EQ(read, bytes);
  const int seals = fcntl(file->fd, F_GET_SEALS);
  EXPECT_EQ(seals & (F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL),
            F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
  EXPECT_EQ(pwrite(file->fd, "x", 1, 0), -1);
  EXPECT_NE(ftruncate(file->fd, 0), 0);
}

TEST(PlayerCode, ItsCompiledCodeIsHandedInSealedFilesOfRegularFilesOnly) {
  // An archive lies in one sealed file; each entry is a range of it. A name that leaves the
  // control or is not UTF-8 (the reply's strings must be) is not handed.
  std::vector<uint8_t> archive = ArchiveHeader(4);
  AppendArchiveEntry(archive, "package.json", Bytes(R"({"name":"x","version":"0.6.0"})"));
  AppendArchiveEntry(archive, "core.wasm", Bytes(std::string("\0asm\x01", 5)));
  AppendArchiveEntry(archive, "../out.wasm", Bytes("x"));
  AppendArchiveEntry(archive, "\xE9t\xE9.wasm", Bytes("x"));
  auto archived = PlayerCode::FromArchive(archive);
  ASSERT_TRUE(archived);
  EXPECT_EQ(archived->WasmNames(), std::vector<std::string>{"core.wasm"});
  ExpectSealedFileOf(*archived, "core.wasm", std::string("\0asm\x01", 5));
  ExpectSealedFileOf(*archived, "package.json", R"({"name":"x","version":"0.6.0"})");
  EXPECT_EQ(archived->Sealed("core.wasm")->fd, archived->Sealed("package.json")->fd);
  EXPECT_FALSE(archived->Sealed("missing.wasm").has_value());

  // An unpacked folder, by kind of what bears a code file's name: only a regular file (or a link
  // to one) is handed; a FIFO would hold the reader for ever, a device would never end, neither is
  // opened.
  testing_support::TempDir dir;
  testing_support::WriteFile(dir / "package.json", R"({"name":"x","version":"0.6.0"})");
  testing_support::WriteFile(dir / "ruffle.js", "");
  testing_support::WriteFile(dir / "a.wasm", "wasm bytes");
  struct Row {
    const char* name;
    std::function<void(const std::string&)> make;
    bool handed;
  };
  const Row rows[] = {
      {"link.wasm", [](const std::string& path) { std::filesystem::create_symlink("a.wasm", path); }, true},
      {"hard.wasm", [&](const std::string& path) { std::filesystem::create_hard_link(dir / "a.wasm", path); }, true},
      {"fifo.wasm", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }, false},
      {"to-fifo.wasm", [](const std::string& path) { std::filesystem::create_symlink("fifo.wasm", path); }, false},
      {"device.wasm", [](const std::string& path) { std::filesystem::create_symlink("/dev/zero", path); }, false},
      {"folder.wasm", [](const std::string& path) { std::filesystem::create_directory(path); }, false},
      {"dangling.wasm", [](const std::string& path) { std::filesystem::create_symlink("nowhere.wasm", path); }, false},
      {"\xFF\xFE.wasm", [](const std::string& path) { testing_support::WriteFile(path, "wasm bytes"); }, false},
  };
  std::vector<std::string> expected{"a.wasm"};
  for (const Row& row : rows) {
    row.make(dir / row.name);
    if (row.handed) expected.push_back(row.name);
  }
  auto unpacked = PlayerCode::FromFolder(dir.path());
  ASSERT_TRUE(unpacked);
  std::vector<std::string> names = unpacked->WasmNames();
  std::sort(names.begin(), names.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);
  ExpectSealedFileOf(*unpacked, "link.wasm", "wasm bytes");
  ExpectSealedFileOf(*unpacked, "hard.wasm", "wasm bytes");
}

TEST(PackageVersion, TheVersionTextBecomesAFlashVersionMostSignificantLast) {
  struct Case {
    const char* json;
    SFPCVersion version;
  } cases[] = {
      {R"({"version":"0.6.0"})", {{0, 0, 6, 0}}},
      {R"({ "name": "a", "version" : "1.2.3.4" })", {{4, 3, 2, 1}}},
      {R"({"version":"0.1.0-nightly.2024.5.6"})", {{0, 0, 1, 0}}},
      {R"({"version":"7"})", {{0, 0, 0, 7}}},
      {R"({"version":"1.2.3.4.5"})", {{4, 3, 2, 1}}},
  };
  for (const Case& c : cases) {
    auto version = ParsePackageVersion(c.json);
    ASSERT_TRUE(version.has_value()) << c.json;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(version->v[i], c.version.v[i]) << c.json << " part " << i;
  }
  for (const char* json : {"{}", R"({"version":7})", R"({"version":"x.1"})", R"({"version":"70000"})", ""})
    EXPECT_FALSE(ParsePackageVersion(json).has_value()) << json;
}

TEST(PackageVersion, ComparisonGoesFromTheMostSignificantPart) {
  SFPCVersion older{{9, 9, 5, 0}};
  SFPCVersion newer{{0, 0, 6, 0}};
  EXPECT_EQ(CompareVersions(older, newer), -1);
  EXPECT_EQ(CompareVersions(newer, older), 1);
  EXPECT_EQ(CompareVersions(newer, newer), 0);
  EXPECT_EQ(CompareVersions(SFPCVersion{{1, 0, 0, 0}}, SFPCVersion{{2, 0, 0, 0}}), -1);
}

TEST(MimeType, TheWasmLoaderAndTheMoviesGetTheirRealTypes) {
  EXPECT_STREQ(MimeTypeOf("72a20ef1c0b8ceb37720.wasm"), "application/wasm");
  EXPECT_STREQ(MimeTypeOf("ruffle.js"), "text/javascript");
  EXPECT_STREQ(MimeTypeOf("player.html"), "text/html");
  EXPECT_STREQ(MimeTypeOf("/home/u/Game.SWF"), "application/x-shockwave-flash");
  EXPECT_STREQ(MimeTypeOf("font.woff2"), "font/woff2");
  EXPECT_STREQ(MimeTypeOf("LICENSE_MIT"), "application/octet-stream");
  EXPECT_STREQ(MimeTypeOf("a.jsx"), "application/octet-stream");
}

}  // namespace
