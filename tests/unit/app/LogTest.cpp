// The log as whole runs see it: each case starts a fresh process that writes through WriteLog.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <thread>

#include "base/Log.h"
#include "support/TestSupport.h"

namespace {

using testing_support::PathExists;
using testing_support::ReadFile;
using testing_support::SplitLines;
using testing_support::TempDir;
using testing_support::WriteFile;

const std::regex kPrefix(R"(^\[PID:\d+\]\[TID:\d+\]\[\d\d:\d\d:\d\d\] )");
const std::regex kBanner(R"(^================ Started in \d{4}-\d\d-\d\d \d\d:\d\d:\d\d ================$)");

class LogRun : public ::testing::Test {
 protected:
  LogRun() { UseHome("home"); }
  // The user's home folder, by its name under the test's folder (any bytes).
  void UseHome(const std::string& name) {
    m_home = m_dir / name;
    std::filesystem::create_directories(home() + "/Documents");
  }
  std::string home() const { return m_home; }
  std::string folder() const { return home() + "/Documents/zelqlog"; }
  std::string path() const { return folder() + "/log.txt"; }
  void MakeFolder() { std::filesystem::create_directories(folder()); }

  testing_support::ProcessOptions WriterOptions() const {
    testing_support::ProcessOptions options;
    options.environment["HOME"] = home();
    options.environment["XDG_CONFIG_HOME"] = home() + "/.config";
    return options;
  }

  void Run(std::vector<std::string> ops) {
    ops.insert(ops.begin(), BRIMTALE_LOG_WRITER_PATH);
    auto result = testing_support::RunProcess(ops, WriterOptions());
    ASSERT_TRUE(result.exited) << result.output;
    ASSERT_EQ(result.exitStatus, 0) << result.output;
  }

  // `count` writers at once, each running `ops`.
  void RunAtOnce(int count, const std::vector<std::string>& ops) {
    std::vector<std::string> argv{BRIMTALE_LOG_WRITER_PATH};
    argv.insert(argv.end(), ops.begin(), ops.end());
    std::vector<std::unique_ptr<testing_support::ChildProcess>> writers;
    for (int i = 0; i < count; ++i)
      writers.push_back(std::make_unique<testing_support::ChildProcess>(argv, WriterOptions()));
    for (auto& writer : writers) {
      auto result = writer->Wait();
      ASSERT_TRUE(result.exited) << result.output;
      ASSERT_EQ(result.exitStatus, 0) << result.output;
    }
  }

  TempDir m_dir;
  std::string m_home;
};

// Also in a home folder whose name is not UTF-8: the path is bytes to the system.
TEST_F(LogRun, FirstLineOfARunWritesTheBannerThenPrefixedLines) {
  for (const char* name : {"home", "h\xE9\xFF\xFE"}) {
    SCOPED_TRACE(name);
    UseHome(name);
    MakeFolder();
    Run({"line:Config Loaded", "line:LauncherType: 3"});
    auto lines = SplitLines(ReadFile(path()));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "");  // the banner begins with an empty line
    EXPECT_TRUE(std::regex_match(lines[1], kBanner)) << lines[1];
    EXPECT_TRUE(std::regex_search(lines[2], kPrefix));
    EXPECT_EQ(testing_support::LogMessage(lines[2]), "Config Loaded");
    EXPECT_EQ(testing_support::LogMessage(lines[3]), "LauncherType: 3");
    EXPECT_NE(ReadFile(path()).find("[PID:"), std::string::npos);
  }
}

TEST_F(LogRun, MissingFolderKeepsTheWholeRunUnloggedEvenWhenCreatedLater) {
  Run({"line:before", "mkdir", "line:after"});
  EXPECT_TRUE(PathExists(folder()));
  EXPECT_FALSE(PathExists(path()));
  // The next run finds the folder and logs.
  Run({"line:next run"});
  EXPECT_NE(ReadFile(path()).find("next run"), std::string::npos);
}

TEST_F(LogRun, FileAtTheLimitIsRestartedAndOneByteBelowIsKept) {
  struct Case {
    long size;
    bool restarted;
  };
  for (Case c : {Case{logfile::kRestartSize, true}, Case{logfile::kRestartSize - 1, false}}) {
    SCOPED_TRACE(c.size);
    MakeFolder();
    std::string old(static_cast<size_t>(c.size - 9), 'o');
    WriteFile(path(), old + "old last\n");
    Run({"line:fresh"});
    std::string text = ReadFile(path());
    if (c.restarted) {
      EXPECT_EQ(text.rfind("\n================ Started in ", 0), 0u);
      EXPECT_EQ(text.find("old last"), std::string::npos);
    } else {
      const std::string banner = "\n================ Started in ";
      EXPECT_EQ(text.compare(0, static_cast<size_t>(c.size), old + "old last\n"), 0);
      EXPECT_EQ(text.compare(static_cast<size_t>(c.size), banner.size(), banner), 0);
    }
    EXPECT_NE(text.find("fresh\n"), std::string::npos);
    std::filesystem::remove(path());
  }
}

