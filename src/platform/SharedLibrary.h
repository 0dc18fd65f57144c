#pragma once
// Shared objects loaded from files by path, as the game hall's library is. Any thread.

#include <string>

namespace platform {

// Loads the shared object at `path` (a path with a "/" is taken as it is, relative paths against
// the current directory; a bare name goes through the loader's search path). Returns an opaque
// handle, or null when it cannot be loaded (LastDynamicLibraryError says why). Never unloaded.
// Look its symbols up with FindSharedObjectSymbol (DynamicLibrary.h).
void* LoadLibrary(const std::string& path);

}  // namespace platform
