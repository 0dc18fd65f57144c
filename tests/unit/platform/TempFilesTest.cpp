// Staged files on a real file system: the destination changes only by a whole, committed file.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/Process.h"
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

// A process that ends at once, or is killed, leaves no hidden file behind for good: the first is
// cleaned up on its way out, the second when a staged file is next opened in that folder.
TEST(StagedFile, TemporaryFilesDoNotOutliveTheirProcess) {
  TempDir dir;
  std::string destination = dir / "game.pak";
  WriteFile(destination, "old");
  for (bool killed : {false, true}) {
    SCOPED_TRACE(killed ? "killed" : "ended at once");
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      platform::StagedFile file;
      if (!file.Open(destination)) _exit(3);
      char byte = 1;
      if (write(ready[1], &byte, 1) != 1 || read(go[0], &byte, 1) != 1) _exit(4);
      platform::ExitProcessNow(0);
    }
    close(ready[1]);
    close(go[0]);
    char byte = 0;
    EXPECT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    EXPECT_EQ(EntryCount(dir.path()), 2u) << "the child's file is open";
    if (killed) kill(child, SIGKILL);
    else EXPECT_EQ(write(go[1], &byte, 1), 1);
    close(go[1]);
    int status = 0;
    waitpid(child, &status, 0);
    if (killed) {
      EXPECT_EQ(EntryCount(dir.path()), 2u);
      platform::StagedFile next;  // a later run writes into the same folder
      ASSERT_TRUE(next.Open(destination));
      EXPECT_EQ(EntryCount(dir.path()), 2u) << "the abandoned file is gone, the new one is there";
    } else {
      EXPECT_EQ(EntryCount(dir.path()), 1u);
    }
    EXPECT_EQ(ReadFile(destination), "old");
  }
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
