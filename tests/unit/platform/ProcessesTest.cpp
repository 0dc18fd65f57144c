// Processes, the OS version and the environment, against the real system: real children, real
// process handles, real signals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "platform/Environment.h"
#include "platform/Processes.h"
#include "platform/Spawn.h"
#include "platform/SystemInfo.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

pid_t StartChild(const char* seconds) {
  pid_t child = fork();
  if (child == 0) {
    execl("/bin/sleep", "sleep", seconds, static_cast<char*>(nullptr));
    _exit(127);
  }
  return child;
}

// Runs `body` in a forked child that leads a process group of its own; returns its wait status.
template <typename Body>
int RunInOwnGroup(Body body) {
  pid_t child = fork();
  if (child == 0) {
    setpgid(0, 0);
    body();
    _exit(7);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return status;
}

TEST(ProcessHandleWait, ReturnsWhenTheProcessBehindTheHandleEnds) {
  platform::SpawnResult child = platform::SpawnProcess("/bin/sleep", {"sleep", "0.4"}, "");
  ASSERT_NE(child.processHandle, 0);
  auto start = Clock::now();
  platform::WaitForProcessHandle(child.processHandle);
  EXPECT_GE(Clock::now() - start, 300ms);
  EXPECT_EQ(waitpid(child.pid, nullptr, WNOHANG), child.pid);  // it has ended
}

TEST(ProcessHandleWait, NumbersThatAreNoProcessHandleReturnAtOnce) {
  // Descriptor numbers are no handles, not even a pidfd's own.
  int regularFile = open("/dev/null", O_RDONLY);
  ASSERT_GE(regularFile, 0);
  pid_t sleeper = StartChild("30");
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, sleeper, 0));
  ASSERT_GE(pidfd, 0);
  for (int64_t number :
       {int64_t{0}, int64_t{-1}, int64_t{regularFile}, int64_t{pidfd}, int64_t{987654}, int64_t{1} << 40}) {
    auto start = Clock::now();
    platform::WaitForProcessHandle(number);
    EXPECT_LT(Clock::now() - start, 200ms) << number;
  }
  close(regularFile);
  close(pidfd);
  kill(sleeper, SIGKILL);
  waitpid(sleeper, nullptr, 0);
}

TEST(KillProcess, EndsARealChildWithSigkill) {
  pid_t child = StartChild("30");
  EXPECT_TRUE(platform::KillProcess(child));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
}

TEST(KillProcess, NeverSignalsAGroupForZeroOrNegativeIds) {
  // Were the id passed on, the child would kill its own group, itself included.
  int zero = RunInOwnGroup([] { platform::KillProcess(0); });
  ASSERT_TRUE(WIFEXITED(zero));
  EXPECT_EQ(WEXITSTATUS(zero), 7);
  int negative = RunInOwnGroup([] { platform::KillProcess(-static_cast<int64_t>(getpid())); });
  ASSERT_TRUE(WIFEXITED(negative));
  EXPECT_EQ(WEXITSTATUS(negative), 7);
  EXPECT_FALSE(platform::KillProcess(0));
}

TEST(ListProcesses, AscendingIdsWithTheExecutableFileNames) {
  pid_t child = StartChild("30");
  std::this_thread::sleep_for(100ms);  // let it exec
  auto processes = platform::ListProcesses();
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  ASSERT_TRUE(processes.has_value());
  bool self = false;
  bool sleeper = false;
  for (size_t i = 0; i < processes->size(); ++i) {
    const auto& process = (*processes)[i];
    if (i > 0) {
      EXPECT_LT((*processes)[i - 1].id, process.id);
    }
    EXPECT_FALSE(process.exeFile.empty());
    if (process.id == static_cast<uint32_t>(getpid())) self = process.exeFile == "unit_platform";
    if (process.id == static_cast<uint32_t>(child)) sleeper = process.exeFile == "sleep";
  }
  EXPECT_TRUE(self);
  EXPECT_TRUE(sleeper);
}

TEST(RemoveDirectoryTree, RemovesTheTreeWithoutBeingWaitedFor) {
  testing_support::TempDir dir;
  std::string tree = dir / "Cache";
  std::filesystem::create_directories(tree + "/a/b");
  testing_support::WriteFile(tree + "/a/b/file", "x");
  testing_support::WriteFile(tree + "/name with blank", "x");
  ASSERT_TRUE(platform::StartRemovingDirectoryTree(tree));
  for (int i = 0; i < 100 && std::filesystem::exists(tree); ++i) std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(std::filesystem::exists(tree));
  EXPECT_TRUE(std::filesystem::exists(dir.path()));
}

TEST(KernelRelease, ReadsMajorMinorPatch) {
  struct Case {
    const char* release;
    uint32_t major, minor, patch;
  } cases[] = {
      {"6.1.0-18-amd64", 6, 1, 0},
      {"5.15.153.1-microsoft-standard-WSL2", 5, 15, 153},
      {"6.8", 6, 8, 0},
      {"4.19.0+", 4, 19, 0},
      {"", 0, 0, 0},
      {"99999999999.1.2", UINT32_MAX, 1, 2},
  };
  for (const auto& c : cases) {
    auto version = platform::ParseKernelRelease(c.release);
    EXPECT_EQ(version.majorVersion, c.major) << c.release;
    EXPECT_EQ(version.minorVersion, c.minor) << c.release;
    EXPECT_EQ(version.buildNumber, c.patch) << c.release;
    EXPECT_EQ(version.platformId, 2u);
    EXPECT_EQ(version.productType, 1u);
  }
}

