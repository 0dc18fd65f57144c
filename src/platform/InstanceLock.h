#pragma once
// A named, process-wide lock that tells whether another copy holds the same name.
// Backed by flock() on a file of that name in $XDG_RUNTIME_DIR (else the temp folder, with the
// user id in the name); the lock is released when the owner is destroyed or the process ends.

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

  // Tries to take the lock `name` for this process. On kHeldElsewhere and kFailed nothing is held.
  Result Acquire(const std::string& name);
  bool IsHeld() const { return m_fd >= 0; }
  void Release();

 private:
  int m_fd = -1;
};

}  // namespace platform
