#include "platform/DynamicLibrary.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

namespace platform {

void* LoadSharedObjectFromMemory(std::span<const uint8_t> image, const char* name) {
  int fd = memfd_create(name, MFD_CLOEXEC);
  if (fd < 0) return nullptr;
  size_t written = 0;
  while (written < image.size()) {
    ssize_t n = write(fd, image.data() + written, image.size() - written);
    if (n <= 0) {
      close(fd);
      return nullptr;
    }
    written += static_cast<size_t>(n);
  }
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  close(fd);  // the loader keeps its own mapping
  return handle;
}

void* FindSharedObjectSymbol(void* handle, const char* symbol) {
  if (handle == nullptr) return nullptr;
  return dlsym(handle, symbol);
}

const char* LastDynamicLibraryError() {
  const char* error = dlerror();
  return error != nullptr ? error : "";
}

}  // namespace platform
