// Staged files on a real file system: the destination changes only by a whole, committed file.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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
  // Neither a FIFO nor a device is ever replaced by a file (the device is the test's own null).
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(mknod((dir / "null").c_str(), S_IFCHR | 0600, makedev(1, 3)), 0) << "needs root";
  std::filesystem::create_symlink(dir / "null", dir / "link");
  const std::string destinations[] = {dir / "folder", dir / "folder/", dir / "missing/file", dir / "plain/file", "",
                                      dir / "fifo",   dir / "null",      dir / "link"};
  for (const std::string& destination : destinations) {
    SCOPED_TRACE(destination);
    platform::StagedFile file;
    EXPECT_FALSE(file.Open(destination));
    EXPECT_FALSE(file.IsOpen());
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir / "folder"));
  EXPECT_TRUE(std::filesystem::is_fifo(dir / "fifo"));
  EXPECT_TRUE(std::filesystem::is_character_file(dir / "null"));
  EXPECT_EQ(EntryCount(dir.path()), 5u);
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

void Write(platform::PartialFile& file, const std::string& text) {
  ASSERT_EQ(fwrite(text.data(), 1, text.size(), file.stream()), text.size());
}

void AgeByDays(const std::string& path, int days) {
  std::filesystem::last_write_time(path, std::filesystem::last_write_time(path) - std::chrono::hours(24 * days));
}

// A partial file is kept for the same URL and destination when it holds bytes and a validator,
// and thrown away otherwise: another URL, no validator, older than a week.
TEST(PartialFile, IsKeptOnlyWhileItCanBeResumed) {
  TempDir dir;
  const std::string destination = dir / "world.dat";
  const std::string partialPath = dir / ".world.dat.partial";
  auto holdsAfterReopen = [&](const std::string& url) {
    platform::PartialFile file;
    EXPECT_TRUE(file.Open(destination, url));
    return std::make_pair(file.size(), file.validator());
  };
  auto leave = [&](const std::string& validator, const std::string& bytes) {
    platform::PartialFile file;
    ASSERT_TRUE(file.Open(destination, "http://a/world"));
    ASSERT_TRUE(file.StartOver(validator));
    Write(file, bytes);
  };

  leave("\"v1\"", "first half");
  EXPECT_EQ(holdsAfterReopen("http://a/world"), std::make_pair(uint64_t{10}, std::string("\"v1\"")));
  EXPECT_EQ(holdsAfterReopen("http://a/world"), std::make_pair(uint64_t{10}, std::string("\"v1\"")))
      << "opening it does not use it up";
  EXPECT_EQ(holdsAfterReopen("http://b/world"), std::make_pair(uint64_t{0}, std::string()));

  leave("", "no validator");
  EXPECT_FALSE(std::filesystem::exists(partialPath)) << "a partial file that cannot be resumed is not kept";

  leave("Tue, 01 Dec 2026 10:00:00 GMT", "dated");
  AgeByDays(partialPath, 8);
  EXPECT_EQ(holdsAfterReopen("http://a/world").first, 0u);

  // An old partial file of another destination goes when the folder is next written; a fresh one stays.
  leave("\"v1\"", "fresh");
  {
    platform::PartialFile other;
    ASSERT_TRUE(other.Open(dir / "map.dat", "http://a/map"));
    ASSERT_TRUE(other.StartOver("\"m\""));
    Write(other, "old map");
  }
  AgeByDays(dir / ".map.dat.partial", 8);
  platform::StagedFile staged;
  ASSERT_TRUE(staged.Open(dir / "readme.txt"));
  EXPECT_FALSE(std::filesystem::exists(dir / ".map.dat.partial"));
  EXPECT_FALSE(std::filesystem::exists(dir / ".map.dat.partial.meta"));
  EXPECT_TRUE(std::filesystem::exists(partialPath));

  // One whose record cannot be read back (here a validator cut short) is no longer resumable: the
  // sweep takes it at once, whatever its age.
  {
    platform::PartialFile other;
    ASSERT_TRUE(other.Open(dir / "map.dat", "http://a/map"));
    ASSERT_TRUE(other.StartOver("\"m\""));
    Write(other, "new map");
  }
  WriteFile(dir / ".map.dat.partial.meta", "brimtale-partial 1\nhttp://a/map\n\"" + std::string(20000, 'm'));
  platform::StagedFile sweeping;
  ASSERT_TRUE(sweeping.Open(dir / "readme.txt"));
  EXPECT_FALSE(std::filesystem::exists(dir / ".map.dat.partial"));
  EXPECT_TRUE(std::filesystem::exists(partialPath));

  // A partial file in use is not shared, and commits only the whole file.
  platform::PartialFile holder;
  ASSERT_TRUE(holder.Open(destination, "http://a/world"));
  platform::PartialFile second;
  EXPECT_FALSE(second.Open(destination, "http://a/world"));
  Write(holder, " and the rest");
  ASSERT_TRUE(holder.Commit());
  EXPECT_EQ(ReadFile(destination), "fresh and the rest");
  EXPECT_FALSE(std::filesystem::exists(partialPath));
  EXPECT_FALSE(std::filesystem::exists(partialPath + ".meta"));
}

// An immediate exit keeps a resumable partial file and removes one that cannot be resumed.
TEST(PartialFile, AnImmediateExitKeepsOnlyWhatCanBeResumed) {
  TempDir dir;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    platform::PartialFile resumable, unresumable;
    if (!resumable.Open(dir / "a.bin", "http://a/a") || !resumable.StartOver("\"a\"")) _exit(3);
    if (!unresumable.Open(dir / "b.bin", "http://a/b") || !unresumable.StartOver("")) _exit(4);
    fputs("bytes", resumable.stream());
    fputs("bytes", unresumable.stream());
    fflush(nullptr);
    platform::ExitProcessNow(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(ReadFile(dir / ".a.bin.partial"), "bytes");
  EXPECT_TRUE(std::filesystem::exists(dir / ".a.bin.partial.meta"));
  EXPECT_FALSE(std::filesystem::exists(dir / ".b.bin.partial"));
  EXPECT_FALSE(std::filesystem::exists(dir / ".b.bin.partial.meta"));
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