// What stands at the log's path is the user's: a link (symbolic or hard) is followed as a file is,
// and a device, a folder or a FIFO there leaves the run unlogged without a failure or a wait (the
// FIFO has no reader).
TEST_F(LogRun, PathOfAnotherKindIsFollowedOrLeftWithoutFailingOrWaiting) {
  enum class Kind { kLinkToFile, kDanglingLink, kHardLink, kDevice, kFolder, kFifo };
  struct Case {
    const char* name;
    Kind kind;
    bool logged;  // the lines reach the file behind the path
  };
  for (Case c : {Case{"link to a file", Kind::kLinkToFile, true}, Case{"dangling link", Kind::kDanglingLink, true},
                 Case{"hard link", Kind::kHardLink, true}, Case{"link to a device", Kind::kDevice, false},
                 Case{"folder", Kind::kFolder, false}, Case{"fifo", Kind::kFifo, false}}) {
    SCOPED_TRACE(c.name);
    MakeFolder();
    const std::string target = m_dir / "elsewhere.txt";
    std::filesystem::remove(target);
    switch (c.kind) {
      case Kind::kLinkToFile:
        WriteFile(target, "");
        [[fallthrough]];
      case Kind::kDanglingLink:
        std::filesystem::create_symlink(target, path());
        break;
      case Kind::kHardLink:
        WriteFile(target, "");
        std::filesystem::create_hard_link(target, path());
        break;
      case Kind::kDevice:
        std::filesystem::create_symlink("/dev/null", path());
        break;
      case Kind::kFolder:
        std::filesystem::create_directory(path());
        break;
      case Kind::kFifo:
        ASSERT_EQ(mkfifo(path().c_str(), 0600), 0);
        break;
    }
    Run({"line:first", "line:second"});
    if (c.logged) {
      auto lines = SplitLines(ReadFile(target));
      ASSERT_EQ(lines.size(), 4u);
      EXPECT_EQ(testing_support::LogMessage(lines[3]), "second");
    }
    std::filesystem::remove(path());
  }
}

TEST_F(LogRun, TwoRunsLeaveTwoBannersInOrder) {
  MakeFolder();
  Run({"line:first run"});
  Run({"line:second run"});
  auto lines = SplitLines(ReadFile(path()));
  std::vector<std::string> kinds;
  for (const auto& line : lines)
    if (std::regex_match(line, kBanner))
      kinds.push_back("banner");
    else if (!line.empty())
      kinds.push_back(testing_support::LogMessage(line));
  EXPECT_EQ(kinds, (std::vector<std::string>{"banner", "first run", "banner", "second run"}));
}

TEST_F(LogRun, LineFeedInsideAFormatGivesTwoPhysicalLinesWithOnePrefix) {
  MakeFolder();
  Run({"format-lf"});
  auto lines = SplitLines(ReadFile(path()));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(testing_support::LogMessage(lines[2]), "first");
  EXPECT_TRUE(std::regex_search(lines[2], kPrefix));
  EXPECT_EQ(lines[3], "second");
}

// Eight threads of one process, and four threads each of two processes at once.
TEST_F(LogRun, LinesFromManyThreadsNeverInterleave) {
  struct Case {
    int processes;
    int threadsEach;
  };
  for (Case c : {Case{1, 8}, Case{2, 4}}) {
    SCOPED_TRACE(c.processes);
    MakeFolder();
    RunAtOnce(c.processes, {"threads:" + std::to_string(c.threadsEach) + ":200"});
    const std::regex whole(
        R"(^\[PID:(\d+)\]\[TID:(\d+)\]\[\d\d:\d\d:\d\d\] thread (\d+) line (\d+) ([a-z])\5{199} end$)");
    using Writer = std::pair<std::string, int>;  // process, thread number
    std::map<Writer, std::set<int>> seen;
    std::map<Writer, std::set<std::string>> threadIds;  // each thread's lines name it alone
    std::set<std::string> processIds;
    for (const std::string& line : SplitLines(ReadFile(path()))) {
      if (line.empty() || std::regex_match(line, kBanner)) continue;  // a banner per process
      std::smatch match;
      ASSERT_TRUE(std::regex_match(line, match, whole)) << "torn line: " << line.substr(0, 120);
      Writer writer{match[1], std::stoi(match[3])};
      seen[writer].insert(std::stoi(match[4]));
      threadIds[writer].insert(match[2]);
      processIds.insert(match[1]);
    }
    ASSERT_EQ(seen.size(), 8u);
    for (const auto& [writer, numbers] : seen) EXPECT_EQ(numbers.size(), 200u) << "thread " << writer.second;
    std::set<std::string> distinct;
    for (const auto& [writer, ids] : threadIds) {
      EXPECT_EQ(ids.size(), 1u) << "thread " << writer.second;
      distinct.insert(ids.begin(), ids.end());
    }
    EXPECT_EQ(distinct.size(), 8u);
    EXPECT_EQ(processIds.size(), static_cast<size_t>(c.processes));
    std::filesystem::remove(path());
  }
}

