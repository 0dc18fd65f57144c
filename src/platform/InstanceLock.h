#pragma once
// A named, per-user lock that tells whether another copy holds the same name, and a channel over
// which a later copy asks the holder to present its window.
//
// The lock is flock() on a file of that name, in the first of these folders that can hold it:
// $XDG_RUNTIME_DIR; the temp folder ($TMPDIR, else /tmp) with the user id in the name; a private
// folder of the user's own, <cache>/brimtale/lock ($XDG_CACHE_HOME, else ~/.cache), made with mode
// 0700. The channel is a Unix socket beside the lock file (".sock" for ".lock"). The lock is
// released when the owner is destroyed or the process ends.

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class InstanceLock {
 public:
  enum class Result { kAcquired, kHeldElsewhere, kFailed };
  enum class PresentAnswer { kPresented, kNoWindow, kNoAnswer };

  InstanceLock();
  ~InstanceLock();
  InstanceLock(InstanceLock&& other) noexcept;
  InstanceLock& operator=(InstanceLock&& other) noexcept;
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Tries to take the lock `name` for this process. A folder that cannot hold the user's own lock
  // file is passed over: missing, read-only, or holding a link or another user's file at the path
  // (in a shared temp folder that could otherwise block or take over the lock). kFailed when no
  // folder could: nothing is held then, nor on kHeldElsewhere.
  Result Acquire(const std::string& name);
  bool IsHeld() const;
  // Ends the channel and frees the lock.
  void Release();

  // The lock file held, or found held by another copy; empty after kFailed.
  const std::string& Path() const { return m_path; }

  // The holder's side: from now on a later copy's request runs `present` with that copy's startup
  // id (DESKTOP_STARTUP_ID, maybe empty) on the GUI thread, from the main loop; `present` says
  // whether a window was presented. Only requests of this user's processes are taken. Returns
  // false when the channel cannot be opened (the lock holds all the same). GUI thread, once held.
  bool ServePresentRequests(std::function<bool(const std::string& startupId)> present);

  // A later copy's side, after kHeldElsewhere: asks the holder to present its window and waits up
  // to `timeoutMs` for the answer. kNoAnswer when nobody of this user answers (a holder without
  // the channel, one busy for longer, or one that ended).
  PresentAnswer AskHolderToPresent(const std::string& startupId, int timeoutMs) const;

 private:
  struct Channel;

  int m_fd = -1;
  std::string m_path;
  std::unique_ptr<Channel> m_channel;
};

// The lock files where Acquire looks for `name`, in order; for messages and tests.
std::vector<std::string> InstanceLockCandidates(const std::string& name);

}  // namespace platform
