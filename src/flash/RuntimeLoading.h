#pragma once
// Where the application's InitFlashInBox finds the player control: a file beside the executable
// and the archive the executable carries. GUI thread only.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace flash {

struct PlayerControlBytes {
  std::unique_ptr<uint8_t[]> data;
  uint32_t size = 0;
};

// The file "flash.ocx" beside the executable, read whole in thirds as it has always been read: a
// file of one or two bytes reads nothing. Nothing when it is missing, is no regular file, is
// larger than an archive can be, or cannot be read whole.
std::optional<PlayerControlBytes> ReadPlayerControlFile();

// The archive linked into the executable; empty when the build carries no player control.
std::span<const uint8_t> PlayerControlResource();

// The file source: GetAppFilePath("flash.ocx") unless a test names another file (empty restores).
void SetPlayerControlFileForTesting(std::string path);

// The resource source: the archive linked into the executable unless a test gives other bytes
// (an empty span stands for a missing resource; nullopt restores). The bytes must outlive their use.
void SetPlayerControlResourceForTesting(std::optional<std::span<const uint8_t>> archive);

}  // namespace flash