// A writer killed at any moment leaves whole lines but for its last, which the kernel may cut (a
// write that a fatal signal meets ends after the pages it has copied); the next run's banner
// begins on a line of its own all the same.
TEST_F(LogRun, AWriterKilledHalfWayCutsAtMostItsLastLine) {
  MakeFolder();
  testing_support::ChildProcess writer({BRIMTALE_LOG_WRITER_PATH, "endless"}, WriterOptions());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!PathExists(path()) || std::filesystem::file_size(path()) < 4u << 20) {
    ASSERT_TRUE(writer.IsRunning()) << writer.output();
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the log did not grow";
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(writer.pid(), SIGKILL);
  writer.Wait();
  Run({"line:after"});
  auto lines = SplitLines(ReadFile(path()));
  ASSERT_GE(lines.size(), 100u);
  EXPECT_EQ(testing_support::LogMessage(lines.back()), "after");
  EXPECT_TRUE(std::regex_match(lines[lines.size() - 2], kBanner)) << lines[lines.size() - 2].substr(0, 80);
  const std::regex whole(R"(^\[PID:\d+\]\[TID:\d+\]\[\d\d:\d\d:\d\d\] endless (\d+) y{12000} end$)");
  const std::regex cut(R"(^\[PID:\d+\]\[TID:\d+\]\[\d\d:\d\d:\d\d\] endless \d+ y*$)");
  long expected = 0;
  // The killed run's lines follow its banner; the next run's banner opens with a line feed, which
  // ends a cut line or, after a whole one, makes an empty line.
  size_t killedEnd = lines.size() - 2;
  if (lines[killedEnd - 1].empty()) --killedEnd;
  for (size_t i = 2; i < killedEnd; ++i) {
    std::smatch match;
    if (i + 1 == killedEnd && !std::regex_match(lines[i], whole)) {
      EXPECT_TRUE(std::regex_match(lines[i], cut)) << "not a line's start: " << lines[i].substr(0, 80);
      continue;
    }
    ASSERT_TRUE(std::regex_match(lines[i], match, whole)) << "torn line " << i << ": " << lines[i].substr(0, 80);
    EXPECT_EQ(std::stol(match[1]), expected++);
  }
}

// The prefix names the process and thread that wrote the line, also in a forked child of a
// process that has written before (its first thread is a copy of the forking one).
TEST_F(LogRun, PrefixNamesTheWritingProcessAndThreadAlsoAfterAFork) {
  MakeFolder();
  Run({"line:before", "fork"});
  auto lines = SplitLines(ReadFile(path()));
  ASSERT_EQ(lines.size(), 5u);
  const std::regex written(R"(^\[PID:(\d+)\]\[TID:(\d+)\]\[\d\d:\d\d:\d\d\] (child|parent) (\d+) (\d+)$)");
  std::set<std::string> processes;
  for (size_t i = 3; i < 5; ++i) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[i], match, written)) << lines[i];
    EXPECT_EQ(match[1], match[4]) << lines[i];
    EXPECT_EQ(match[2], match[5]) << lines[i];
    processes.insert(match[1]);
  }
  EXPECT_EQ(processes.size(), 2u);
}

TEST_F(LogRun, MessageOverTheLimitIsCutAtIt) {
  MakeFolder();
  Run({"long:40000", "line:after the long one"});
  auto lines = SplitLines(ReadFile(path()));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2].size(), static_cast<size_t>(logfile::kMaxLineCharacters));
  EXPECT_EQ(testing_support::LogMessage(lines[2]).find_first_not_of('x'), std::string::npos);
  EXPECT_EQ(testing_support::LogMessage(lines[3]), "after the long one");
}

}  // namespace
