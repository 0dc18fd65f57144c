// The log as whole runs see it: each case starts a fresh process that writes through WriteLog.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>

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
  LogRun() { std::filesystem::create_directories(home() + "/Documents"); }
  std::string home() const { return m_dir / "home"; }
  std::string folder() const { return home() + "/Documents/zelqlog"; }
  std::string path() const { return folder() + "/log.txt"; }
  void MakeFolder() { std::filesystem::create_directories(folder()); }

  void Run(std::vector<std::string> ops) {
    ops.insert(ops.begin(), BRIMTALE_LOG_WRITER_PATH);
    testing_support::ProcessOptions options;
    options.environment["HOME"] = home();
    options.environment["XDG_CONFIG_HOME"] = home() + "/.config";
    auto result = testing_support::RunProcess(ops, options);
    ASSERT_TRUE(result.exited) << result.output;
    ASSERT_EQ(result.exitStatus, 0) << result.output;
  }

  TempDir m_dir;
};

TEST_F(LogRun, FirstLineOfARunWritesTheBannerThenPrefixedLines) {
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

// What stands at the log's path is the user's: a link is followed as a file is, and a folder or a
// FIFO there leaves the run unlogged without a failure or a wait (the FIFO has no reader).
TEST_F(LogRun, PathOfAnotherKindIsFollowedOrLeftWithoutFailingOrWaiting) {
  enum class Kind { kLinkToFile, kDanglingLink, kFolder, kFifo };
  struct Case {
    const char* name;
    Kind kind;
    bool logged;  // the lines reach the file behind the path
  };
  for (Case c : {Case{"link to a file", Kind::kLinkToFile, true}, Case{"dangling link", Kind::kDanglingLink, true},
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

TEST_F(LogRun, LinesFromManyThreadsNeverInterleave) {
  MakeFolder();
  Run({"threads:8:200"});
  auto lines = SplitLines(ReadFile(path()));
  const std::regex whole(
      R"(^\[PID:(\d+)\]\[TID:(\d+)\]\[\d\d:\d\d:\d\d\] thread (\d+) line (\d+) ([a-z])\5{199} end$)");
  std::map<int, std::set<int>> seen;
  std::map<int, std::set<std::string>> threadIds;  // each thread's lines name it alone
  std::set<std::string> processIds;
  for (size_t i = 2; i < lines.size(); ++i) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[i], match, whole)) << "torn line: " << lines[i].substr(0, 120);
    seen[std::stoi(match[3])].insert(std::stoi(match[4]));
    threadIds[std::stoi(match[3])].insert(match[2]);
    processIds.insert(match[1]);
  }
  ASSERT_EQ(seen.size(), 8u);
  for (const auto& [thread, numbers] : seen) EXPECT_EQ(numbers.size(), 200u) << "thread " << thread;
  std::set<std::string> distinct;
  for (const auto& [thread, ids] : threadIds) {
    EXPECT_EQ(ids.size(), 1u) << "thread " << thread;
    distinct.insert(ids.begin(), ids.end());
  }
  EXPECT_EQ(distinct.size(), 8u);
  EXPECT_EQ(processIds.size(), 1u);
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
