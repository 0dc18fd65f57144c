#pragma once
// The operations behind the movie's file and directory commands, usable without a window.
// Paths are used as given; relative ones resolve against the launcher's current directory.
// Any thread; each call opens and closes what it uses.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace commands {

// Appends each byte of `bytes` as two upper-case hexadecimal digits, high digit first.
void AppendHex(std::span<const uint8_t> bytes, std::string& text);

// The value of one hexadecimal digit of either case; every other character counts as 0.
int HexDigitValue(char digit);

// The whole file as hexadecimal text; empty when it cannot be opened, is no regular file (a FIFO,
// a device, a generated file of /proc) or is empty. A read error ends the text after the bytes
// read before it.
std::string ReadFileHex(const char* path);

// Writes the bytes that `hex` spells into `path` (created, or replaced whole through a staged file
// beside it, keeping its permissions). false, touching nothing, when the text's length is odd,
// when `path` is something other than a regular file (a folder, a FIFO, a device) or is refused by
// the walk of platform/Files.h (a ".." after a link), or when the staged file cannot be made,
// written or put in place: the old file then stays as it was.
bool WriteFileHex(const char* path, std::string_view hex);

// Deletes the entries of `directory` whose names match `pattern` (at depth 0; every entry below
// that), descending into matching subdirectories but never through a symbolic link: a link is
// removed itself and its target stays. The pattern may name a subfolder before its last
// component. With `removeSelf` the directory itself is then removed, and the result says whether
// that worked; otherwise the result is true unless the call was refused. Paths are walked as
// platform/Files.h says: links in the folders on the way are followed, a ".." after one is refused,
// and with `removeSelf` a `directory` that is a link itself is refused. Refused, deleting nothing:
// an empty `directory`, a folder that is the root, the home folder or one that holds it. Any depth
// of tree is walked with a few descriptors.
bool DeleteDirectory(bool removeSelf, const char* directory, int depth, const char* pattern);

// Whether `path` exists (file, directory or link), or, when its last component holds `*` or
// `?`, whether anything in its folder matches (its own "." entry included).
bool FileExists(const char* path);

}  // namespace commands
