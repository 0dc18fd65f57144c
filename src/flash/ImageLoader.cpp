#include "flash/ImageLoader.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <string_view>

#include "base/Log.h"
#include "platform/DynamicLibrary.h"
#include "platform/VirtualMemory.h"
#include "res/EmbeddedBinaries.h"

// The image's code follows the Windows calling convention of its processor.
#if defined(__i386__)
#define BRIMTALE_IMAGE_ENTRY_CALL __attribute__((stdcall))
#else
#define BRIMTALE_IMAGE_ENTRY_CALL
#endif

namespace flash {
namespace {

enum class ImageKind { kElf, kPortableExecutable };

struct DirectoryEntry {
  uint32_t rva = 0;
  uint32_t size = 0;
};

struct MappedImage {
  ImageKind kind;
  size_t size = 0;                      // the mapped bytes a PE image's offsets are checked against
  platform::VirtualMemoryBlock memory;  // PE only: the dynamic loader owns ELF images
  DirectoryEntry exportDirectory;       // PE only, as the headers gave it when mapped
};

// Every image mapped in this process, by the base handed out for it.
std::map<void*, MappedImage>& MappedImages() {
  static std::map<void*, MappedImage> images;
  return images;
}

// A 32-bit image claiming more than this is taken for malformed: the DLLs this loader is meant for
// are a few hundred KiB, and the check keeps a forged SizeOfImage from reserving gigabytes.
constexpr uint32_t kMaxImageSize = 256u << 20;

constexpr uint16_t kOptionalHeaderMagicPe32 = 0x10B;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint32_t kFileHeaderSize = 20;
constexpr uint32_t kOptionalHeaderFixedSize = 96;  // up to and including NumberOfRvaAndSizes
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kImportDescriptorSize = 20;
constexpr uint32_t kExportDirectorySize = 40;
constexpr uint32_t kRelocationBlockHeaderSize = 8;

enum DataDirectory : uint32_t { kExportDirectory = 0, kImportDirectory = 1, kBaseRelocationDirectory = 5 };

enum RelocationType : uint16_t { kRelocationAbsolute = 0, kRelocationHighLow = 3 };

constexpr uint32_t kImportByOrdinal = 0x80000000u;
// Those DLLs import a few hundred functions; an image claiming more than this is taken for
// malformed, which also bounds the work a forged import table can cause.
constexpr uint32_t kMaxImports = 1u << 16;
constexpr uint32_t kDllProcessAttach = 1;
constexpr uint32_t kDllThreadAttach = 2;

// Little-endian reads over a byte range; every read says whether it fits.
class Bytes {
 public:
  Bytes() = default;
  Bytes(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

  size_t size() const { return m_size; }
  const uint8_t* data() const { return m_data; }

  bool Contains(uint64_t offset, uint64_t length) const { return offset <= m_size && length <= m_size - offset; }

  std::optional<uint16_t> U16(uint64_t offset) const {
    if (!Contains(offset, 2)) return std::nullopt;
    const uint8_t* p = m_data + offset;
    return static_cast<uint16_t>(p[0] | p[1] << 8);
  }

  std::optional<uint32_t> U32(uint64_t offset) const {
    if (!Contains(offset, 4)) return std::nullopt;
    const uint8_t* p = m_data + offset;
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
  }

  // A zero-terminated text that ends inside the range; null otherwise.
  const char* Text(uint64_t offset) const {
    if (offset >= m_size) return nullptr;
    const void* end = memchr(m_data + offset, 0, m_size - offset);
    return end != nullptr ? reinterpret_cast<const char*>(m_data + offset) : nullptr;
  }

 private:
  const uint8_t* m_data = nullptr;
  size_t m_size = 0;
};

void Store32(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
  at[2] = static_cast<uint8_t>(value >> 16);
  at[3] = static_cast<uint8_t>(value >> 24);
}

// What the file and optional headers say, read from the source image.
struct PeHeaders {
  uint16_t machine = 0;
  uint16_t characteristics = 0;
  uint32_t entryPoint = 0;
  uint32_t imageBase = 0;
  uint32_t sizeOfImage = 0;
  uint32_t sizeOfHeaders = 0;
  uint32_t sectionCount = 0;
  uint64_t sectionTable = 0;  // file offset of the first section header
  uint32_t directoryCount = 0;
  DirectoryEntry directories[16] = {};

