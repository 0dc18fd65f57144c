#pragma once
// The runtime's own page files (host/: the player's page and its glue, the failure page and its
// script) and its web process extension, compiled into the library so that the pages always match
// the library that talks to them.

#include <cstddef>
#include <string_view>

namespace player_runtime {

struct HostFile {
  const char* name;
  const unsigned char* data;
  size_t size;
};

// The page file of that name; null for any other name.
const HostFile* FindHostFile(std::string_view name);

// The web process extension's module (extension/), by its file name; null for any other name.
// Kept apart from the page's files: the URI scheme never serves it.
const HostFile* FindChannelExtension(std::string_view name);

}  // namespace player_runtime
