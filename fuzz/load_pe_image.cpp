// libFuzzer target: the PE32 mapper on arbitrary bytes must refuse or map without reading or
// writing outside the input and the mapping (the sanitizers see that). A mapped image lies below
// 4 GiB, its entry point inside it; the resolver only ever sees terminated names; export lookups
// on the result stay inside the image.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "flash/ImageLoader.h"

namespace {

// An address no import can have come from: slots holding it were written by the resolver.
uint8_t g_resolved;

void* Resolve(const char* library, const char* symbol, uint16_t) {
  if (strlen(library) > 1u << 28 || (symbol != nullptr && strlen(symbol) > 1u << 28)) abort();
  return &g_resolved;
}

bool Inside(const void* address, const flash::PortableExecutableMapping& mapping) {
  auto p = static_cast<const uint8_t*>(address);
  auto base = static_cast<const uint8_t*>(mapping.base);
  return p >= base && p < base + mapping.size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  flash::PortableExecutableMapping mapping = flash::MapPortableExecutable({data, size}, Resolve);
  if (mapping.base == nullptr) {
    if (mapping.error == nullptr) abort();
    return 0;
  }
  if (reinterpret_cast<uintptr_t>(mapping.base) + mapping.size > (uint64_t{1} << 32) && sizeof(void*) > 4) abort();
  if (mapping.entryPoint != nullptr && !Inside(mapping.entryPoint, mapping)) abort();
  for (const char* name : {"", "a", "noentry_value", "noentry_next", "DllMain", "FPC_GetVersionEx"}) {
    void* found = flash::FindImageExport(mapping.base, name);
    if (found != nullptr && !Inside(found, mapping)) abort();
  }
  flash::ReleaseImage(mapping.base);
  return 0;
}
