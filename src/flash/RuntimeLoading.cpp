#include "flash/RuntimeLoading.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <new>

#include "base/AppInfo.h"
#include "base/ScopedFile.h"
#include "res/EmbeddedBinaries.h"

namespace flash {
namespace {

std::string g_playerControlFile;
std::optional<std::span<const uint8_t>> g_playerControlResource;

// A player control archive is a few MiB; a length beyond this is no archive (a directory named
// "flash.ocx" reports a huge one) and is not read.
constexpr long kMaxPlayerControlFileSize = 512L << 20;

// The whole file, read in chunks of a third of its length as the player control has always been
// read: a file of one or two bytes has a chunk length of 0 and reads nothing. Nothing when the
// length cannot be taken or fewer bytes arrive than the length promised.
std::optional<std::unique_ptr<uint8_t[]>> ReadInThirds(FILE* file, long& length) {
  if (fseek(file, 0, SEEK_END) != 0) return std::nullopt;
  length = ftell(file);
  if (length < 0 || length > kMaxPlayerControlFileSize || fseek(file, 0, SEEK_SET) != 0) return std::nullopt;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[static_cast<size_t>(length) + 1]);
  if (!buffer) return std::nullopt;
  const size_t chunk = static_cast<size_t>(length) / 3;
  size_t total = 0;
  // Each read is held to the room left, so a file that grows while it is read cannot overrun the buffer.
  while (total < static_cast<size_t>(length)) {
    size_t read = fread(buffer.get() + total, 1, std::min(chunk, static_cast<size_t>(length) - total), file);
    if (read == 0) break;
    total += read;
  }
  if (total != static_cast<size_t>(length) || ferror(file)) return std::nullopt;
  return buffer;
}

}  // namespace

void SetPlayerControlFileForTesting(std::string path) { g_playerControlFile = std::move(path); }

void SetPlayerControlResourceForTesting(std::optional<std::span<const uint8_t>> archive) {
  g_playerControlResource = archive;
}

std::optional<PlayerControlBytes> ReadPlayerControlFile() {
  const std::string path = g_playerControlFile.empty() ? GetAppFilePath("flash.ocx") : g_playerControlFile;
  // A folder of that name opens for reading here but is no file to load.
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
  ScopedFile file(fopen(path.c_str(), "rb"));
  if (!file) return std::nullopt;
  long length = 0;
  auto bytes = ReadInThirds(file.get(), length);
  if (!bytes) return std::nullopt;
  return PlayerControlBytes{std::move(*bytes), static_cast<uint32_t>(length)};
}

std::span<const uint8_t> PlayerControlResource() {
  return g_playerControlResource ? *g_playerControlResource : res::PlayerControlArchive();
}

}  // namespace flash