TEST(Environment, SetReadsBackAndRefusesMalformedNames) {
  std::string longValue(70000, 'v');
  EXPECT_TRUE(platform::SetEnvironmentVariable("BRIMTALE_TEST_LONG", longValue));
  EXPECT_EQ(platform::GetEnvironmentVariable("BRIMTALE_TEST_LONG"), longValue);
  EXPECT_TRUE(platform::SetEnvironmentVariable("BRIMTALE_TEST_EMPTY", ""));
  EXPECT_EQ(platform::GetEnvironmentVariable("BRIMTALE_TEST_EMPTY"), "");
  EXPECT_FALSE(platform::GetEnvironmentVariable("BRIMTALE_TEST_NEVER_SET").has_value());
  EXPECT_FALSE(platform::SetEnvironmentVariable("", "x"));
  EXPECT_FALSE(platform::SetEnvironmentVariable("A=B", "x"));
  EXPECT_FALSE(platform::GetEnvironmentVariable("A").has_value());
  // "name=value" and its NUL must fit the kernel's 131072 bytes for one string of a new program.
  const std::string name = "BRIMTALE_TEST_LIMIT";
  EXPECT_TRUE(platform::SetEnvironmentVariable(name, std::string(131072 - name.size() - 2, 'v')));
  EXPECT_FALSE(platform::SetEnvironmentVariable(name, std::string(131072 - name.size() - 1, 'w')));
  EXPECT_EQ(platform::GetEnvironmentVariable(name)->size(), 131072 - name.size() - 2);
  platform::SpawnResult child = platform::SpawnProcess("/bin/true", {"true"}, "");
  EXPECT_EQ(child.error, 0) << "a program still starts with the longest value";
  if (child.processHandle != 0) platform::WaitForProcessHandle(child.processHandle);
  platform::SetEnvironmentVariable(name, "");
}

// The web views' processes never choose JACK by themselves; ranks the user gave are kept, and a
// user who ranks JACK is left with that choice. A program started for the player gets the user's
// own ranks back, or the movie's if it set them since.
TEST(Environment, WebViewSoundStaysOffJackUnlessTheUserRanksIt) {
  const std::optional<std::string> theirs = platform::GetEnvironmentVariable("GST_PLUGIN_FEATURE_RANK");
  testing_support::TempDir dir;
  const std::string seen = dir.path() + "/seen";
  const struct {
    std::optional<std::string> before;
    std::string after;
    std::optional<std::string> movieSets;  // SET_ENVIRONMENT after the change
    std::string program;                   // what a started program sees ("unset": nothing)
  } cases[] = {
      {std::nullopt, "jackaudiosink:NONE", std::nullopt, "unset"},
      {"pulsesink:MAX", "pulsesink:MAX,jackaudiosink:NONE", std::nullopt, "pulsesink:MAX"},
      {"jackaudiosink:PRIMARY", "jackaudiosink:PRIMARY", std::nullopt, "jackaudiosink:PRIMARY"},
      {std::nullopt, "jackaudiosink:NONE", "alsasink:MAX", "alsasink:MAX"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before.value_or("(unset)"));
    if (c.before) setenv("GST_PLUGIN_FEATURE_RANK", c.before->c_str(), 1);
    else unsetenv("GST_PLUGIN_FEATURE_RANK");
    platform::KeepWebViewSoundOffJack();
    EXPECT_EQ(platform::GetEnvironmentVariable("GST_PLUGIN_FEATURE_RANK"), c.after);
    if (c.movieSets) platform::SetEnvironmentVariable("GST_PLUGIN_FEATURE_RANK", *c.movieSets);
    platform::SpawnResult child = platform::SpawnProcess(
        "/bin/sh", {"sh", "-c", "printf %s \"${GST_PLUGIN_FEATURE_RANK-unset}\" > \"$0\"", seen}, "");
    ASSERT_EQ(child.error, 0);
    platform::WaitForProcessHandle(child.processHandle);
    EXPECT_EQ(testing_support::ReadFile(seen), c.program);
  }
  if (theirs) setenv("GST_PLUGIN_FEATURE_RANK", theirs->c_str(), 1);
  else unsetenv("GST_PLUGIN_FEATURE_RANK");
}

TEST(Environment, ReadersOnOtherThreadsSeeAWholeEnvironmentWhileVariablesAreAdded) {
  // Adding variables through the C library moves its array under readers (a use after free that
  // the address sanitizer build reports, and that can crash any build).
  std::atomic<bool> stop{false};
  std::atomic<long> reads{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 2; ++i)
    readers.emplace_back([&] {
      while (!stop) {
        if (getenv("BRIMTALE_TEST_NEVER_SET") == nullptr && getenv("PATH") != nullptr) ++reads;
      }
    });
  for (int i = 0; i < 3000; ++i)
    ASSERT_TRUE(platform::SetEnvironmentVariable("BRIMTALE_TEST_MANY_" + std::to_string(i), std::to_string(i)));
  stop = true;
  for (auto& reader : readers) reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(platform::GetEnvironmentVariable("BRIMTALE_TEST_MANY_0"), "0");
  EXPECT_EQ(platform::GetEnvironmentVariable("BRIMTALE_TEST_MANY_2999"), "2999");
  EXPECT_TRUE(platform::SetEnvironmentVariable("BRIMTALE_TEST_MANY_7", "replaced"));
  EXPECT_EQ(platform::GetEnvironmentVariable("BRIMTALE_TEST_MANY_7"), "replaced");
}

}  // namespace
