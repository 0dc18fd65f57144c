// The operations behind the movie's file commands: hex text both ways, tree deletion, existence.
#include "ops/FileOperations.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/ScopedFile.h"
#include "platform/Files.h"
#include "platform/TempFiles.h"

namespace commands {
namespace {

// Files up to this size get their whole text's room at once; a larger size (a sparse file, a
// device that reports one) is not trusted for an allocation.
constexpr long kLargestSizeHint = 1L << 30;

// The two digits of every byte value, side by side: one table read per byte.
constexpr auto kHexPairs = [] {
  constexpr char kDigits[] = "0123456789ABCDEF";
  std::array<char, 512> pairs{};
  for (int byte = 0; byte < 256; ++byte) {
    pairs[byte * 2] = kDigits[byte >> 4];
    pairs[byte * 2 + 1] = kDigits[byte & 0x0F];
  }
  return pairs;
}();

// One folder of the walk below: its identity (to check the way back up) and the name it has in
// its parent.
struct WalkLevel {
  std::string name;
  platform::FileIdentity identity;
  std::vector<std::string> subdirectories;  // still to be emptied and removed
};

// Deletes the non-directory entries of `directory` that match `pattern` and returns a level
// holding its matching subdirectories.
WalkLevel EnterFolder(const platform::DirectoryHandle& directory, std::string name, std::string_view pattern) {
  WalkLevel level{std::move(name), directory.Identity().value_or(platform::FileIdentity{}), {}};
  for (platform::DirectoryEntry& entry : directory.List(pattern)) {
    if (entry.isDirectory)
      level.subdirectories.push_back(std::move(entry.name));
    else
      directory.DeleteChildFile(entry.name);
  }
  return level;
}

// Deletes the entries of `top` that match `pattern`, a matching subdirectory with everything in
// it. The walk holds one folder open at a time, whatever the depth: it goes down by name without
// following links and up through "..", checking that it arrives where it came from, so it stays
// inside the tree even while the tree changes under it.
void DeleteEntries(platform::DirectoryHandle top, std::string_view pattern) {
  std::vector<WalkLevel> levels;
  levels.push_back(EnterFolder(top, "", pattern));
  platform::DirectoryHandle current = std::move(top);
  while (!levels.empty()) {
    WalkLevel& level = levels.back();
    if (!level.subdirectories.empty()) {
      std::string name = std::move(level.subdirectories.back());
      level.subdirectories.pop_back();
      // A child that cannot be opened (or was swapped for a link meanwhile) is left alone; the
      // removal then fails for it, as for anything else that could not be emptied.
      platform::DirectoryHandle child = current.OpenChild(name);
      if (!child.IsOpen()) {
        current.RemoveChildDirectory(name);
        continue;
      }
      levels.push_back(EnterFolder(child, std::move(name), "*"));
      current = std::move(child);
      continue;
    }
    if (levels.size() == 1) return;
    std::string emptied = std::move(level.name);
    levels.pop_back();
    platform::DirectoryHandle parent = current.OpenParent();
    if (!parent.IsOpen() || parent.Identity() != std::optional(levels.back().identity)) return;
    parent.RemoveChildDirectory(emptied);
    current = std::move(parent);
  }
}
}  // namespace

void AppendHex(std::span<const uint8_t> bytes, std::string& text) {
  size_t start = text.size();
  text.resize(start + bytes.size() * 2);
  char* out = text.data() + start;
  for (uint8_t byte : bytes) {
    memcpy(out, &kHexPairs[byte * 2], 2);
    out += 2;
  }
}

int HexDigitValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  return 0;
}

std::string ReadFileHex(const char* path) {
  std::string text;
  // Only a regular file: a FIFO would block, a device or a generated file might never end.
  ScopedFile file(platform::OpenRegularFileStream(path));
  if (!file) return text;
  // The size is only a hint for the text's room; the reads below decide what the text holds.
  if (fseek(file.get(), 0, SEEK_END) == 0) {
    long size = ftell(file.get());
    if (size > 0 && size <= kLargestSizeHint) text.reserve(static_cast<size_t>(size) * 2);
    rewind(file.get());
  }
  uint8_t buffer[65536];
  for (;;) {
    size_t count = fread(buffer, 1, sizeof buffer, file.get());
    if (count == 0) break;
    AppendHex(std::span<const uint8_t>(buffer, count), text);
  }
  return text;
}

bool WriteFileHex(const char* path, std::string_view hex) {
  if (hex.size() % 2 != 0) return false;
  // A FIFO or a device is no file to write, and the staged file would take its place. A path that
  // reaches its place through a link and ".." names no place of its own.
  if (platform::IsOtherThanRegularFile(path) || !platform::OpenPathEntry(path)) return false;
  // The bytes go to a staged file beside the destination, which replaces the old file only when
  // whole: a full disk or any other failure leaves the old file as it was.
  platform::StagedFile file;
  if (!file.Open(path)) return false;
  bool written = true;
  uint8_t buffer[1024];
  size_t used = 0;
  for (size_t i = 0; i < hex.size() && written; i += 2) {
    buffer[used++] = static_cast<uint8_t>(HexDigitValue(hex[i]) * 16 + HexDigitValue(hex[i + 1]));
    if (used == sizeof buffer) {
      written = fwrite(buffer, 1, used, file.stream()) == used;
      used = 0;
    }
  }
  if (written && used > 0) written = fwrite(buffer, 1, used, file.stream()) == used;
  return written && file.Commit();
}

bool DeleteDirectory(bool removeSelf, const char* directory, int depth, const char* pattern) {
  // An empty name would make the search "/*.*": the whole disk.
  if (directory[0] == '\0') return false;
  if (depth != 0) pattern = "*.*";
  if (!removeSelf) {
    // The entries are looked for where directory and pattern together point: a pattern may carry
    // folders before its last component.
    std::string search = std::string(directory) + "/" + pattern;
    size_t slash = search.rfind('/');
    platform::DirectoryHandle folder = platform::DirectoryHandle::Open(slash == 0 ? "/" : search.substr(0, slash));
    if (!folder.IsOpen()) return true;
    if (platform::IsRootOrHomeFolder(folder)) return false;
    DeleteEntries(std::move(folder), search.substr(slash + 1));
    return true;
  }
  // Everything below the folder goes, so it is never reached through a link: only what the
  // path's own text names.
  std::optional<platform::PathEntry> entry = platform::OpenPathEntry(directory);
  if (!entry) return false;
  platform::DirectoryHandle top = entry->folder.OpenChild(entry->name);
  if (top.IsOpen()) {
    if (platform::IsRootOrHomeFolder(top)) return false;
    DeleteEntries(std::move(top), pattern);
  }
  return entry->folder.RemoveChildDirectory(entry->name);
}

bool FileExists(const char* path) { return platform::PathOrPatternExists(path); }

}  // namespace commands
