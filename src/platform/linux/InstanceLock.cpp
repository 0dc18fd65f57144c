#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>
#include <vector>

namespace platform {
namespace {

// Where the lock file may lie, in order: the user's runtime folder, then the temp folder with
// the user id in the name (the runtime folder can be missing or read-only).
std::vector<std::string> LockFilePaths(const std::string& name) {
  std::vector<std::string> paths;
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') paths.push_back(std::string(runtime) + "/" + name + ".lock");
  const char* temp = getenv("TMPDIR");
  std::string folder = (temp != nullptr && temp[0] == '/') ? temp : "/tmp";
  paths.push_back(folder + "/" + name + "-" + std::to_string(getuid()) + ".lock");
  return paths;
}

// The lock file opened for this user; -1 when it cannot be made. In a shared folder another user
// could have put a link or a file of their own at the path: a link is never followed, and a file
// that is not this user's own regular file is never used, so nobody else can hold or redirect it.
int OpenOwnLockFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != getuid()) {
    close(fd);
    return -1;
  }
  return fd;
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
  int fd = -1;
  for (const std::string& path : LockFilePaths(safeName)) {
    fd = OpenOwnLockFile(path);
    if (fd >= 0) break;
  }
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
