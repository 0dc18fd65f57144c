#include "res/EmbeddedBinaries.h"

// The runtime library's image and the player control archive are placed into read-only data by
// the assembler. The build names the files (BRIMTALE_RUNTIME_IMAGE_FILE, BRIMTALE_PLAYER_ARCHIVE_FILE)
// and compiles this file again, without the compiler cache, whenever one of them changes.

#define BRIMTALE_EMBED(symbol, file)                                     \
  asm(".section .rodata.brimtale_embedded,\"a\",@progbits\n"             \
      ".balign 64\n"                                                     \
      ".globl " #symbol "_begin\n"                                       \
      ".hidden " #symbol "_begin\n" #symbol "_begin:\n"                  \
      ".incbin \"" file "\"\n"                                           \
      ".globl " #symbol "_end\n"                                         \
      ".hidden " #symbol "_end\n" #symbol "_end:\n"                      \
      ".previous\n");                                                    \
  extern "C" __attribute__((visibility("hidden"))) const uint8_t symbol##_begin[]; \
  extern "C" __attribute__((visibility("hidden"))) const uint8_t symbol##_end[];

#ifdef BRIMTALE_RUNTIME_IMAGE_FILE
BRIMTALE_EMBED(brimtale_runtime_image, BRIMTALE_RUNTIME_IMAGE_FILE)
#endif
#ifdef BRIMTALE_PLAYER_ARCHIVE_FILE
BRIMTALE_EMBED(brimtale_player_archive, BRIMTALE_PLAYER_ARCHIVE_FILE)
#endif
#ifdef BRIMTALE_FAILURE_PAGE_FILE
BRIMTALE_EMBED(brimtale_failure_page, BRIMTALE_FAILURE_PAGE_FILE)
BRIMTALE_EMBED(brimtale_failure_script, BRIMTALE_FAILURE_SCRIPT_FILE)
#endif

namespace res {

std::span<const uint8_t> RuntimeLibraryImage() {
#ifdef BRIMTALE_RUNTIME_IMAGE_FILE
  return {brimtale_runtime_image_begin, brimtale_runtime_image_end};
#else
  return {};
#endif
}

std::span<const uint8_t> PlayerControlArchive() {
#ifdef BRIMTALE_PLAYER_ARCHIVE_FILE
  return {brimtale_player_archive_begin, brimtale_player_archive_end};
#else
  return {};
#endif
}

namespace {

#ifdef BRIMTALE_FAILURE_PAGE_FILE
std::string_view Text(const uint8_t* begin, const uint8_t* end) {
  return {reinterpret_cast<const char*>(begin), static_cast<size_t>(end - begin)};
}
#endif

}  // namespace

std::string_view FailurePageTemplate() {
#ifdef BRIMTALE_FAILURE_PAGE_FILE
  return Text(brimtale_failure_page_begin, brimtale_failure_page_end);
#else
  return {};
#endif
}

std::string_view FailurePageScript() {
#ifdef BRIMTALE_FAILURE_PAGE_FILE
  return Text(brimtale_failure_script_begin, brimtale_failure_script_end);
#else
  return {};
#endif
}

}  // namespace res
