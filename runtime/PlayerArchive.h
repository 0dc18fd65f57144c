#pragma once
// The player control archive: the files of the player control (Ruffle's web build) in one block of
// bytes, and the version the control carries. Pure functions over bytes; no OS, no GTK.
//
// Layout (integers little-endian):
//   "BRPLAYER"            8 bytes
//   format                u32, 1
//   count                 u32
//   count times:          u32 name length, name bytes (a relative path with '/'), u32 size, bytes

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "brimtale/runtime_api.h"

namespace player_runtime {

inline constexpr std::string_view kArchiveMagic = "BRPLAYER";
inline constexpr uint32_t kArchiveFormat = 1;

struct ArchiveEntry {
  std::string name;
  size_t offset = 0;  // into the archive's bytes
  size_t size = 0;
};

// The entries of the archive in `data`; nullopt when it is not an archive or is cut short.
std::optional<std::vector<ArchiveEntry>> ReadArchiveIndex(std::span<const uint8_t> data);

// Appends one entry in the archive's layout (the build's packing tool writes archives with it).
void AppendArchiveEntry(std::vector<uint8_t>& archive, std::string_view name, std::span<const uint8_t> data);
std::vector<uint8_t> ArchiveHeader(uint32_t count);

// The "version" of a package.json text as a FlashVersion: "0.6.0" is 0.6.0.0, i.e. {0, 0, 6, 0}.
// Parts after the fourth and a pre-release suffix are ignored; nullopt when there is no version.
std::optional<SFPCVersion> ParsePackageVersion(std::string_view packageJson);

// -1, 0 or 1 as a is older than, equal to or newer than b (most significant part first).
int CompareVersions(const SFPCVersion& a, const SFPCVersion& b);

// The MIME type the web view is given for a file name (by its extension).
const char* MimeTypeOf(std::string_view name);

}  // namespace player_runtime
