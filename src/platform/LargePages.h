#pragma once
// Large buffers backed by huge pages where the system offers them: a buffer of tens of MiB is
// then faulted in a few hundred times instead of tens of thousands. Any thread.

#include <cstddef>

namespace platform {

// The alignment that lets a buffer be backed by huge pages from its first byte.
inline constexpr size_t kLargePageAlignment = size_t{2} << 20;

// Asks the system to back [data, data + size) with huge pages. Only a hint: without huge pages
// (or when refused) nothing changes, and no failure is reported.
void AdviseLargePages(void* data, size_t size);

}  // namespace platform