  DirectoryEntry Directory(uint32_t index) const { return index < directoryCount ? directories[index] : DirectoryEntry{}; }
};

bool IsElf(std::span<const uint8_t> image) { return image.size() >= 4 && memcmp(image.data(), "\x7F" "ELF", 4) == 0; }
bool IsPortableExecutable(std::span<const uint8_t> image) { return image.size() >= 2 && image[0] == 'M' && image[1] == 'Z'; }

const char* ReadHeaders(Bytes file, PeHeaders& headers) {
  auto ntOffset = file.U32(0x3C);
  if (!ntOffset) return "the DOS header is truncated";
  uint64_t nt = *ntOffset;
  if (!file.Contains(nt, 4 + kFileHeaderSize) || memcmp(file.data() + nt, "PE\0\0", 4) != 0)
    return "no PE signature where the DOS header points";
  uint64_t fileHeader = nt + 4;
  headers.machine = *file.U16(fileHeader);
  headers.sectionCount = *file.U16(fileHeader + 2);
  uint16_t optionalSize = *file.U16(fileHeader + 16);
  headers.characteristics = *file.U16(fileHeader + 18);

  uint64_t optional = fileHeader + kFileHeaderSize;
  if (optionalSize < kOptionalHeaderFixedSize || !file.Contains(optional, optionalSize))
    return "the optional header is truncated";
  if (*file.U16(optional) != kOptionalHeaderMagicPe32) return "not a 32-bit (PE32) image";
  headers.entryPoint = *file.U32(optional + 16);
  headers.imageBase = *file.U32(optional + 28);
  headers.sizeOfImage = *file.U32(optional + 56);
  headers.sizeOfHeaders = *file.U32(optional + 60);
  uint32_t declared = *file.U32(optional + 92);
  uint32_t room = (optionalSize - kOptionalHeaderFixedSize) / 8;
  headers.directoryCount = std::min({declared, room, uint32_t{16}});
  for (uint32_t i = 0; i < headers.directoryCount; ++i) {
    headers.directories[i].rva = *file.U32(optional + kOptionalHeaderFixedSize + 8 * i);
    headers.directories[i].size = *file.U32(optional + kOptionalHeaderFixedSize + 8 * i + 4);
  }

  if (headers.sizeOfImage == 0 || headers.sizeOfImage > kMaxImageSize) return "SizeOfImage is out of range";
  if (headers.sizeOfHeaders > file.size() || headers.sizeOfHeaders > headers.sizeOfImage)
    return "SizeOfHeaders is larger than the file or the image";
  headers.sectionTable = optional + optionalSize;
  if (!file.Contains(headers.sectionTable, uint64_t{kSectionHeaderSize} * headers.sectionCount))
    return "the section table is truncated";
  if (headers.entryPoint >= headers.sizeOfImage) return "the entry point is outside the image";
  return nullptr;
}

// Sections follow one another in ascending order without overlapping, as every linker lays them
// out; that also keeps the zero-filling and copying within SizeOfImage bytes in all.
const char* CopySections(Bytes file, const PeHeaders& headers, uint8_t* base) {
  uint64_t previousEnd = 0;
  for (uint32_t i = 0; i < headers.sectionCount; ++i) {
    uint64_t section = headers.sectionTable + uint64_t{kSectionHeaderSize} * i;
    uint32_t virtualSize = *file.U32(section + 8);
    uint32_t virtualAddress = *file.U32(section + 12);
    uint32_t rawSize = *file.U32(section + 16);
    uint32_t rawOffset = *file.U32(section + 20);
    if (uint64_t{virtualAddress} + virtualSize > headers.sizeOfImage) return "a section lies outside the image";
    if (virtualAddress < previousEnd) return "sections overlap or are out of order";
    previousEnd = uint64_t{virtualAddress} + virtualSize;
    uint32_t copied = std::min(virtualSize, rawSize);
    if (copied != 0 && !file.Contains(rawOffset, copied)) return "a section's data lies outside the file";
    memset(base + virtualAddress, 0, virtualSize);
    if (copied != 0) memcpy(base + virtualAddress, file.data() + rawOffset, copied);
  }
  return nullptr;
}

// The whole relocation directory is checked even when the delta is 0, so an image is accepted or
// refused the same way wherever it lands.
const char* Relocate(const PeHeaders& headers, uint8_t* base) {
  DirectoryEntry directory = headers.Directory(kBaseRelocationDirectory);
  uint32_t delta = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(base)) - headers.imageBase;
  if (delta != 0 && (headers.characteristics & kFileRelocsStripped) != 0)
    return "the image cannot be moved from its preferred base";
  if (directory.size == 0) return nullptr;
  Bytes image(base, headers.sizeOfImage);
  if (!image.Contains(directory.rva, directory.size)) return "the relocation directory lies outside the image";
  uint64_t walked = 0;
  while (walked < directory.size) {
    uint64_t block = uint64_t{directory.rva} + walked;
    if (directory.size - walked < kRelocationBlockHeaderSize) return "a relocation block runs past its directory";
    uint32_t page = *image.U32(block);
    uint32_t blockSize = *image.U32(block + 4);
    // A block shorter than its header would never advance the walk.
    if (blockSize < kRelocationBlockHeaderSize || blockSize > directory.size - walked)
      return "a relocation block runs past its directory";
    uint32_t entries = (blockSize - kRelocationBlockHeaderSize) / 2;
    for (uint32_t i = 0; i < entries; ++i) {
      uint16_t entry = *image.U16(block + kRelocationBlockHeaderSize + 2 * i);
      uint16_t type = entry >> 12;
      if (type == kRelocationAbsolute) continue;
      // Any other type would need arithmetic this 32-bit loader does not do; applying HIGHLOW's in
      // its place would corrupt the image, so the image is refused.
      if (type != kRelocationHighLow) return "a relocation of an unsupported type";
      uint64_t target = uint64_t{page} + (entry & 0xFFF);
      if (!image.Contains(target, 4)) return "a relocation points outside the image";
      Store32(base + target, *image.U32(target) + delta);
    }
    walked += blockSize;
  }
  return nullptr;
}

// Imports are read from the import address table itself (FirstThunk), as bound-free images carry
// the same hint/name references there as in their lookup table.
const char* ResolveImports(const PeHeaders& headers, uint8_t* base, const ImportResolver& resolver,
                           uint32_t& unresolved) {
  DirectoryEntry directory = headers.Directory(kImportDirectory);
  if (directory.rva == 0 || directory.size == 0) return nullptr;
  Bytes image(base, headers.sizeOfImage);
  uint32_t imports = 0;
  for (uint64_t descriptor = directory.rva;; descriptor += kImportDescriptorSize) {
    if (!image.Contains(descriptor, kImportDescriptorSize)) return "the import descriptors run past the image";
    uint32_t nameRva = *image.U32(descriptor + 12);
    if (nameRva == 0) return nullptr;
    const char* library = image.Text(nameRva);
    if (library == nullptr) return "an import library name lies outside the image";
    for (uint64_t slot = *image.U32(descriptor + 16);; slot += 4) {
      auto entry = image.U32(slot);
      if (!entry) return "an import address table runs past the image";
      if (*entry == 0) break;
      if (++imports > kMaxImports) return "too many imports";
      void* address = nullptr;
      if (*entry & kImportByOrdinal) {
        address = resolver ? resolver(library, nullptr, static_cast<uint16_t>(*entry & 0xFFFF)) : nullptr;
      } else {
        const char* symbol = image.Text(uint64_t{*entry} + 2);  // after the 16-bit hint
        if (symbol == nullptr) return "an import name lies outside the image";
        address = resolver ? resolver(library, symbol, 0) : nullptr;
      }
      // The slot is 32 bits wide: an address the image cannot hold stays unresolved.
      uintptr_t value = reinterpret_cast<uintptr_t>(address);
      if (value == 0 || uint64_t{value} > UINT32_MAX) {
        ++unresolved;
        value = 0;
      }
      Store32(base + slot, static_cast<uint32_t>(value));
    }
  }
}

// The export tables of a mapped PE image, every offset checked against the mapped size.
struct ExportTable {
  Bytes image;
  DirectoryEntry directory;
  uint32_t ordinalBase = 0;
  uint32_t functionCount = 0;
  uint32_t nameCount = 0;
  uint32_t functions = 0;
  uint32_t names = 0;
  uint32_t nameOrdinals = 0;

