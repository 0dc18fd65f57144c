// The file and directory commands, driven through the bridge as the movie drives them, on real
// files, real trees and real child processes. The tests run as root: failures are made with
// things root cannot do either (paths below /proc, a directory where a file is expected).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "flash/CTransparentFlashPlayerControlWnd.h"
#include "ops/FileOperations.h"
#include "platform/Files.h"
#include "platform/Processes.h"
#include "platform/Spawn.h"
#include "support/RecordingRuntime.h"
#include "support/TestGameHost.h"
#include "support/TestLog.h"
#include "support/TestSupport.h"

namespace {

// What the application would give the game window.
testing_support::TestGameHost g_host;

namespace fs = std::filesystem;
using testing_support::PathExists;
using testing_support::ReadFile;
using testing_support::RecordingRuntime;
using testing_support::TempDir;
using testing_support::TestLogMessages;
using testing_support::TestLogMessagesSince;
using testing_support::WriteFile;
using Answer = std::vector<std::string>;

const bool kLogReady = (testing_support::UseTestLog(), true);

// Runs `body` while writes beyond `bytes` fail, as on a full disk, and returns its result.
template <typename Body>
bool WithFileSizeLimit(rlim_t bytes, Body body) {
  rlimit saved {};
  rlimit limited {};
  if (getrlimit(RLIMIT_FSIZE, &saved) == 0) limited = saved;
  limited.rlim_cur = bytes;
  if (setrlimit(RLIMIT_FSIZE, &limited) != 0) {
    ADD_FAILURE() << "the file size limit cannot be set";
    return false;
  }
  auto previousHandler = signal(SIGXFSZ, SIG_IGN);
  bool result = body();
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previousHandler);
  return result;
}

class FileCommands : public ::testing::Test {
 protected:
  FileCommands() { m_window.m_hFlashWnd = reinterpret_cast<HWND>(0x1000); }

  // Runs one command and returns its one answer, split at commas; empty when it sent none.
  Answer Run(const std::string& command, const std::string& arguments) {
    m_runtime.Clear();
    m_window.DispatchFSCommand(command.c_str(), arguments.c_str());
    auto answers = m_runtime.CompleteEvents();
    EXPECT_LE(answers.size(), 1u) << command;
    EXPECT_EQ(m_runtime.Calls().size(), answers.size()) << "every call parses and is an answer";
    return answers.empty() ? Answer{} : answers[0];
  }

  std::string Path(const std::string& name) const { return m_dir / name; }

  TempDir m_dir;
  RecordingRuntime m_runtime;
  CTransparentFlashPlayerControlWnd m_window{g_host};
};

