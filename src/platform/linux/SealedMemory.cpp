#include "platform/SealedMemory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

ScopedFd CreateSealedMemoryFile(const char* name, std::string_view bytes) {
  ScopedFd file(memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!file.IsValid()) return {};
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t count = write(file.get(), bytes.data() + written, bytes.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return {};
    written += static_cast<size_t>(count);
  }
  if (fcntl(file.get(), F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) return {};
  return file;
}

}  // namespace platform
