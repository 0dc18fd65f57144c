#pragma once
// A named, process-wide lock that tells whether another copy holds the same name.
// Backed by flock() on a file of that name in $XDG_RUNTIME_DIR, or, where that folder is unset,
// missing or read-only, in the temp folder ($TMPDIR, else /tmp) with the user id in the name. The
// lock is released when the owner is destroyed or the process ends.

#include <string>

namespace platform {

class InstanceLock {
 public:
  enum class Result { kAcquired, kHeldElsewhere, kFailed };

  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(InstanceLock&& other) noexcept;
  InstanceLock& operator=(InstanceLock&& other) noexcept;
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Tries to take the lock `name` for this process. kFailed when no lock file of this user's own
  // can be made: a link, or a file of another user, at the path is never used (in a shared temp
  // folder it could otherwise block or take over the lock). On kHeldElsewhere and kFailed nothing
  // is held.
  Result Acquire(const std::string& name);
  bool IsHeld() const { return m_fd >= 0; }
  void Release();

 private:
  int m_fd = -1;
};

}  // namespace platform