TEST_F(FileCommands, ReadFileAnswersUpperCaseHexOfTheWholeFile) {
  std::string all;
  std::string expected;
  for (int round = 0; round < 20; ++round)
    for (int byte = 0; byte < 256; ++byte) {
      all += static_cast<char>(byte);
      char digits[3];
      snprintf(digits, sizeof digits, "%02X", byte);
      expected += digits;
    }
  WriteFile(Path("three"), std::string("\x00\xAB\x10", 3));
  WriteFile(Path("all"), all);  // 5120 bytes: several reads
  WriteFile(Path("empty"), "");
  fs::create_directories(Path("folder"));
  // Only regular files are read: a FIFO without a writer would block for ever, a device or a
  // generated file of /proc may never end.
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(mknod(Path("null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);

  struct Case {
    std::string path;
    std::string hex;
  } cases[] = {
      {Path("three"), "00AB10"}, {Path("all"), expected},  {Path("empty"), ""},
      {Path("missing"), ""},     {Path("folder"), ""},     {"/proc/self/no-such-entry", ""},
      {Path("fifo"), ""},        {Path("null"), ""},       {"/proc/self/status", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Run("READ_FILE", c.path), (Answer{"READ_FILE", c.hex})) << c.path;
}

TEST_F(FileCommands, WriteFileWritesTheBytesTheTextSpells) {
  struct Case {
    std::string hex;
    std::string bytes;
  } cases[] = {
      {"00ab10", std::string("\x00\xAB\x10", 3)},
      {"00AB10", std::string("\x00\xAB\x10", 3)},
      {"0g", std::string(1, '\0')},
      {"zzFf", std::string("\x00\xFF", 2)},
      {"", ""},
  };
  for (const Case& c : cases) {
    WriteFile(Path("out"), "previous content");
    EXPECT_EQ(Run("WRITE_FILE", Path("out") + "," + c.hex), (Answer{"WRITE_FILE", "1"})) << c.hex;
    EXPECT_EQ(ReadFile(Path("out")), c.bytes) << c.hex;
  }
}

TEST_F(FileCommands, WriteFileRoundTripsALargeFileThroughReadFile) {
  std::string bytes;
  for (int i = 0; i < 5000; ++i) bytes += static_cast<char>((i * 131 + 7) & 0xFF);
  WriteFile(Path("source"), bytes);
  Answer read = Run("READ_FILE", Path("source"));
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(Run("WRITE_FILE", Path("copy") + "," + read[1]), (Answer{"WRITE_FILE", "1"}));
  EXPECT_EQ(ReadFile(Path("copy")), bytes);
}

TEST_F(FileCommands, WriteFileAnswersZeroWhenItCannotWriteAndAnOddTextTouchesNothing) {
  WriteFile(Path("kept"), "kept as it was");
  fs::create_directories(Path("a-folder"));
  // Devices of the test's own, never the machine's: a FIFO or a device is no file to write (a FIFO
  // without a reader would block for ever), and must not be replaced by one.
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(mknod(Path("full").c_str(), S_IFCHR | 0666, makedev(1, 7)), 0);
  ASSERT_EQ(mknod(Path("null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
  fs::create_symlink(Path("null"), Path("link-to-null"));
  const std::string targets[] = {
      Path("no-such-folder/out"), Path("a-folder"), "/proc/self/no-such-entry/out",
      Path("fifo"),               Path("full"),     Path("null"),
      Path("link-to-null"),
  };
  for (const std::string& target : targets)
    EXPECT_EQ(Run("WRITE_FILE", target + ",00ab10"), (Answer{"WRITE_FILE", "0"})) << target;
  EXPECT_FALSE(PathExists(Path("no-such-folder")));
  EXPECT_EQ(fs::status(Path("fifo")).type(), fs::file_type::fifo);
  for (const char* device : {"full", "null", "link-to-null"})
    EXPECT_EQ(fs::status(Path(device)).type(), fs::file_type::character) << device;

  EXPECT_EQ(Run("WRITE_FILE", Path("kept") + ",abc"), (Answer{"WRITE_FILE", "0"}));
  EXPECT_EQ(ReadFile(Path("kept")), "kept as it was");
  EXPECT_EQ(Run("WRITE_FILE", Path("never") + ",abc"), (Answer{"WRITE_FILE", "0"}));
  EXPECT_FALSE(PathExists(Path("never")));
}

TEST_F(FileCommands, WriteFileThatFailsHalfWayLeavesTheOldFileWhole) {
  // A file size limit stands in for a full disk: the write fails after the first 64 KiB.
  WriteFile(Path("kept"), "kept as it was");
  std::string hex(2 * 200000, 'a');
  EXPECT_FALSE(WithFileSizeLimit(65536, [&] { return commands::WriteFileHex(Path("kept").c_str(), hex); }));
  EXPECT_EQ(ReadFile(Path("kept")), "kept as it was");
  size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(m_dir.path())) ++entries;
  EXPECT_EQ(entries, 1u) << "no staged file is left behind";
}

TEST_F(FileCommands, DeleteFileRemovesOneFileOnly) {
  WriteFile(Path("file"), "x");
  fs::create_directories(Path("folder"));
  EXPECT_EQ(Run("DELETE_FILE", Path("file")), (Answer{"DELETE_FILE_SUCC", Path("file")}));
  EXPECT_FALSE(PathExists(Path("file")));
  EXPECT_EQ(Run("DELETE_FILE", Path("file")), (Answer{"DELETE_FILE_FAILTE", Path("file")}));
  EXPECT_EQ(Run("DELETE_FILE", Path("folder")), (Answer{"DELETE_FILE_FAILTE", Path("folder")}));
  EXPECT_TRUE(fs::is_directory(Path("folder")));
}

TEST_F(FileCommands, DeleteCatalogueRemovesAWholeTreeWhateverItsNames) {
  for (const char* file : {"tree/a.txt", "tree/noextension", "tree/.hidden", "tree/sub/b.bin", "tree/sub/deeper/c",
                           "tree/sub/deeper/.d", "tree/[x]*?.y"})
    WriteFile(Path(file), "content");
  fs::create_directories(Path("tree/empty/also-empty"));
  // The second entry has no effect.
  EXPECT_EQ(Run("DELETE_CATALOGUE", Path("tree") + ",*.nothing"), (Answer{"DELETE_CATALOGUE", "1"}));
  EXPECT_FALSE(PathExists(Path("tree")));
}

TEST_F(FileCommands, DeleteCatalogueNeverFollowsALinkOutOfTheTree) {
  WriteFile(Path("outside/precious.txt"), "keep me");
  WriteFile(Path("outside/inner/also.txt"), "keep me too");
  WriteFile(Path("outside-file"), "keep");
  WriteFile(Path("tree/sub/file"), "x");
  fs::create_directory_symlink(Path("outside"), Path("tree/sub/link-to-outside"));
  fs::create_directory_symlink(Path("outside"), Path("tree/link.dir"));
  fs::create_symlink(Path("outside-file"), Path("tree/file-link"));
  fs::create_symlink(Path("nowhere"), Path("tree/dangling"));

  EXPECT_EQ(Run("DELETE_CATALOGUE", Path("tree") + ",x"), (Answer{"DELETE_CATALOGUE", "1"}));
  EXPECT_FALSE(PathExists(Path("tree")));
  // Named itself, a link is refused: what it points to is no part of the named path.
  fs::create_directory_symlink(Path("outside"), Path("top-link"));
  EXPECT_EQ(Run("DELETE_CATALOGUE", Path("top-link") + ",x"), (Answer{"DELETE_CATALOGUE", "0"}));
  for (const char* suffix : {"/", "//", "/.", "/./"})
    EXPECT_EQ(Run("DELETE_CATALOGUE", Path("top-link") + suffix + ",x"), (Answer{"DELETE_CATALOGUE", "0"})) << suffix;
  EXPECT_TRUE(fs::is_symlink(Path("top-link")));
  EXPECT_EQ(ReadFile(Path("outside/precious.txt")), "keep me");
  EXPECT_EQ(ReadFile(Path("outside/inner/also.txt")), "keep me too");
  EXPECT_EQ(ReadFile(Path("outside-file")), "keep");
}

// Every file and directory, below `root`, with the contents of the files and the targets of the
// links: what must stay as it was. Links are never followed.
std::vector<std::string> Snapshot(const std::string& root) {
  std::vector<std::string> entries;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    const fs::path& path = it->path();
    if (it->is_symlink())
      entries.push_back(path.string() + " -> " + fs::read_symlink(path).string());
    else if (it->is_regular_file())
      entries.push_back(path.string() + " = " + ReadFile(path));
    else
      entries.push_back(path.string() + "/");
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

// Whatever a path names through a link and "..", a command that deletes, renames or writes acts
// only on what the path's text names: a link as the last component is the link, a ".." after a
// link is refused, and links in the folders on the way (a home folder reached through one) are
// followed.
TEST_F(FileCommands, PathsThroughLinksActOnlyOnWhatTheirTextNames) {
  struct Case {
    const char* command;
    std::string arguments;  // "@" stands for the case's own folder
    Answer answer;          // the same substitution
    std::vector<std::string> gone;  // below the game folder
  } cases[] = {
      // A ".." after a link would reach the link target's parent.
      {"DELETE_CATALOGUE", "@/files/link6/..,x", {"DELETE_CATALOGUE", "0"}, {}},
      {"DELETE_CATALOGUE", "@/link8/A/..,x", {"DELETE_CATALOGUE", "0"}, {}},
      {"DELETE_CATALOGUE", "@/files/link6/../../outside6,x", {"DELETE_CATALOGUE", "0"}, {}},
      {"DELETE_SUB_DIRECTORY", "@/files/link6/..,*.*", {"DELETE_SUB_DIRECTORY", "1"}, {}},
      {"DELETE_SUB_DIRECTORY", "@/link8/A/..,*", {"DELETE_SUB_DIRECTORY", "1"}, {}},
      {"DELETE_SUB_DIRECTORY", "@/files,link6/../*", {"DELETE_SUB_DIRECTORY", "1"}, {}},
      {"DELETE_FILE", "@/files/link6/../sibling.txt", {"DELETE_FILE_FAILTE", "@/files/link6/../sibling.txt"}, {}},
      {"FILE_REPLACE_NAME", "@/files/link6/../sibling.txt,@/files/moved.txt",
       {"FILE_REPLACE_NAME", "@/files/link6/../sibling.txt"}, {}},
      {"FILE_REPLACE_NAME", "@/files/keep.txt,@/files/link6/../planted.txt",
       {"FILE_REPLACE_NAME", "@/files/keep.txt"}, {}},
      {"WRITE_FILE", "@/files/link6/../planted.txt,41", {"WRITE_FILE", "0"}, {}},
      {"DECOMPRESS", "@/files/stored.qlz,@/files/link6/../planted.txt",
       {"DECOMPRESS_FAILTE", "@/files/stored.qlz"}, {}},
      // A download's folders are made on the way: a ".." after a link is refused before any request.
      {"START_DOWNLOAD", "http://127.0.0.1:9/x,@/files/link6/../planted.txt",
       {"LOADER_FAILTE", "@/files/link6/../planted.txt"}, {}},
      {"START_DOWNLOAD", "http://127.0.0.1:9/x,@/files/link6/new/../../planted.txt",
       {"LOADER_FAILTE", "@/files/link6/new/../../planted.txt"}, {}},
      // A link named itself is the link.
      {"DELETE_CATALOGUE", "@/files/link6,x", {"DELETE_CATALOGUE", "0"}, {}},
      {"DELETE_FILE", "@/files/link6", {"DELETE_FILE_SUCC", "@/files/link6"}, {"link6"}},
      {"FILE_REPLACE_NAME", "@/files/link6,@/files/renamed-link", {"FILE_REPLACE_NAME", "@/files/link6"}, {"link6"}},
      // Links on the way and ".." before any link, and any separators and bytes, are fine.
      {"DELETE_CATALOGUE", "@/files/via-link/sub,x", {"DELETE_CATALOGUE", "1"}, {"real/sub"}},
      {"DELETE_CATALOGUE", "@/files/sub/../sub,x", {"DELETE_CATALOGUE", "1"}, {"sub"}},
      {"DELETE_CATALOGUE", "@/files/sub/deeper/..,x", {"DELETE_CATALOGUE", "1"}, {"sub"}},
      {"DELETE_CATALOGUE", "@//files//sub/./,x", {"DELETE_CATALOGUE", "1"}, {"sub"}},
      {"DELETE_SUB_DIRECTORY", "@/files/via-link,sub", {"DELETE_SUB_DIRECTORY", "1"}, {"real/sub"}},
      {"DELETE_FILE", "@/files/via-link/\xff\xfe.txt", {"DELETE_FILE_SUCC", "@/files/via-link/\xff\xfe.txt"},
       {"real/\xff\xfe.txt"}},
      {"DELETE_FILE", "@/files/sub/", {"DELETE_FILE_FAILTE", "@/files/sub/"}, {}},
      {"WRITE_FILE", "@/files/via-link/../keep.txt,41", {"WRITE_FILE", "0"}, {}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    // A tree of the case's own: the game folder and, beside it, what must never change.
    const std::string root = Path("case" + std::to_string(i));
    WriteFile(root + "/outside6/o/inner.txt", "inner");
    WriteFile(root + "/outside6/sibling.txt", "sibling");
    WriteFile(root + "/target8/A/a.txt", "a");
    WriteFile(root + "/target8/x.txt", "x");
    fs::create_directory_symlink(root + "/target8", root + "/link8");
    const std::string game = root + "/files";
    WriteFile(game + "/keep.txt", "keep");
    WriteFile(game + "/sub/deeper/file", "deep");
    WriteFile(game + "/real/sub/file", "real");
    WriteFile(game + "/real/\xff\xfe.txt", "bytes");
    WriteFile(game + "/stored.qlz", std::string("\x00\x04\x01" "A", 4));
    fs::create_directory_symlink(root + "/outside6/o", game + "/link6");
    fs::create_directory_symlink("real", game + "/via-link");
    const std::vector<std::string> outside = Snapshot(root + "/outside6");
    const std::vector<std::string> target = Snapshot(root + "/target8");
    std::vector<std::string> expectedGame = Snapshot(game);
    for (const std::string& name : c.gone)
      std::erase_if(expectedGame, [&](const std::string& entry) { return entry.rfind(game + "/" + name, 0) == 0; });

    auto substitute = [&](std::string text) {
      for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + root.size()))
        text.replace(at, 1, root);
      return text;
    };
    Answer expected;
    for (const std::string& value : c.answer) expected.push_back(substitute(value));
    EXPECT_EQ(Run(c.command, substitute(c.arguments)), expected) << c.command << " " << c.arguments;
    EXPECT_EQ(Snapshot(root + "/outside6"), outside) << c.command << " " << c.arguments;
    EXPECT_EQ(Snapshot(root + "/target8"), target) << c.command << " " << c.arguments;
    std::vector<std::string> gameAfter = Snapshot(game);
    std::erase_if(gameAfter, [&](const std::string& entry) {
      return entry.rfind(game + "/moved.txt", 0) == 0 || entry.rfind(game + "/renamed-link", 0) == 0;
    });
    EXPECT_EQ(gameAfter, expectedGame) << c.command << " " << c.arguments;
  }
}

TEST_F(FileCommands, DeleteCatalogueRemovesATreeDeeperThanTheDescriptorLimit) {
  // 3,000 levels, made folder by folder: the whole path is longer than the system takes at once.
  constexpr int kDepth = 3000;
  fs::create_directories(Path("deep"));
  int fd = open(Path("deep").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int level = 0; level < kDepth && fd >= 0; ++level) {
    mkdirat(fd, "d", 0755);
    int child = openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    fd = child;
  }
  ASSERT_GE(fd, 0);
  close(openat(fd, "bottom.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  close(fd);

  // Far fewer descriptors than levels: a walk holding one per level runs out.
  rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit limited = saved;
  limited.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 256);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limited), 0);
  Answer answer = Run("DELETE_CATALOGUE", Path("deep") + ",x");
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(answer, (Answer{"DELETE_CATALOGUE", "1"}));
  EXPECT_FALSE(PathExists(Path("deep")));
}

TEST_F(FileCommands, DeleteCatalogueRefusesTheRootAndHomeFoldersHoweverNamed) {
  // Run where a regression could lose nothing: a child whose root folder is a fresh tmpfs in a
  // mount namespace of its own. The child reports the first case that went wrong. The home folder
  // is reached through a link, as where /home is a link to /var/home.
  const std::vector<std::string> refused = {
      "", "/", "//", "/.", "/home/..", "/home/user", "/home/user/", "/home/user/../user", "/var/home/user",
      "/home/link-to-root",
      // the folders that hold the home folder, however named
      "/home", "/var/home", "/var/home/user/game/..", "/var"};
  int status = testing_support::RunWithTmpfsAsRoot([&] {
    auto keptAll = [] {
      return PathExists("/canary") && PathExists("/var/home/user/canary") && PathExists("/var/home/user/game/canary") &&
             PathExists("/home/link-to-root");
    };
    WriteFile("/canary", "x");
    WriteFile("/var/home/user/canary", "x");
    WriteFile("/var/home/user/game/canary", "x");
    fs::create_directory_symlink("/var/home", "/home");
    fs::create_directory_symlink("/", "/home/link-to-root");
    setenv("HOME", "/home/user", 1);
    for (size_t i = 0; i < refused.size(); ++i) {
      if (commands::DeleteDirectory(true, refused[i].c_str(), 1, "x") || !keptAll()) return 10 + static_cast<int>(i);
      commands::DeleteDirectory(false, refused[i].c_str(), 0, "*.*");
      if (!keptAll()) return 50 + static_cast<int>(i);
    }
    // A folder below the home folder goes, also reached through the link.
    if (!commands::DeleteDirectory(true, "/home/user/game", 1, "x") || PathExists("/var/home/user/game")) return 90;
    return 0;
  });
  if (status == testing_support::kNoPrivateRoot) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(status, 0) << "10 + i: case i not refused; 50 + i: case i as a pattern folder deleted something; 90: a "
                          "folder below the home folder not deleted";
}

TEST_F(FileCommands, DeleteCatalogueAnswersZeroWhenTheFolderItselfStays) {
  WriteFile(Path("a-file"), "x");
  EXPECT_EQ(Run("DELETE_CATALOGUE", Path("missing") + ",x"), (Answer{"DELETE_CATALOGUE", "0"}));
  EXPECT_EQ(Run("DELETE_CATALOGUE", Path("a-file") + ",x"), (Answer{"DELETE_CATALOGUE", "0"}));
  EXPECT_TRUE(PathExists(Path("a-file")));
  EXPECT_EQ(Run("DELETE_CATALOGUE", "/proc/self/fdinfo,x"), (Answer{"DELETE_CATALOGUE", "0"}));
}

TEST_F(FileCommands, DeleteCatalogueRemovesWhatItCanAroundAnUndeletableFile) {
  // Root may delete anything but an immutable file.
  WriteFile(Path("tree/a/b/locked"), "x");
  for (const char* file : {"tree/top", "tree/a/beside", "tree/a/b/next", "tree/c/d/e"}) WriteFile(Path(file), "x");
  auto chattr = [&](const char* change) {
    return testing_support::RunProcess({"/usr/bin/chattr", change, Path("tree/a/b/locked")}).exitStatus == 0;
  };
  if (!PathExists("/usr/bin/chattr") || !chattr("+i")) GTEST_SKIP() << "no immutable files here";
  Answer answer = Run("DELETE_CATALOGUE", Path("tree") + ",x");
  chattr("-i");
  EXPECT_EQ(answer, (Answer{"DELETE_CATALOGUE", "0"}));
  EXPECT_TRUE(PathExists(Path("tree/a/b/locked")));
  for (const char* gone : {"tree/top", "tree/a/beside", "tree/a/b/next", "tree/c"})
    EXPECT_FALSE(PathExists(Path(gone))) << gone;
}

TEST_F(FileCommands, DeleteSubDirectoryRemovesTheMatchingEntriesOfTheFolderOnly) {
  for (const char* file : {"dir/a.tmp", "dir/b.txt", "dir/x.tmp/inner.txt", "dir/x.tmp/deep/any", "dir/keep/c.tmp",
                           "dir/notmp", "dir/[ab].tmp", "outside/stays.tmp"})
    WriteFile(Path(file), "x");
  fs::create_directory_symlink(Path("outside"), Path("dir/link.tmp"));

  EXPECT_EQ(Run("DELETE_SUB_DIRECTORY", Path("dir") + ",*.tmp"), (Answer{"DELETE_SUB_DIRECTORY", "1"}));
  for (const char* gone : {"dir/a.tmp", "dir/x.tmp", "dir/[ab].tmp", "dir/link.tmp"})
    EXPECT_FALSE(PathExists(Path(gone))) << gone;
  for (const char* kept : {"dir", "dir/b.txt", "dir/keep/c.tmp", "dir/notmp", "outside/stays.tmp"})
    EXPECT_TRUE(PathExists(Path(kept))) << kept;
}

TEST_F(FileCommands, DeleteSubDirectoryPatternsFollowTheOriginalRules) {
  struct Case {
    const char* pattern;
    std::vector<std::string> gone;
    std::vector<std::string> kept;
  } cases[] = {
      {"*.*", {"a.tmp", "noext", ".hidden", "[ab].tmp"}, {}},
      {"?.tmp", {"a.tmp"}, {"[ab].tmp", "noext", ".hidden"}},
      {"[ab].tmp", {"[ab].tmp"}, {"a.tmp"}},
      {"noext", {"noext"}, {"a.tmp"}},
  };
  for (const Case& c : cases) {
    for (const char* file : {"a.tmp", "noext", ".hidden", "[ab].tmp"}) WriteFile(Path("dir/") + file, "x");
    EXPECT_EQ(Run("DELETE_SUB_DIRECTORY", Path("dir") + "," + c.pattern), (Answer{"DELETE_SUB_DIRECTORY", "1"}));
    for (const std::string& name : c.gone) EXPECT_FALSE(PathExists(Path("dir/" + name))) << c.pattern << " " << name;
    for (const std::string& name : c.kept) EXPECT_TRUE(PathExists(Path("dir/" + name))) << c.pattern << " " << name;
  }
  EXPECT_EQ(Run("DELETE_SUB_DIRECTORY", Path("missing") + ",*.*"), (Answer{"DELETE_SUB_DIRECTORY", "1"}));
}

TEST_F(FileCommands, HaveThisFileMatchesPathsAndPatterns) {
  WriteFile(Path("dir/data.bin"), "x");
  fs::create_symlink(Path("nowhere"), Path("dir/dangling"));
  // As in the original lookup, an existing folder's own "." entry matches `*`, `*.*` and `?`.
  fs::create_directories(Path("empty"));
  struct Case {
    std::string path;
    bool exists;
  } cases[] = {
      {Path("dir/data.bin"), true},    {Path("dir"), true},          {Path("dir/*.bin"), true},
      {Path("dir/d?ta.*"), true},      {Path("dir/*.*"), true},      {Path("dir/dangling"), true},
      {Path("empty/*"), true},         {Path("empty/*.*"), true},    {Path("empty/?"), true},
      {Path("dir/*.txt"), false},      {Path("empty/x*"), false},    {Path("missing"), false},
      {Path("missing/*.*"), false},    {Path("d*/data.bin"), false}, {"", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Run("HAVE_THIS_FILE", c.path), (Answer{c.exists ? "HAVE_FILE" : "NO_HAVE_FILE", c.path})) << c.path;
}

TEST_F(FileCommands, FileReplaceNameNeverReplacesAnExistingTarget) {
  WriteFile(Path("old"), "old content");
  WriteFile(Path("target"), "target content");
  EXPECT_EQ(Run("FILE_REPLACE_NAME", Path("old") + "," + Path("target")), (Answer{"FILE_REPLACE_NAME", Path("old")}));
  EXPECT_EQ(ReadFile(Path("old")), "old content");
  EXPECT_EQ(ReadFile(Path("target")), "target content");

  EXPECT_EQ(Run("FILE_REPLACE_NAME", Path("old") + "," + Path("new")), (Answer{"FILE_REPLACE_NAME", Path("old")}));
  EXPECT_FALSE(PathExists(Path("old")));
  EXPECT_EQ(ReadFile(Path("new")), "old content");

  EXPECT_EQ(Run("FILE_REPLACE_NAME", Path("missing") + "," + Path("other")),
            (Answer{"FILE_REPLACE_NAME", Path("missing")}));
}

TEST_F(FileCommands, FileReplaceNameMovesAFileToAnotherFileSystem) {
  // /dev/shm is a tmpfs of its own on the usual machine; the test's folder lies elsewhere.
  struct stat here {}, shared {};
  if (stat(m_dir.path().c_str(), &here) != 0 || stat("/dev/shm", &shared) != 0 || here.st_dev == shared.st_dev)
    GTEST_SKIP() << "no second file system here";
  char otherTemplate[] = "/dev/shm/brimtale-move-XXXXXX";
  ASSERT_NE(mkdtemp(otherTemplate), nullptr);
  const std::string other = otherTemplate;
  std::string content(300000, 'c');
  WriteFile(other + "/moved", content);
  chmod((other + "/moved").c_str(), 0640);
  EXPECT_EQ(Run("FILE_REPLACE_NAME", other + "/moved," + Path("moved")), (Answer{"FILE_REPLACE_NAME", other + "/moved"}));
  EXPECT_FALSE(PathExists(other + "/moved"));
  EXPECT_EQ(ReadFile(Path("moved")), content);
  struct stat moved {};
  EXPECT_EQ(stat(Path("moved").c_str(), &moved), 0);
  EXPECT_EQ(moved.st_mode & 0777, 0640u);

  // An existing target is never replaced, here either.
  WriteFile(other + "/again", "new");
  WriteFile(Path("target"), "old");
  Run("FILE_REPLACE_NAME", other + "/again," + Path("target"));
  EXPECT_EQ(ReadFile(other + "/again"), "new");
  EXPECT_EQ(ReadFile(Path("target")), "old");

  // A copy that fails half-way (a file size limit stands in for a full disk) leaves the source
  // whole and nothing at the target, staged or not.
  WriteFile(other + "/big", content);
  EXPECT_FALSE(WithFileSizeLimit(65536, [&] { return platform::RenameNoReplace(other + "/big", Path("big")); }));
  EXPECT_EQ(ReadFile(other + "/big"), content);
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(m_dir.path())) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"moved", "target"}));
  fs::remove_all(other);
}

TEST_F(FileCommands, GetNFolderAndGetParentFileAnswerFolders) {
  const std::string home = getenv("HOME");
  const char* previous = getenv("XDG_CONFIG_HOME");
  const std::string saved = previous != nullptr ? previous : "";
  setenv("XDG_CONFIG_HOME", Path("config").c_str(), 1);
  EXPECT_EQ(Run("GET_NFOLDER", "26"), (Answer{"GET_NFOLDER", Path("config")}));
  EXPECT_EQ(Run("GET_NFOLDER", "not a number"), (Answer{"GET_NFOLDER", home + "/Desktop"}));
  EXPECT_EQ(Run("GET_NFOLDER", "40"), (Answer{"GET_NFOLDER", home}));
  EXPECT_EQ(Run("GET_NFOLDER", "9999"), (Answer{"GET_NFOLDER", ""}));
  EXPECT_EQ(Run("GET_NFOLDER", "99999999999999999999"), (Answer{"GET_NFOLDER", ""}));
  EXPECT_EQ(Run("GET_PARENT_FILE", "ignored,entries"), (Answer{"GET_PARENT_FILE", fs::current_path().string()}));
  if (previous != nullptr)
    setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  else
    unsetenv("XDG_CONFIG_HOME");
}

TEST_F(FileCommands, WrongEntryCountsAreLoggedAndNeverAnswered) {
  struct Case {
    const char* command;
    const char* arguments;
    const char* message;
  } cases[] = {
      {"GET_NFOLDER", "1,2", "GET_NFOLDER, argc must equal: 1"},
      {"READ_FILE", "a,b", "READ_FILE, argc must equal: 1"},
      {"WRITE_FILE", "a", "WRITE_FILE, argc must equal: 2"},
      {"WRITE_FILE", "a,b,c", "WRITE_FILE, argc must equal: 2"},
      {"DELETE_FILE", "a,", "DELETE_FILE, argc must equal: 1"},
      {"DELETE_CATALOGUE", "a", "DELETE_CATALOGUE, argc must equal: 2"},
      {"DELETE_SUB_DIRECTORY", "a", "DELETE_SUB_DIRECTORY, argc must equal: 2"},
      {"HAVE_THIS_FILE", ",", "HAVE_THIS_FILE, argc must equal: 1"},
      {"FILE_REPLACE_NAME", "a,b,c", "FILE_REPLACE_NAME, argc must equal: 2"},
  };
  for (const Case& c : cases) {
    size_t mark = TestLogMessages().size();
    EXPECT_EQ(Run(c.command, c.arguments), Answer{}) << c.command;
    EXPECT_EQ(TestLogMessagesSince(mark),
              (std::vector<std::string>{std::string("DispatchFSCommand: ") + c.command + "\t" + c.arguments, c.message}));
  }
}

// A program that records its working directory and arguments, one per line, then renames its
// record into place (so a reader never sees half of it).
std::string WriteRecorder(const TempDir& dir, const std::string& name, const std::string& record,
                          const std::string& before = "") {
  std::string path = dir / name;
  WriteFile(path, "#!/bin/sh\n" + before + "{ pwd; for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done; } > '" + record +
                      ".part'\nmv '" + record + ".part' '" + record + "'\n");
  chmod(path.c_str(), 0755);
  return path;
}

std::string AwaitFile(const std::string& path) {
  for (int i = 0; i < 500 && !PathExists(path); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return ReadFile(path);
}

// A process handle as the movie sees it: a positive decimal number.
bool IsProcessHandle(const std::string& number) {
  return !number.empty() && number.find_first_not_of("0123456789") == std::string::npos && std::stoll(number) > 0;
}

TEST_F(FileCommands, RunFileStartsTheProgramWithItsWorkingDirectoryAndShellWords) {
  fs::create_directories(Path("work dir"));
  std::string program = WriteRecorder(m_dir, "recorder", Path("record"));
  Answer answer = Run("RUN_FILE", program + "," + Path("work dir") + ",-x,'two words',\"q\\\"uote\",$HOME");
  ASSERT_EQ(answer.size(), 3u);
  EXPECT_EQ(answer[0], "RUN_FILE");
  EXPECT_EQ(answer[1], program);
  EXPECT_TRUE(IsProcessHandle(answer[2])) << answer[2];
  EXPECT_EQ(AwaitFile(Path("record")), Path("work dir") + "\n[-x]\n[two words]\n[q\"uote]\n[$HOME]\n");
}

TEST_F(FileCommands, RunFileWithOneEntryRunsInTheLaunchersFolderWithoutParameters) {
  std::string program = WriteRecorder(m_dir, "recorder", Path("record"));
  Answer answer = Run("RUN_FILE", program);
  ASSERT_EQ(answer.size(), 3u);
  EXPECT_EQ(answer[0], "RUN_FILE");
  EXPECT_EQ(AwaitFile(Path("record")), fs::current_path().string() + "\n");
}

TEST_F(FileCommands, RunFileTakesTheFirstNonEmptyFieldAfterTheFileAsTheWorkingDirectory) {
  // "a,,-x" splits into a, -x and an empty entry: -x is the working directory, which is missing.
  std::string program = WriteRecorder(m_dir, "recorder", Path("record"));
  EXPECT_EQ(Run("RUN_FILE", program + ",,-x"), (Answer{"RUN_FILE_FAILTE", program, "3"}));
}

TEST_F(FileCommands, RunFileAnswersTheShellsFailureCodes) {
  WriteFile(Path("not-a-program"), "no interpreter line\n");
  chmod(Path("not-a-program").c_str(), 0755);
  struct Case {
    std::string arguments;
    std::string file;
    const char* code;
  } cases[] = {
      {Path("missing"), Path("missing"), "2"},
      {Path("missing-folder/program"), Path("missing-folder/program"), "3"},
      {Path("not-a-program"), Path("not-a-program"), "11"},
      {"no-such-program-anywhere-" + std::to_string(getpid()), "no-such-program-anywhere-" + std::to_string(getpid()), "2"},
      {Path("not-a-program") + "," + Path("missing-folder"), Path("not-a-program"), "3"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Run("RUN_FILE", c.arguments), (Answer{"RUN_FILE_FAILTE", c.file, c.code})) << c.arguments;
}

TEST_F(FileCommands, RunFileAndStopAnswersOnlyAfterTheProgramHasEnded) {
  std::string program = WriteRecorder(m_dir, "recorder", Path("record"), "sleep 0.4\n");
  auto start = std::chrono::steady_clock::now();
  Answer answer = Run("RUN_FILE_AND_STOP", program + "," + m_dir.path() + ",done");
  auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(answer.size(), 3u);
  EXPECT_EQ(answer[0], "RUN_FILE");
  EXPECT_EQ(answer[1], program);
  EXPECT_TRUE(IsProcessHandle(answer[2]));
  EXPECT_GE(waited, std::chrono::milliseconds(350));
  EXPECT_EQ(ReadFile(Path("record")), m_dir.path() + "\n[done]\n");  // already there: no waiting here
}

size_t OpenDescriptorCount() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

TEST_F(FileCommands, AnEndedProgramLeavesNoZombieOnceTheNextOneStarts) {
  std::string program = WriteRecorder(m_dir, "recorder", Path("record"), "echo $$ > '" + Path("pid") + "'\n");
  Answer first = Run("RUN_FILE", program);
  ASSERT_EQ(first.size(), 3u);
  AwaitFile(Path("record"));
  int pid = std::stoi(ReadFile(Path("pid")));
  platform::WaitForProcessHandle(std::stoll(first[2]));

  Answer second = Run("RUN_FILE_AND_STOP", program);
  ASSERT_EQ(second.size(), 3u);
  EXPECT_FALSE(PathExists("/proc/" + std::to_string(pid))) << "the first program is still a zombie";
  // Its handle now belongs to a reaped program: a wait on it returns at once.
  platform::WaitForProcessHandle(std::stoll(first[2]));
}

TEST_F(FileCommands, ProcessHandlesAreUniqueAndHoldNoDescriptorOnceTheirProgramsEnded) {
  Answer first = Run("RUN_FILE_AND_STOP", "/bin/true");
  ASSERT_EQ(first.size(), 3u);
  size_t descriptors = OpenDescriptorCount();
  std::set<std::string> handles{first[2]};
  for (int i = 0; i < 300; ++i) {
    Answer answer = Run(i % 2 == 0 ? "RUN_FILE_AND_STOP" : "RUN_FILE", "/bin/true");
    ASSERT_EQ(answer.size(), 3u);
    EXPECT_TRUE(handles.insert(answer[2]).second) << "handle " << answer[2] << " given twice";
    if (i % 2 != 0) platform::WaitForProcessHandle(std::stoll(answer[2]));
  }
  EXPECT_LE(OpenDescriptorCount(), descriptors + 2) << "a descriptor per ended program";

  // The handle of an ended program is never taken for a running one's, whatever descriptors are
  // reused: waiting on it returns at once while the other program runs on.
  WriteFile(Path("sleeper"), "#!/bin/sh\necho $$ > '" + Path("sleeper.part") + "'\nmv '" + Path("sleeper.part") +
                                 "' '" + Path("sleeper.pid") + "'\nexec sleep 600\n");
  chmod(Path("sleeper").c_str(), 0755);
  Answer sleeper = Run("RUN_FILE", Path("sleeper"));
  ASSERT_EQ(sleeper.size(), 3u);
  int sleeperPid = std::stoi(AwaitFile(Path("sleeper.pid")));
  for (const std::string& handle : handles) platform::WaitForProcessHandle(std::stoll(handle));
  EXPECT_TRUE(platform::KillProcess(sleeperPid));
  platform::WaitForProcessHandle(std::stoll(sleeper[2]));
}

TEST_F(FileCommands, RunFileAndStopAnswersAFailedStartAtOnce) {
  EXPECT_EQ(Run("RUN_FILE_AND_STOP", Path("missing")), (Answer{"RUN_FILE_FAILTE", Path("missing"), "2"}));
}

// PATH replaced for one test, restored afterwards.
class ScopedPath {
 public:
  explicit ScopedPath(const std::string& path) : m_saved(getenv("PATH") != nullptr ? getenv("PATH") : "") {
    setenv("PATH", path.c_str(), 1);
  }
  ~ScopedPath() { setenv("PATH", m_saved.c_str(), 1); }

 private:
  std::string m_saved;
};

TEST_F(FileCommands, DocumentsFoldersAndUrlsGoToTheDesktopsOpener) {
  fs::create_directories(Path("bin"));
  WriteRecorder(m_dir, "bin/xdg-open", Path("opened"));
  WriteFile(Path("notes.txt"), "a document");
  fs::create_directories(Path("folder"));
  ScopedPath path(Path("bin") + ":/usr/bin:/bin");
  struct Case {
    std::string file;
    std::string opened;
  } cases[] = {
      {Path("notes.txt"), Path("notes.txt")},
      {Path("folder"), Path("folder")},
      {"https://example.org/page?a=1", "https://example.org/page?a=1"},
  };
  for (const Case& c : cases) {
    fs::remove(Path("opened"));
    Answer answer = Run("RUN_FILE_AND_STOP", c.file + "," + Path("folder") + ",-ignored");
    ASSERT_EQ(answer.size(), 3u) << c.file;
    EXPECT_EQ(answer[0], "RUN_FILE") << c.file;
    EXPECT_EQ(ReadFile(Path("opened")), Path("folder") + "\n[" + c.opened + "]\n") << c.file;
  }
}

TEST_F(FileCommands, WithoutAnOpenerADocumentHasNoAssociation) {
  WriteFile(Path("notes.txt"), "a document");
  ScopedPath path(Path("empty-path"));
  EXPECT_EQ(Run("RUN_FILE", Path("notes.txt")), (Answer{"RUN_FILE_FAILTE", Path("notes.txt"), "31"}));
}

TEST(SplitShellWords, SplitsAsAShellDoesWithoutExpanding) {
  struct Case {
    const char* text;
    std::vector<std::string> words;
  } cases[] = {
      {"", {}},
      {"   ", {}},
      {"-x -y", {"-x", "-y"}},
      {"  a\t b\n", {"a", "b"}},
      {"'a b' \"c d\"", {"a b", "c d"}},
      {"a'b c'd", {"ab cd"}},
      {"\"\" ''", {"", ""}},
      {"\"a\\\"b\\\\c\\n\"", {"a\"b\\c\\n"}},
      {"'a\\b'", {"a\\b"}},
      {"a\\ b", {"a b"}},
      {"$HOME *.txt `x`", {"$HOME", "*.txt", "`x`"}},
      {"'unterminated quote", {"unterminated quote"}},
      {"trailing\\", {"trailing\\"}},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::SplitShellWords(c.text), c.words) << c.text;
}

}  // namespace