  // Nothing when the image has no export directory or it lies outside the image.
  static std::optional<ExportTable> Read(Bytes image, DirectoryEntry directory) {
    uint64_t at = directory.rva;
    if (at == 0 || !image.Contains(at, kExportDirectorySize)) return std::nullopt;
    ExportTable table;
    table.image = image;
    table.directory = directory;
    table.ordinalBase = *image.U32(at + 16);
    table.functionCount = *image.U32(at + 20);
    table.nameCount = *image.U32(at + 24);
    table.functions = *image.U32(at + 28);
    table.names = *image.U32(at + 32);
    table.nameOrdinals = *image.U32(at + 36);
    return table;
  }

  // The address of function table entry `index`; null when out of range, empty or forwarded.
  void* Function(uint32_t index) const {
    if (index >= functionCount) return nullptr;
    auto rva = image.U32(uint64_t{functions} + 4 * uint64_t{index});
    if (!rva || *rva == 0 || *rva >= image.size()) return nullptr;
    if (*rva >= directory.rva && *rva - directory.rva < directory.size) return nullptr;  // forwarder text
    return const_cast<uint8_t*>(image.data()) + *rva;
  }

  // Every name is compared, so with duplicate names the last one counts.
  void* ByName(const char* name) const {
    std::optional<uint32_t> found;
    for (uint32_t i = 0; i < nameCount; ++i) {
      auto nameRva = image.U32(uint64_t{names} + 4 * uint64_t{i});
      if (!nameRva) break;
      const char* exported = image.Text(*nameRva);
      if (exported == nullptr || strcmp(exported, name) != 0) continue;
      auto index = image.U16(uint64_t{nameOrdinals} + 2 * uint64_t{i});
      if (index) found = *index;
    }
    return found ? Function(*found) : nullptr;
  }

