#pragma once
// Pages taken directly from the operating system, for images the launcher maps itself.
// Any thread; a block belongs to whoever holds it.

#include <cstddef>
#include <cstdint>

namespace platform {

// Where a block may lie in the address space.
enum class AddressRange {
  kAnywhere,
  // Every byte of the block has an address that fits in 32 bits, as the absolute pointers of a
  // 32-bit image need.
  kBelow4GiB,
};

enum class PageAccess {
  kReadWrite,
  kReadWriteExecute,
};

// Committed, zero-filled pages, released on destruction unless handed to the process with Leak.
// Move-only.
class VirtualMemoryBlock {
 public:
  VirtualMemoryBlock() = default;
  ~VirtualMemoryBlock();
  VirtualMemoryBlock(VirtualMemoryBlock&& other) noexcept;
  VirtualMemoryBlock& operator=(VirtualMemoryBlock&& other) noexcept;
  VirtualMemoryBlock(const VirtualMemoryBlock&) = delete;
  VirtualMemoryBlock& operator=(const VirtualMemoryBlock&) = delete;

  // At least `size` bytes (whole pages) in `range` with `access`; an empty block when the system
  // refuses, when `size` is 0, or when no room is free in the range.
  static VirtualMemoryBlock Allocate(size_t size, AddressRange range, PageAccess access);

  uint8_t* data() const { return m_data; }
  size_t size() const { return m_size; }  // the size asked for
  explicit operator bool() const { return m_data != nullptr; }

  // Gives the pages to the process for the rest of its life; the block is empty afterwards.
  uint8_t* Leak();

 private:
  VirtualMemoryBlock(uint8_t* data, size_t size, size_t mappedSize)
      : m_data(data), m_size(size), m_mappedSize(mappedSize) {}
  void Free();

  uint8_t* m_data = nullptr;
  size_t m_size = 0;
  size_t m_mappedSize = 0;
};

// Makes freshly written code in [data, data + size) visible to instruction fetch.
void FlushInstructionCache(const void* data, size_t size);

// Whether this process can execute the code of a Windows PE image built for `machine` (the
// IMAGE_FILE_MACHINE_* value of its file header): that needs the image's processor and the Windows
// ABI its code assumes (calling conventions, the thread environment block, the system DLLs it
// imports). False for every machine on this backend.
bool CanRunPortableExecutableCode(uint16_t machine);

}  // namespace platform
