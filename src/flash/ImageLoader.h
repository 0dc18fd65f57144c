#pragma once
// Loading the player runtime library from bytes in memory, and finding its exports.
// GUI thread only.

#include <cstdint>
#include <span>

namespace flash {

// Maps an image held in memory and returns its base (a handle for FindImageExport), or null when
// the image cannot be mapped. ELF images are loaded by the dynamic loader from a memory file.
void* LoadImageFromMemory(std::span<const uint8_t> image);

// The address of export `name` of the image at `base`; null when base is null or the name is not
// exported.
void* FindImageExport(void* base, const char* name);

// Maps the embedded runtime library on first use and returns its base; later calls return the
// same base (null when it could not be mapped).
void* EnsureRuntimeLibrary();

}  // namespace flash
