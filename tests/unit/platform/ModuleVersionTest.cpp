// Product versions read from real files: our own ELF note and PE files built by the MinGW tools.
#include <gtest/gtest.h>

#include "base/AppInfo.h"
#include "platform/ModuleVersion.h"
#include "support/TestSupport.h"

namespace {

using testing_support::ReadFile;
using testing_support::RunProcess;
using testing_support::TempDir;
using testing_support::WriteFile;

// Builds a 32-bit DLL, with a version resource when `resource` is not empty.
std::string BuildDll(const TempDir& dir, const std::string& name, const std::string& resource) {
  WriteFile(dir / (name + ".c"), "int __stdcall DllMain(void* h, unsigned r, void* p) { return 1; }\n");
  std::vector<std::string> link{"/usr/bin/i686-w64-mingw32-gcc", "-shared", "-o", dir / (name + ".dll"),
                                dir / (name + ".c")};
  if (!resource.empty()) {
    WriteFile(dir / (name + ".rc"), resource);
    auto compiled = RunProcess({"/usr/bin/i686-w64-mingw32-windres", dir / (name + ".rc"), "-O", "coff", "-o",
                                dir / (name + ".res.o")});
    EXPECT_EQ(compiled.exitStatus, 0) << compiled.output;
    link.push_back(dir / (name + ".res.o"));
  }
  auto linked = RunProcess(link);
  EXPECT_EQ(linked.exitStatus, 0) << linked.output;
  return dir / (name + ".dll");
}

const char* kVersionResource = R"(
1 VERSIONINFO
FILEVERSION 1,2,3,4
PRODUCTVERSION 5,6,65535,8
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "040904b0"
    BEGIN
      VALUE "ProductName", "Version test"
    END
  END
END
)";

TEST(ModuleVersion, PeFileGivesItsProductVersionNotItsFileVersion) {
  TempDir dir;
  std::string dll = BuildDll(dir, "versioned", kVersionResource);
  EXPECT_EQ(GetExeVersion(dll.c_str()), "5.6.65535.8");
}

TEST(ModuleVersion, FilesWithoutAVersionGiveNone) {
  TempDir dir;
  std::string plain = BuildDll(dir, "plain", "");
  EXPECT_EQ(GetExeVersion(plain.c_str()), "");
  WriteFile(dir / "text.txt", "not a module at all");
  EXPECT_EQ(GetExeVersion((dir / "text.txt").c_str()), "");
  WriteFile(dir / "empty", "");
  EXPECT_EQ(GetExeVersion((dir / "empty").c_str()), "");
  EXPECT_EQ(GetExeVersion(dir.path().c_str()), "");  // a folder
  EXPECT_EQ(GetExeVersion("/usr/bin/objcopy"), "");  // an ELF file without our note
}

TEST(ModuleVersion, TruncatedFilesAreRefusedNotOverrun) {
  TempDir dir;
  std::string versioned = ReadFile(BuildDll(dir, "versioned", kVersionResource));
  std::string launcher = ReadFile(BRIMTALE_LAUNCHER_PATH);
  // Every prefix of the headers, and cuts inside the resource and near the end of the file.
  std::vector<std::pair<std::string, size_t>> cuts;
  for (size_t length = 0; length < 1024; length += 7) cuts.emplace_back(versioned, length);
  for (size_t length = versioned.size() - 1024; length < versioned.size(); length += 13) cuts.emplace_back(versioned, length);
  for (size_t length = 0; length < 4096; length += 61) cuts.emplace_back(launcher, length);
  for (const auto& [bytes, length] : cuts) {
    WriteFile(dir / "cut", bytes.substr(0, length));
    EXPECT_FALSE(platform::ReadProductVersion(dir / "cut").has_value() && length < 64) << length;
  }
}

}  // namespace
