#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace platform {
namespace {

std::string LockFilePath(const std::string& name) {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/" + name + ".lock";
  const char* temp = getenv("TMPDIR");
  std::string folder = (temp != nullptr && temp[0] == '/') ? temp : "/tmp";
  return folder + "/" + name + "-" + std::to_string(getuid()) + ".lock";
}

}  // namespace

InstanceLock::~InstanceLock() { Release(); }

InstanceLock::InstanceLock(InstanceLock&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

InstanceLock& InstanceLock::operator=(InstanceLock&& other) noexcept {
  if (this != &other) {
    Release();
    m_fd = std::exchange(other.m_fd, -1);
  }
  return *this;
}

InstanceLock::Result InstanceLock::Acquire(const std::string& name) {
  Release();
  // A name holding a separator would point outside the lock folder.
  std::string safeName = name;
  for (char& c : safeName)
    if (c == '/') c = '_';
  int fd = open(LockFilePath(safeName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return Result::kFailed;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int error = errno;
    close(fd);
    return error == EWOULDBLOCK ? Result::kHeldElsewhere : Result::kFailed;
  }
  m_fd = fd;
  return Result::kAcquired;
}

void InstanceLock::Release() {
  if (m_fd >= 0) close(std::exchange(m_fd, -1));
}

}  // namespace platform
