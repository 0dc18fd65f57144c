#pragma once
// The files of a game folder as brimtale-pack publishes them: what is listed, what is left out
// and why, and which names no manifest line or movie command can carry.
//
// The walk never leaves the game folder. Folders are entered only as themselves, never through a
// link. A link to a file is followed when it leads, link after link, to a regular file inside the
// game folder: the file is published under the link's name with its target's bytes. Every other
// link is left out and said so: one that leads out of the folder (or is absolute), one to a
// folder (a copy of a tree, or a loop), one that leads nowhere. Names starting with "." (hidden)
// are left out too.

#include <cstdint>
#include <string>
#include <vector>

#include "ops/Sha256.h"
#include "platform/FileTree.h"

struct GameFile {
  std::string name;  // relative to the game folder, "/" between folders
  platform::FileStatus status;  // of the file itself, or of a link's target
};

struct GameListing {
  std::vector<GameFile> files;        // sorted by name (bytes): the manifest's order
  std::vector<std::string> skipped;   // "NAME: why it was left out"
  std::vector<std::string> refused;   // "NAME: why it cannot be published"; nothing may be
                                      // published while this is not empty
};

// Lists the game folder `game`.
GameListing ListGameFolder(const platform::Folder& game);

// Opens a listed file for reading: through links only while they stay inside the game folder.
platform::ScopedFd OpenGameFile(const platform::Folder& game, const std::string& name, int& error);

// Where the site serves a file: "files/NAME~TAG", with ".qlz" when it is served compressed. TAG is
// the first 16 hexadecimal digits of the SHA-256 of the bytes served, so the name changes whenever
// those bytes do, and a manifest being read while a new one is written never points at new bytes.
std::string ServedPath(const std::string& name, const Sha256Digest& served, bool compressed);

// Why `name` (relative, "/" between folders) cannot be published, or empty when it can:
// bytes that are not UTF-8, control characters, a blank, comma or backslash (the manifest
// separates its fields with blanks, the movie's commands their arguments with commas, and a
// backslash separates folders on other systems), a leading "#" (a comment line of the manifest),
// or a last part too long to take the served name's version tag.
std::string NameProblem(const std::string& name);

// The name as text that a terminal shows safely: bytes that are not printable UTF-8 as \xNN.
std::string PrintableName(const std::string& name);
