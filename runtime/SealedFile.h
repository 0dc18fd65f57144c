#pragma once
// Memory files sealed against every change of their bytes, as the runtime's images hand bytes to
// each other by descriptor (a movie from the launcher, the player's code to a page): whoever maps
// or reads one reads exactly the bytes it was made with. Any thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace player_runtime {

// Writes all of `size` bytes, going on after interruptions; false on any other failure.
bool WriteWhole(int fd, const void* data, size_t size);

// A close-on-exec memory file named `name` holding `bytes`, sealed against writes, growing,
// shrinking and further seals; -1 when it cannot be made or filled.
int CreateSealedFile(const char* name, std::span<const uint8_t> bytes);

// The size of the file behind `fd` when it is a regular file sealed against writes, growing and
// shrinking; nothing for any other descriptor (a file, a pipe, a socket: anything that may change
// or block while read).
std::optional<size_t> SealedFileSize(int fd);

}  // namespace player_runtime
