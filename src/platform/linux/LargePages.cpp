#include "platform/LargePages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace platform {

void AdviseLargePages(void* data, size_t size) {
  // madvise takes whole pages: the part of the range from its first page boundary on.
  const uintptr_t pageSize = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t start = (reinterpret_cast<uintptr_t>(data) + pageSize - 1) & ~(pageSize - 1);
  uintptr_t end = reinterpret_cast<uintptr_t>(data) + size;
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

}  // namespace platform
