#pragma once
// Binaries the build links into the launcher's data.

#include <cstdint>
#include <span>
#include <string_view>

namespace res {

// The player runtime library's image (an ELF shared object); empty when the build has none.
std::span<const uint8_t> RuntimeLibraryImage();

// The player control archive (the resource "bin" 134); empty when the build has none.
std::span<const uint8_t> PlayerControlArchive();

// The failure page (runtime/host/failure.html) and its script (failure.js), as text.
std::string_view FailurePageTemplate();
std::string_view FailurePageScript();

}  // namespace res
