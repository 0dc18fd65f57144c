#include "platform/VirtualMemory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <utility>

namespace platform {
namespace {

constexpr uint64_t k4GiB = uint64_t{1} << 32;

size_t PageSize() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

bool EndsBelow4GiB(const void* data, size_t size) {
  return reinterpret_cast<uintptr_t>(data) + static_cast<uint64_t>(size) <= k4GiB;
}

void* MapBelow4GiB(size_t size, int protection) {
  const int flags = MAP_PRIVATE | MAP_ANONYMOUS;
  if constexpr (sizeof(void*) <= 4) return mmap(nullptr, size, protection, flags, -1, 0);
#if defined(__x86_64__)
  // The kernel's own placement in the low 2 GiB; the search below covers the case where it is full.
  void* low = mmap(nullptr, size, protection, flags | MAP_32BIT, -1, 0);
  if (low != MAP_FAILED) {
    if (EndsBelow4GiB(low, size)) return low;
    munmap(low, size);
  }
#endif
  // Ask for fixed places without displacing anything already mapped there.
  constexpr uint64_t kStep = 16 << 20;
  for (uint64_t hint = kStep; hint + size <= k4GiB; hint += kStep) {
    void* block = mmap(reinterpret_cast<void*>(hint), size, protection, flags | MAP_FIXED_NOREPLACE, -1, 0);
    if (block == MAP_FAILED) continue;
    // Kernels before 4.17 treat the flag as a hint and may place the block elsewhere.
    if (block == reinterpret_cast<void*>(hint)) return block;
    munmap(block, size);
  }
  return MAP_FAILED;
}

}  // namespace

VirtualMemoryBlock::~VirtualMemoryBlock() { Free(); }

VirtualMemoryBlock::VirtualMemoryBlock(VirtualMemoryBlock&& other) noexcept
    : m_data(std::exchange(other.m_data, nullptr)),
      m_size(std::exchange(other.m_size, 0)),
      m_mappedSize(std::exchange(other.m_mappedSize, 0)) {}

VirtualMemoryBlock& VirtualMemoryBlock::operator=(VirtualMemoryBlock&& other) noexcept {
  if (this != &other) {
    Free();
    m_data = std::exchange(other.m_data, nullptr);
    m_size = std::exchange(other.m_size, 0);
    m_mappedSize = std::exchange(other.m_mappedSize, 0);
  }
  return *this;
}

VirtualMemoryBlock VirtualMemoryBlock::Allocate(size_t size, AddressRange range, PageAccess access) {
  if (size == 0 || size > SIZE_MAX - PageSize()) return {};
  size_t mappedSize = (size + PageSize() - 1) / PageSize() * PageSize();
  int protection = PROT_READ | PROT_WRITE | (access == PageAccess::kReadWriteExecute ? PROT_EXEC : 0);
  void* block = range == AddressRange::kBelow4GiB
                    ? MapBelow4GiB(mappedSize, protection)
                    : mmap(nullptr, mappedSize, protection, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return {};
  return VirtualMemoryBlock(static_cast<uint8_t*>(block), size, mappedSize);
}

uint8_t* VirtualMemoryBlock::Leak() {
  m_size = 0;
  m_mappedSize = 0;
  return std::exchange(m_data, nullptr);
}

void VirtualMemoryBlock::Free() {
  if (m_data != nullptr) munmap(m_data, m_mappedSize);
  m_data = nullptr;
  m_size = 0;
  m_mappedSize = 0;
}

void FlushInstructionCache(const void* data, size_t size) {
  char* begin = static_cast<char*>(const_cast<void*>(data));
  __builtin___clear_cache(begin, begin + size);
}

bool CanRunPortableExecutableCode(uint16_t) { return false; }

}  // namespace platform
