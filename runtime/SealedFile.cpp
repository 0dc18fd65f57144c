#include "SealedFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace player_runtime {

namespace {

constexpr int kRequiredSeals = F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW;

}  // namespace

bool WriteWhole(int fd, const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

int CreateSealedFile(const char* name, std::span<const uint8_t> bytes) {
  const int fd = memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return -1;
  if (!WriteWhole(fd, bytes.data(), bytes.size()) || fcntl(fd, F_ADD_SEALS, kRequiredSeals | F_SEAL_SEAL) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::optional<size_t> SealedFileSize(int fd) {
  const int seals = fcntl(fd, F_GET_SEALS);
  struct stat info {};
  if (seals < 0 || (seals & kRequiredSeals) != kRequiredSeals || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
    return std::nullopt;
  return static_cast<size_t>(info.st_size);
}

}  // namespace player_runtime
