#pragma once
// Bytes handed to another part of the process by descriptor: a memory file sealed against every
// change, so that whoever reads it reads exactly the bytes it was made with. Any thread.

#include <string_view>

#include "platform/Files.h"

namespace platform {

// A memory file (memfd) named `name` holding `bytes`, sealed against writes, growing, shrinking
// and further seals. Close-on-exec. Invalid (errno set) when it cannot be made or filled.
ScopedFd CreateSealedMemoryFile(const char* name, std::string_view bytes);

}  // namespace platform
