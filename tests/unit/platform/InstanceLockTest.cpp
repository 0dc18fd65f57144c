// The single-instance lock on real folders, and its channel to the holder over a real socket.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "platform/InstanceLock.h"
#include "platform/MainLoop.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using platform::InstanceLock;
using Result = InstanceLock::Result;
using Answer = InstanceLock::PresentAnswer;

// How a folder of the search is prepared.
enum class Folder { kUsable, kMissing, kReadOnly, kHoldingLinks, kLink, kOpenToOthers };

bool Prepare(const std::string& folder, Folder kind, const std::string& lockFile) {
  switch (kind) {
    case Folder::kUsable:
      return fs::create_directories(folder) || fs::is_directory(folder);
    case Folder::kMissing:
      return true;
    case Folder::kReadOnly:
      fs::create_directories(folder);
      return mount("tmpfs", folder.c_str(), "tmpfs", MS_RDONLY, "size=64k") == 0;
    case Folder::kHoldingLinks:
      // What another user could plant in a shared folder: a link at the lock file's path.
      fs::create_directories(folder);
      return symlink("/planted-target", lockFile.c_str()) == 0;
    case Folder::kLink:
      fs::create_directories(fs::path(folder).parent_path());
      fs::create_directories("/elsewhere");
      return symlink("/elsewhere", folder.c_str()) == 0;
    case Folder::kOpenToOthers:
      fs::create_directories(folder);
      return chmod(folder.c_str(), 0777) == 0;
  }
  return false;
}

TEST(InstanceLock, TakesTheFirstFolderThatCanHoldItOrRefuses) {
  // Read-only mounts and planted links, made where they harm nothing: in a child whose root is a
  // fresh tmpfs in a mount namespace of its own. The child reports the first check that failed.
  const std::string name = "ZELQ_LAUNCHER_MUTEX_9.9.9.9";
  const std::string user = std::to_string(getuid());
  struct Case {
    const char* name;
    Folder runtime, temp, privateFolder;
    bool homeReadOnly;
    std::string expected;  // the lock file taken; empty when none can be
  };
  const std::string own = "/home/u/.cache/brimtale/lock";
  const std::vector<Case> cases = {
      {"the runtime folder", Folder::kUsable, Folder::kUsable, Folder::kMissing, false, "/run/u/" + name + ".lock"},
      {"no runtime folder", Folder::kMissing, Folder::kUsable, Folder::kMissing, false,
       "/tmp/" + name + "-" + user + ".lock"},
      {"both read-only", Folder::kReadOnly, Folder::kReadOnly, Folder::kMissing, false, own + "/" + name + ".lock"},
      {"both holding links", Folder::kHoldingLinks, Folder::kHoldingLinks, Folder::kMissing, false,
       own + "/" + name + ".lock"},
      {"a private folder open to others is closed first", Folder::kReadOnly, Folder::kReadOnly, Folder::kOpenToOthers,
       false, own + "/" + name + ".lock"},
      {"a private folder that is a link is never used", Folder::kReadOnly, Folder::kReadOnly, Folder::kLink, false, ""},
      {"nowhere", Folder::kReadOnly, Folder::kReadOnly, Folder::kMissing, true, ""},
  };
  int status = testing_support::RunWithTmpfsAsRoot([&] {
    for (size_t i = 0; i < cases.size(); ++i) {
      const Case& c = cases[i];
      const int fault = 10 * static_cast<int>(i + 1);
      fs::remove_all("/home");
      fs::create_directories("/home/u");
      if (c.homeReadOnly && mount("tmpfs", "/home/u", "tmpfs", MS_RDONLY, "size=64k") != 0) return fault + 1;
      const std::string runtime = "/run/u", temp = "/tmp";
      if (!Prepare(runtime, c.runtime, runtime + "/" + name + ".lock") ||
          !Prepare(temp, c.temp, temp + "/" + name + "-" + user + ".lock") ||
          (!c.homeReadOnly && !Prepare(own, c.privateFolder, own + "/" + name + ".lock")))
        return fault + 2;
      setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
      setenv("TMPDIR", temp.c_str(), 1);
      setenv("HOME", "/home/u", 1);
      unsetenv("XDG_CACHE_HOME");

      InstanceLock first, second;
      if (first.Acquire(name) != (c.expected.empty() ? Result::kFailed : Result::kAcquired)) return fault + 3;
      if (first.Path() != c.expected) return fault + 4;
      if (!c.expected.empty()) {
        // A second copy meets the first where it holds the lock: they never run side by side.
        if (second.Acquire(name) != Result::kHeldElsewhere || second.Path() != c.expected) return fault + 5;
        struct stat folder {};
        if (lstat(fs::path(c.expected).parent_path().c_str(), &folder) != 0) return fault + 6;
        if (c.expected.rfind(own, 0) == 0 && (folder.st_mode & 0777) != 0700) return fault + 7;
      }
      std::error_code error;
      if (fs::exists("/planted-target") || (fs::exists("/elsewhere") && !fs::is_empty("/elsewhere", error)))
        return fault + 8;
      first.Release();
      umount("/home/u");
      umount(runtime.c_str());
      umount(temp.c_str());
      fs::remove_all(runtime);
      fs::remove_all(temp);
    }
    return 0;
  });
  if (status == testing_support::kNoPrivateRoot) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(status, 0) << "case " << status / 10 << " (from 1) failed its check " << status % 10;
}

