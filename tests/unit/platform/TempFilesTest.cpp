// Staged files on a real file system: the destination changes only by a whole, committed file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "platform/TempFiles.h"
#include "support/TestSupport.h"

namespace {

using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

mode_t Permissions(const std::string& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info.st_mode & 0777;
}

size_t EntryCount(const std::string& folder) {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) count += entry.exists() ? 1 : 0;
  return count;
}

void Write(platform::StagedFile& file, const std::string& text) {
  ASSERT_EQ(fwrite(text.data(), 1, text.size(), file.stream()), text.size());
}

TEST(StagedFile, CommitReplacesTheDestinationKeepingItsPermissions) {
  TempDir dir;
  std::string destination = dir / "data.bin";
  WriteFile(destination, "old");
  chmod(destination.c_str(), 0640);
  platform::StagedFile file;
  ASSERT_TRUE(file.Open(destination));
  EXPECT_EQ(std::filesystem::path(file.temporaryPath()).parent_path(), dir.path());
  Write(file, "new contents");
  EXPECT_EQ(ReadFile(destination), "old") << "untouched until committed";
  ASSERT_TRUE(file.Commit());
  EXPECT_EQ(ReadFile(destination), "new contents");
  EXPECT_EQ(Permissions(destination), 0640u);
  EXPECT_EQ(EntryCount(dir.path()), 1u);
}

TEST(StagedFile, NewFileGetsTheUsualPermissions) {
  TempDir dir;
  mode_t previous = umask(027);
  {
    platform::StagedFile file;
    ASSERT_TRUE(file.Open(dir / "fresh"));
    ASSERT_TRUE(file.Commit());
  }
  umask(previous);
  EXPECT_EQ(Permissions(dir / "fresh"), 0640u);
}

TEST(StagedFile, AnUncommittedFileLeavesTheDestinationAsItWas) {
  TempDir dir;
  WriteFile(dir / "keep.txt", "whole");
  {
    platform::StagedFile file;
    ASSERT_TRUE(file.Open(dir / "keep.txt"));
    Write(file, "half");
  }
  EXPECT_EQ(ReadFile(dir / "keep.txt"), "whole");
  EXPECT_EQ(EntryCount(dir.path()), 1u);

  platform::StagedFile absent;
  ASSERT_TRUE(absent.Open(dir / "never.txt"));
  absent.Discard();
  EXPECT_FALSE(std::filesystem::exists(dir / "never.txt"));
  EXPECT_EQ(EntryCount(dir.path()), 1u);
}

TEST(StagedFile, ASymbolicLinkIsWrittenThrough) {
  TempDir dir;
  std::filesystem::create_directory(dir / "real");
  WriteFile(dir / "real/target", "old");
  std::filesystem::create_symlink(dir / "real/target", dir / "link");
  platform::StagedFile file;
  ASSERT_TRUE(file.Open(dir / "link"));
  Write(file, "through the link");
  ASSERT_TRUE(file.Commit());
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link"));
  EXPECT_EQ(ReadFile(dir / "real/target"), "through the link");
}

TEST(StagedFile, DestinationsThatCannotBeWrittenFailAtOnce) {
  TempDir dir;
  std::filesystem::create_directory(dir / "folder");
  WriteFile(dir / "plain", "x");
  const std::string destinations[] = {dir / "folder", dir / "folder/", dir / "missing/file", dir / "plain/file", ""};
  for (const std::string& destination : destinations) {
    SCOPED_TRACE(destination);
    platform::StagedFile file;
    EXPECT_FALSE(file.Open(destination));
    EXPECT_FALSE(file.IsOpen());
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir / "folder"));
  EXPECT_EQ(EntryCount(dir.path()), 2u);
}

TEST(CreateParentDirectories, CreatesEveryMissingFolderButNotTheFile) {
  TempDir dir;
  platform::CreateParentDirectories(dir / "a/b//c/name.txt");
  EXPECT_TRUE(std::filesystem::is_directory(dir / "a/b/c"));
  EXPECT_FALSE(std::filesystem::exists(dir / "a/b/c/name.txt"));
  platform::CreateParentDirectories(dir / "d/");
  EXPECT_TRUE(std::filesystem::is_directory(dir / "d"));
}

}  // namespace
