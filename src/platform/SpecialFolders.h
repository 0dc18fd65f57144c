#pragma once
// The user's special folders, by the numbers the game's movie and the log use (CSIDL numbers).

#include <optional>
#include <string>

namespace platform {

constexpr int kFolderDesktop = 0;
constexpr int kFolderDocuments = 5;  // CSIDL_PERSONAL

// Path of the special folder `csidl`, without a trailing separator, from the XDG user and base
// directories. Returns nothing for a number that has no folder here or when $HOME is unknown.
// The folder is not created.
std::optional<std::string> GetSpecialFolderPath(int csidl);

// The user's folder for state that outlives a run but is no configuration: $XDG_STATE_HOME, else
// ~/.local/state. Nothing when $HOME is unknown. Not created; not one of the movie's folders.
std::optional<std::string> GetStateFolderPath();

}  // namespace platform
