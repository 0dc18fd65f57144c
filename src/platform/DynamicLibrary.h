#pragma once
// Shared objects loaded from bytes in memory. GUI thread only.

#include <cstdint>
#include <span>

namespace platform {

// Loads an ELF shared object held in memory (through a memory file and the dynamic loader).
// Returns an opaque handle, or null when it cannot be loaded. Never unloaded.
void* LoadSharedObjectFromMemory(std::span<const uint8_t> image, const char* name);

// The address of `symbol` in the object; null when it is not exported.
void* FindSharedObjectSymbol(void* handle, const char* symbol);

// The dynamic loader's last error text, for the log.
const char* LastDynamicLibraryError();

}  // namespace platform
