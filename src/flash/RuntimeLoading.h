#pragma once
// Where InitFlashInBox finds the player control. The sources themselves are members of
// CLauncherApp (app/LauncherApp.h). GUI thread only.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace flash {

// The file source: GetAppFilePath("flash.ocx") unless a test names another file (empty restores).
void SetPlayerControlFileForTesting(std::string path);

// The resource source: the archive linked into the executable unless a test gives other bytes
// (an empty span stands for a missing resource; nullopt restores). The bytes must outlive their use.
void SetPlayerControlResourceForTesting(std::optional<std::span<const uint8_t>> archive);

}  // namespace flash