  void* ByOrdinal(uint16_t ordinal) const {
    if (ordinal < ordinalBase) return nullptr;
    return Function(ordinal - ordinalBase);
  }

  // The DLL name the image gives itself.
  const char* LibraryName() const { return image.Text(uint64_t{*image.U32(uint64_t{directory.rva} + 12)}); }
};

std::optional<ExportTable> ExportsOf(void* base, const MappedImage& mapped) {
  if (mapped.kind != ImageKind::kPortableExecutable) return std::nullopt;
  return ExportTable::Read(Bytes(static_cast<const uint8_t*>(base), mapped.size), mapped.exportDirectory);
}

bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [&](char x, char y) { return lower(x) == lower(y); });
}

// "KERNEL32.dll" and "kernel32" name the same library.
bool SameLibrary(std::string_view a, std::string_view b) {
  auto stem = [](std::string_view name) {
    if (name.size() >= 4 && EqualIgnoringAsciiCase(name.substr(name.size() - 4), ".dll")) name.remove_suffix(4);
    return name;
  };
  return EqualIgnoringAsciiCase(stem(a), stem(b));
}

using ImageEntry = int32_t(BRIMTALE_IMAGE_ENTRY_CALL*)(void* base, uint32_t reason, void* reserved);

}  // namespace