// A holder and a later copy of one lock, in one process: the holder answers from the main loop
// that the test runs while the later copy waits for the answer on a thread of its own.
class PresentChannel : public ::testing::Test {
 protected:
  void SetUp() override { setenv("XDG_RUNTIME_DIR", m_dir.path().c_str(), 1); }
  void TearDown() override { unsetenv("XDG_RUNTIME_DIR"); }

  Answer Ask(const InstanceLock& later, const std::string& startupId, int timeoutMs = 20000) {
    std::atomic<bool> done{false};
    auto answer = std::async(std::launch::async, [&] {
      Answer result = later.AskHolderToPresent(startupId, timeoutMs);
      done = true;
      platform::WakeMainLoop();
      return result;
    });
    platform::RunMainLoopUntil([&] { return done.load(); }, [] {});
    return answer.get();
  }

  std::string SocketPath() const { return m_dir / "Channel.sock"; }

  testing_support::TempDir m_dir;
};

TEST_F(PresentChannel, TheHolderAnswersTheLaterCopysRequest) {
  struct {
    const char* name;
    bool hasWindow;
    std::string startupId;
    Answer answer;
    std::string received;
  } cases[] = {
      {"presented", true, "launcher-42_TIME1234", Answer::kPresented, "launcher-42_TIME1234"},
      {"no window to present", false, "", Answer::kNoWindow, ""},
      {"an id cannot carry another line", true, "a\nb\x01 c", Answer::kPresented, "abc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InstanceLock holder, later;
    ASSERT_EQ(holder.Acquire("Channel"), Result::kAcquired);
    std::vector<std::string> requests;
    ASSERT_TRUE(holder.ServePresentRequests([&](const std::string& id) {
      requests.push_back(id);
      return c.hasWindow;
    }));
    ASSERT_EQ(later.Acquire("Channel"), Result::kHeldElsewhere);
    EXPECT_EQ(Ask(later, c.startupId), c.answer);
    EXPECT_EQ(requests, std::vector<std::string>{c.received});
  }
  // The holder's socket goes with it.
  EXPECT_FALSE(testing_support::PathExists(SocketPath()));
}

TEST_F(PresentChannel, NoAnswerFromAHolderWithoutAChannelOrABusyOne) {
  InstanceLock holder, later;
  ASSERT_EQ(holder.Acquire("Channel"), Result::kAcquired);
  ASSERT_EQ(later.Acquire("Channel"), Result::kHeldElsewhere);
  EXPECT_EQ(later.AskHolderToPresent("id", 20000), Answer::kNoAnswer);  // nobody listens
  ASSERT_TRUE(holder.ServePresentRequests([](const std::string&) { return true; }));
  // The holder's loop never runs: its answer never comes.
  EXPECT_EQ(later.AskHolderToPresent("id", 300), Answer::kNoAnswer);
}

TEST_F(PresentChannel, AStaleSocketIsReplacedAndAnythingElseLeftAlone) {
  // A socket left behind by a holder that ended without cleaning up.
  {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, SocketPath().c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);
  }
  {
    InstanceLock holder, later;
    ASSERT_EQ(holder.Acquire("Channel"), Result::kAcquired);
    ASSERT_TRUE(holder.ServePresentRequests([](const std::string&) { return true; }));
    ASSERT_EQ(later.Acquire("Channel"), Result::kHeldElsewhere);
    EXPECT_EQ(Ask(later, "id"), Answer::kPresented);
  }
  // A file that is no socket is nobody's to remove: the lock holds without a channel.
  testing_support::WriteFile(SocketPath(), "not a socket");
  InstanceLock holder;
  ASSERT_EQ(holder.Acquire("Channel"), Result::kAcquired);
  EXPECT_FALSE(holder.ServePresentRequests([](const std::string&) { return true; }));
  EXPECT_TRUE(holder.IsHeld());
  EXPECT_EQ(testing_support::ReadFile(SocketPath()), "not a socket");
}

}  // namespace
