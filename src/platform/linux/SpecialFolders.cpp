#include "platform/SpecialFolders.h"

#include <cstdlib>
#include <fstream>
#include <string_view>

namespace platform {
namespace {

std::optional<std::string> Home() {
  const char* home = getenv("HOME");
  if (home == nullptr || *home == '\0') return std::nullopt;
  return std::string(home);
}

std::optional<std::string> BaseDirectory(const char* variable, const char* fallbackUnderHome) {
  const char* value = getenv(variable);
  if (value != nullptr && value[0] == '/') return std::string(value);
  auto home = Home();
  if (!home) return std::nullopt;
  return *home + "/" + fallbackUnderHome;
}

// Reads XDG_<NAME>_DIR from $XDG_CONFIG_HOME/user-dirs.dirs ("$HOME/..." or an absolute path).
std::optional<std::string> UserDirectory(std::string_view name, const char* fallbackUnderHome) {
  auto home = Home();
  if (!home) return std::nullopt;
  if (auto config = BaseDirectory("XDG_CONFIG_HOME", ".config")) {
    std::ifstream dirs(*config + "/user-dirs.dirs");
    std::string line;
    std::string key = "XDG_" + std::string(name) + "_DIR=";
    while (std::getline(dirs, line)) {
      if (line.rfind(key, 0) != 0) continue;
      std::string value = line.substr(key.size());
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
      if (value.rfind("$HOME", 0) == 0) value = *home + value.substr(5);
      if (!value.empty() && value[0] == '/') return value;
    }
  }
  return *home + "/" + fallbackUnderHome;
}

}  // namespace

std::optional<std::string> GetSpecialFolderPath(int csidl) {
  switch (csidl) {
    case 0:   // desktop
    case 16:  // desktop directory
      return UserDirectory("DESKTOP", "Desktop");
    case 5:  // documents
      return UserDirectory("DOCUMENTS", "Documents");
    case 13:  // music
      return UserDirectory("MUSIC", "Music");
    case 14:  // videos
      return UserDirectory("VIDEOS", "Videos");
    case 39:  // pictures
      return UserDirectory("PICTURES", "Pictures");
    case 26:  // roaming application data
      return BaseDirectory("XDG_CONFIG_HOME", ".config");
    case 28:  // local application data
      return BaseDirectory("XDG_DATA_HOME", ".local/share");
    case 32:  // internet cache
      return BaseDirectory("XDG_CACHE_HOME", ".cache");
    case 40:  // profile
      return Home();
    default:
      return std::nullopt;
  }
}

std::optional<std::string> GetStateFolderPath() { return BaseDirectory("XDG_STATE_HOME", ".local/state"); }

}  // namespace platform
