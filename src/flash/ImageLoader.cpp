#include "flash/ImageLoader.h"

#include <cstring>
#include <map>

#include "platform/DynamicLibrary.h"
#include "res/EmbeddedBinaries.h"

namespace flash {
namespace {

enum class ImageKind { kElf };

// Every image mapped in this process, by the base handed out for it.
std::map<void*, ImageKind>& MappedImages() {
  static std::map<void*, ImageKind> images;
  return images;
}

bool IsElf(std::span<const uint8_t> image) { return image.size() >= 4 && memcmp(image.data(), "\x7F" "ELF", 4) == 0; }

}  // namespace

void* LoadImageFromMemory(std::span<const uint8_t> image) {
  if (IsElf(image)) {
    void* base = platform::LoadSharedObjectFromMemory(image, "brimtale-runtime");
    if (base != nullptr) MappedImages()[base] = ImageKind::kElf;
    return base;
  }
  return nullptr;
}

void* FindImageExport(void* base, const char* name) {
  if (base == nullptr) return nullptr;
  auto found = MappedImages().find(base);
  if (found == MappedImages().end()) return nullptr;
  return platform::FindSharedObjectSymbol(base, name);
}

void* EnsureRuntimeLibrary() {
  static void* base = LoadImageFromMemory(res::RuntimeLibraryImage());
  return base;
}

}  // namespace flash