PortableExecutableMapping MapPortableExecutable(std::span<const uint8_t> image, const ImportResolver& resolver) {
  PortableExecutableMapping result;
  if (!IsPortableExecutable(image)) {
    result.error = "no MZ signature";
    return result;
  }
  Bytes file(image.data(), image.size());
  PeHeaders headers;
  if ((result.error = ReadHeaders(file, headers))) return result;

  // Where the process can run the image, its pages are executable and its entry point is called.
  // On the Linux backend a 32-bit x86 DLL can run neither in an x86-64 process nor against the
  // Windows DLLs it imports, so there the image is only ever mapped as data: readable, writable,
  // relocated and resolved, with its entry point recorded but never called.
  const bool runnable = platform::CanRunPortableExecutableCode(headers.machine);
  platform::VirtualMemoryBlock memory = platform::VirtualMemoryBlock::Allocate(
      headers.sizeOfImage, platform::AddressRange::kBelow4GiB,
      runnable ? platform::PageAccess::kReadWriteExecute : platform::PageAccess::kReadWrite);
  if (!memory) {
    result.error = "no memory below 4 GiB for the image";
    return result;
  }
  uint8_t* base = memory.data();
  memcpy(base, image.data(), headers.sizeOfHeaders);
  if ((result.error = CopySections(file, headers, base))) return result;
  if ((result.error = Relocate(headers, base))) return result;
  if ((result.error = ResolveImports(headers, base, resolver, result.unresolvedImports))) return result;

  result.base = base;
  result.size = headers.sizeOfImage;
  result.entryPoint = headers.entryPoint != 0 ? base + headers.entryPoint : nullptr;
  MappedImages()[base] = MappedImage{ImageKind::kPortableExecutable, headers.sizeOfImage, std::move(memory),
                                     headers.Directory(kExportDirectory)};

  if (runnable && result.entryPoint != nullptr) {
    platform::FlushInstructionCache(base, headers.sizeOfImage);
    auto entry = reinterpret_cast<ImageEntry>(result.entryPoint);
    entry(base, kDllProcessAttach, nullptr);
    entry(base, kDllThreadAttach, nullptr);
    result.entryPointCalled = true;
  }
  return result;
}

void* ResolveImportFromMappedImages(const char* library, const char* symbol, uint16_t ordinal) {
  for (auto& [base, mapped] : MappedImages()) {
    auto exports = ExportsOf(base, mapped);
    if (!exports) continue;
    const char* name = exports->LibraryName();
    if (name == nullptr || !SameLibrary(name, library)) continue;
    return symbol != nullptr ? exports->ByName(symbol) : exports->ByOrdinal(ordinal);
  }
  return nullptr;
}

void* LoadImageFromMemory(std::span<const uint8_t> image) {
  if (IsElf(image)) {
    void* base = platform::LoadSharedObjectFromMemory(image, "brimtale-runtime");
    if (base == nullptr) {
      WriteLog("LoadImageFromMemory: %s", platform::LastDynamicLibraryError());
      return nullptr;
    }
    MappedImages()[base] = MappedImage{ImageKind::kElf, image.size(), {}, {}};
    return base;
  }
  if (IsPortableExecutable(image)) {
    PortableExecutableMapping mapping = MapPortableExecutable(image, ResolveImportFromMappedImages);
    if (mapping.base == nullptr) WriteLog("LoadImageFromMemory: %s", mapping.error);
    return mapping.base;
  }
  WriteLog("LoadImageFromMemory: %s", image.empty() ? "no image" : "not an ELF or PE image");
  return nullptr;
}

void* FindImageExport(void* base, const char* name) {
  if (base == nullptr || name == nullptr) return nullptr;
  auto found = MappedImages().find(base);
  if (found == MappedImages().end()) return nullptr;
  if (found->second.kind == ImageKind::kElf) return platform::FindSharedObjectSymbol(base, name);
  auto exports = ExportsOf(base, found->second);
  return exports ? exports->ByName(name) : nullptr;
}

void ReleaseImage(void* base) {
  auto found = MappedImages().find(base);
  if (found != MappedImages().end() && found->second.kind == ImageKind::kPortableExecutable)
    MappedImages().erase(found);
}

void* EnsureRuntimeLibrary() {
  static void* base = LoadImageFromMemory(res::RuntimeLibraryImage());
  return base;
}

}  // namespace flash
