#pragma once
// The runtime's own page files (host/: the player's page and its glue, the failure page and its
// script), compiled into the library so that the pages always match the library that talks to them.

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

}  // namespace player_runtime
