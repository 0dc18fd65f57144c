#include "platform/ModuleVersion.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <span>
#include <string_view>

#include "platform/Files.h"

namespace platform {
namespace {

using Bytes = std::span<const uint8_t>;

// Little-endian reads with a bounds check; false when the field lies outside the file.
template <typename T>
bool Read(const Bytes& data, uint64_t offset, T& out) {
  if (offset > data.size() || data.size() - offset < sizeof(T)) return false;
  memcpy(&out, data.data() + offset, sizeof(T));
  return true;
}

ProductVersion FromWords(uint32_t mostSignificant, uint32_t leastSignificant) {
  return {static_cast<uint16_t>(mostSignificant >> 16), static_cast<uint16_t>(mostSignificant & 0xFFFF),
          static_cast<uint16_t>(leastSignificant >> 16), static_cast<uint16_t>(leastSignificant & 0xFFFF)};
}

constexpr std::string_view kNoteSection = ".note.brimtale.version";
constexpr std::string_view kNoteOwner = "Brimtale";

// ELF64 or ELF32, little-endian: the note section written by src/res/VersionNote.cpp.
std::optional<ProductVersion> ReadElfVersion(const Bytes& data) {
  bool is64 = data.size() > 4 && data[4] == 2;
  uint64_t sectionOffset = 0;
  uint16_t entrySize = 0, count = 0, namesIndex = 0;
  if (is64) {
    if (!Read(data, 0x28, sectionOffset) || !Read(data, 0x3A, entrySize) || !Read(data, 0x3C, count) ||
        !Read(data, 0x3E, namesIndex))
      return std::nullopt;
  } else {
    uint32_t offset32 = 0;
    if (!Read(data, 0x20, offset32) || !Read(data, 0x2E, entrySize) || !Read(data, 0x30, count) ||
        !Read(data, 0x32, namesIndex))
      return std::nullopt;
    sectionOffset = offset32;
  }
  auto sectionRange = [&](uint16_t index, uint32_t& name, uint64_t& offset, uint64_t& size) {
    uint64_t header = sectionOffset + uint64_t{index} * entrySize;
    if (is64) return Read(data, header, name) && Read(data, header + 0x18, offset) && Read(data, header + 0x20, size);
    uint32_t offset32 = 0, size32 = 0;
    bool ok = Read(data, header, name) && Read(data, header + 0x10, offset32) && Read(data, header + 0x14, size32);
    offset = offset32;
    size = size32;
    return ok;
  };
  uint32_t unusedName = 0;
  uint64_t namesOffset = 0, namesSize = 0;
  if (namesIndex >= count || !sectionRange(namesIndex, unusedName, namesOffset, namesSize)) return std::nullopt;
  for (uint16_t i = 0; i < count; ++i) {
    uint32_t name = 0;
    uint64_t offset = 0, size = 0;
    if (!sectionRange(i, name, offset, size) || name >= namesSize) continue;
    uint64_t nameAt = namesOffset + name;
    if (nameAt + kNoteSection.size() + 1 > data.size()) continue;
    if (memcmp(data.data() + nameAt, kNoteSection.data(), kNoteSection.size() + 1) != 0) continue;
    uint32_t nameSize = 0, descSize = 0;
    if (!Read(data, offset, nameSize) || !Read(data, offset + 4, descSize)) return std::nullopt;
    if (nameSize != kNoteOwner.size() + 1 || descSize < 8) return std::nullopt;
    if (offset + 12 + nameSize > data.size() || memcmp(data.data() + offset + 12, kNoteOwner.data(), nameSize) != 0)
      return std::nullopt;
    uint64_t desc = offset + 12 + ((nameSize + 3) & ~3u);
    uint32_t ms = 0, ls = 0;
    if (!Read(data, desc, ms) || !Read(data, desc + 4, ls)) return std::nullopt;
    return FromWords(ms, ls);
  }
  return std::nullopt;
}

// PE: the fixed file information of the first RT_VERSION resource.
std::optional<ProductVersion> ReadPeVersion(const Bytes& data) {
  uint32_t ntOffset = 0, signature = 0;
  if (!Read(data, 0x3C, ntOffset) || !Read(data, ntOffset, signature) || signature != 0x00004550) return std::nullopt;
  uint16_t sectionCount = 0, optionalSize = 0, magic = 0;
  if (!Read(data, ntOffset + 6, sectionCount) || !Read(data, ntOffset + 20, optionalSize)) return std::nullopt;
  uint64_t optional = ntOffset + 24;
  if (!Read(data, optional, magic)) return std::nullopt;
  uint64_t directories = optional + (magic == 0x20B ? 112 : 96);
  uint32_t resourceRva = 0;
  if (!Read(data, directories + 2 * 8, resourceRva) || resourceRva == 0) return std::nullopt;
  uint64_t sections = optional + optionalSize;
  auto fileOffset = [&](uint32_t rva) -> std::optional<uint64_t> {
    for (uint16_t i = 0; i < sectionCount; ++i) {
      uint64_t header = sections + uint64_t{i} * 40;
      uint32_t virtualSize = 0, virtualAddress = 0, rawSize = 0, rawPointer = 0;
      if (!Read(data, header + 8, virtualSize) || !Read(data, header + 12, virtualAddress) ||
          !Read(data, header + 16, rawSize) || !Read(data, header + 20, rawPointer))
        return std::nullopt;
      uint32_t extent = virtualSize > rawSize ? virtualSize : rawSize;
      if (rva >= virtualAddress && rva - virtualAddress < extent) return uint64_t{rawPointer} + (rva - virtualAddress);
    }
    return std::nullopt;
  };
  auto root = fileOffset(resourceRva);
  if (!root) return std::nullopt;
  // Walks one directory level: the entry with `id` (or the first entry when id is 0).
  auto entry = [&](uint64_t directory, uint32_t id, uint32_t& target) {
    uint16_t named = 0, ids = 0;
    if (!Read(data, directory + 12, named) || !Read(data, directory + 14, ids)) return false;
    for (uint32_t i = 0; i < uint32_t{named} + ids; ++i) {
      uint32_t entryId = 0;
      if (!Read(data, directory + 16 + i * 8, entryId) || !Read(data, directory + 20 + i * 8, target)) return false;
      if (id == 0 || entryId == id) return true;
    }
    return false;
  };
  uint32_t level = 0;
  if (!entry(*root, 16, level) || !(level & 0x80000000u)) return std::nullopt;
  if (!entry(*root + (level & 0x7FFFFFFFu), 0, level) || !(level & 0x80000000u)) return std::nullopt;
  if (!entry(*root + (level & 0x7FFFFFFFu), 0, level) || (level & 0x80000000u)) return std::nullopt;
  uint32_t dataRva = 0, dataSize = 0;
  if (!Read(data, *root + level, dataRva) || !Read(data, *root + level + 4, dataSize)) return std::nullopt;
  auto block = fileOffset(dataRva);
  if (!block) return std::nullopt;
  for (uint64_t at = *block; at + 52 <= *block + dataSize; at += 4) {
    uint32_t word = 0;
    if (!Read(data, at, word)) return std::nullopt;
    if (word != 0xFEEF04BDu) continue;
    uint32_t ms = 0, ls = 0;
    if (!Read(data, at + 16, ms) || !Read(data, at + 20, ls)) return std::nullopt;
    return FromWords(ms, ls);
  }
  return std::nullopt;
}

}  // namespace

std::optional<ProductVersion> ReadProductVersion(const std::string& path) {
  // Mapped rather than read: executables carry large embedded data, and only headers are looked at.
  // Only a regular file: the open of a FIFO would wait for a writer, a device is no module.
  ScopedFd file = OpenRegularFileForReading(path);
  struct stat info {};
  if (!file.IsValid() || fstat(file.get(), &info) != 0 || info.st_size <= 0) return std::nullopt;
  void* mapping = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ, MAP_PRIVATE, file.get(), 0);
  if (mapping == MAP_FAILED) return std::nullopt;
  Bytes data(static_cast<const uint8_t*>(mapping), static_cast<size_t>(info.st_size));
  std::optional<ProductVersion> version;
  if (data.size() >= 4 && memcmp(data.data(), "\x7F" "ELF", 4) == 0)
    version = ReadElfVersion(data);
  else if (data.size() >= 2 && data[0] == 'M' && data[1] == 'Z')
    version = ReadPeVersion(data);
  munmap(mapping, data.size());
  return version;
}

}  // namespace platform
