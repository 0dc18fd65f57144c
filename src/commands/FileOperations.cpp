// The operations behind the movie's file commands: hex text both ways, tree deletion, existence.
#include "commands/FileOperations.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/Files.h"

namespace commands {
namespace {

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using ScopedFile = std::unique_ptr<FILE, FileCloser>;

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

// Deletes the entries of `directory` that match `pattern`, a matching subdirectory with
// everything in it. Entries are addressed through the directory's descriptor and subdirectories
// are opened without following links, so the walk stays inside the tree.
void DeleteEntries(const platform::DirectoryHandle& directory, std::string_view pattern) {
  for (const platform::DirectoryEntry& entry : directory.List(pattern)) {
    if (entry.isDirectory) {
      // A child that cannot be opened (or was swapped for a link meanwhile) is left alone; the
      // removal below then fails for it, as for anything else that could not be emptied.
      platform::DirectoryHandle child = directory.OpenChild(entry.name);
      if (child.IsOpen()) DeleteEntries(child, "*");
      directory.RemoveChildDirectory(entry.name);
    } else {
      directory.DeleteChildFile(entry.name);
    }
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
  ScopedFile file(fopen(path, "rb"));
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
  FILE* file = fopen(path, "wb");
  if (file == nullptr) return false;
  bool written = true;
  uint8_t buffer[1024];
  size_t used = 0;
  for (size_t i = 0; i < hex.size() && written; i += 2) {
    buffer[used++] = static_cast<uint8_t>(HexDigitValue(hex[i]) * 16 + HexDigitValue(hex[i + 1]));
    if (used == sizeof buffer) {
      written = fwrite(buffer, 1, used, file) == used;
      used = 0;
    }
  }
  if (written && used > 0) written = fwrite(buffer, 1, used, file) == used;
  // The close flushes the last block: its failure (a full disk) is a failed write too.
  bool closed = fclose(file) == 0;
  return written && closed;
}

bool DeleteDirectory(bool removeSelf, const char* directory, int depth, const char* pattern) {
  if (depth != 0) pattern = "*.*";
  // The entries are looked for where directory and pattern together point: a pattern may carry
  // folders before its last component.
  std::string search = std::string(directory) + "/" + pattern;
  size_t slash = search.rfind('/');
  std::string folder = slash == 0 ? "/" : search.substr(0, slash);
  std::string namePattern = search.substr(slash + 1);

  platform::DirectoryHandle handle = platform::DirectoryHandle::Open(folder);
  if (handle.IsOpen()) DeleteEntries(handle, namePattern);
  if (removeSelf) return platform::RemoveDirectory(directory);
  return true;
}

bool FileExists(const char* path) { return platform::PathOrPatternExists(path); }

}  // namespace commands
