#include "res/EmbeddedBinaries.h"

// Until the runtime library and the player control are built, the launcher carries neither.
namespace res {

std::span<const uint8_t> RuntimeLibraryImage() { return {}; }
std::span<const uint8_t> PlayerControlArchive() { return {}; }

}  // namespace res
