#pragma once
// Loading the player runtime library from bytes in memory, and finding its exports.
// GUI thread only: the table of mapped images takes no lock.
//
// Two formats are recognised by their first bytes. An ELF shared object (the runtime library this
// platform ships) goes to the dynamic loader through a memory file. A 32-bit PE image (a Windows
// DLL) is mapped by the launcher itself: headers, sections, base relocations, imports through a
// resolver, exports by name. Every offset a PE image holds is checked against the image before it
// is used, so a malformed image is refused instead of read out of bounds.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

namespace flash {

// Maps an image held in memory and returns its base (a handle for FindImageExport), or null when
// the image cannot be mapped (logged with the reason). PE images get their imports from
// ResolveImportFromMappedImages. Images stay mapped for the life of the process.
void* LoadImageFromMemory(std::span<const uint8_t> image);

// The address of export `name` of the image at `base`; null when base is null, is not an image
// mapped here, or the name is not exported. For a PE image the address is base + the export's RVA;
// a forwarded export (an RVA inside the export directory names another DLL's export) gives null.
void* FindImageExport(void* base, const char* name);

// Maps the embedded runtime library on first use and returns its base; later calls return the
// same base (null when it could not be mapped).
void* EnsureRuntimeLibrary();

// Gives the address of one import of a PE image: `symbol` of `library` by name, or by `ordinal`
// when `symbol` is null. Null leaves the import unresolved (its slot holds 0).
using ImportResolver = std::function<void*(const char* library, const char* symbol, uint16_t ordinal)>;

// The resolver LoadImageFromMemory uses: exports of PE images mapped earlier in this process whose
// export directory names `library` (compared without regard to ASCII case or a ".dll" ending).
// Any other library, the system's DLLs among them, has nothing here to give: null.
void* ResolveImportFromMappedImages(const char* library, const char* symbol, uint16_t ordinal);

// What mapping a PE image did.
struct PortableExecutableMapping {
  void* base = nullptr;        // null when the image was refused
  const char* error = nullptr;  // why it was refused (static text); null on success
  size_t size = 0;             // SizeOfImage
  void* entryPoint = nullptr;  // base + AddressOfEntryPoint; null when the image has none
  bool entryPointCalled = false;
  uint32_t unresolvedImports = 0;  // slots left at 0
};

// Maps a 32-bit PE image at a base of the system's choosing below 4 GiB (its absolute pointers are
// 32 bits wide), relocated for that base, with its imports from `resolver`. The entry point is
// called (process attach, then thread attach) only where platform::CanRunPortableExecutableCode
// says this process can run the image's code; otherwise the image is mapped as data: its exports
// can be found and read, not called.
PortableExecutableMapping MapPortableExecutable(std::span<const uint8_t> image, const ImportResolver& resolver);

// Unmaps a PE image mapped by MapPortableExecutable or LoadImageFromMemory, for tests and tools
// that map many. Nothing else may use the image or its addresses afterwards. ELF images and
// unknown bases are left alone. The runtime library is never released.
void ReleaseImage(void* base);

}  // namespace flash
