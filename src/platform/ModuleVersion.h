#pragma once
// Product version of a module file. Our own binaries carry it in an ELF note
// (section ".note.brimtale.version"); PE files carry it in their VS_FIXEDFILEINFO resource.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// The four parts, most significant first (1.2.3.4 is {1, 2, 3, 4}).
using ProductVersion = std::array<uint16_t, 4>;

// Reads the product version of the file at `path`. Returns nothing when the file cannot be read
// or carries no version (neither an ELF file with the note nor a PE file with a version resource).
std::optional<ProductVersion> ReadProductVersion(const std::string& path);

}  // namespace platform
