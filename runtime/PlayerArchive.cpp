#include "PlayerArchive.h"

#include <charconv>
#include <cstring>

namespace player_runtime {
namespace {

bool ReadU32(std::span<const uint8_t> data, size_t& position, uint32_t& value) {
  if (data.size() < 4 || position > data.size() - 4) return false;
  value = static_cast<uint32_t>(data[position]) | static_cast<uint32_t>(data[position + 1]) << 8 |
          static_cast<uint32_t>(data[position + 2]) << 16 | static_cast<uint32_t>(data[position + 3]) << 24;
  position += 4;
  return true;
}

void AppendU32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

}  // namespace

std::optional<std::vector<ArchiveEntry>> ReadArchiveIndex(std::span<const uint8_t> data) {
  if (data.size() < kArchiveMagic.size() ||
      std::memcmp(data.data(), kArchiveMagic.data(), kArchiveMagic.size()) != 0)
    return std::nullopt;
  size_t position = kArchiveMagic.size();
  uint32_t format = 0, count = 0;
  if (!ReadU32(data, position, format) || format != kArchiveFormat) return std::nullopt;
  if (!ReadU32(data, position, count)) return std::nullopt;
  std::vector<ArchiveEntry> entries;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t nameLength = 0, size = 0;
    if (!ReadU32(data, position, nameLength) || nameLength > data.size() - position) return std::nullopt;
    ArchiveEntry entry;
    entry.name.assign(reinterpret_cast<const char*>(data.data() + position), nameLength);
    position += nameLength;
    if (!ReadU32(data, position, size) || size > data.size() - position) return std::nullopt;
    entry.offset = position;
    entry.size = size;
    position += size;
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::vector<uint8_t> ArchiveHeader(uint32_t count) {
  std::vector<uint8_t> out(kArchiveMagic.begin(), kArchiveMagic.end());
  AppendU32(out, kArchiveFormat);
  AppendU32(out, count);
  return out;
}

void AppendArchiveEntry(std::vector<uint8_t>& archive, std::string_view name, std::span<const uint8_t> data) {
  AppendU32(archive, static_cast<uint32_t>(name.size()));
  archive.insert(archive.end(), name.begin(), name.end());
  AppendU32(archive, static_cast<uint32_t>(data.size()));
  archive.insert(archive.end(), data.begin(), data.end());
}

std::optional<SFPCVersion> ParsePackageVersion(std::string_view json) {
  // package.json is written by npm: the top-level "version" member is the first of its name.
  size_t key = json.find("\"version\"");
  if (key == std::string_view::npos) return std::nullopt;
  size_t colon = json.find(':', key + 9);
  if (colon == std::string_view::npos) return std::nullopt;
  size_t open = json.find_first_not_of(" \t\r\n", colon + 1);
  if (open == std::string_view::npos || json[open] != '"') return std::nullopt;
  size_t close = json.find('"', open + 1);
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view text = json.substr(open + 1, close - open - 1);

  uint16_t parts[4] = {0, 0, 0, 0};
  int count = 0;
  const char* cursor = text.data();
  const char* end = text.data() + text.size();
  while (count < 4 && cursor < end) {
    unsigned value = 0;
    auto [next, error] = std::from_chars(cursor, end, value);
    if (error != std::errc() || value > 0xFFFF) break;
    parts[count++] = static_cast<uint16_t>(value);
    cursor = next;
    if (cursor == end || *cursor != '.') break;
    ++cursor;
  }
  if (count == 0) return std::nullopt;
  SFPCVersion version{};
  for (int i = 0; i < 4; ++i) version.v[3 - i] = parts[i];
  return version;
}

int CompareVersions(const SFPCVersion& a, const SFPCVersion& b) {
  for (int i = 3; i >= 0; --i) {
    if (a.v[i] != b.v[i]) return a.v[i] < b.v[i] ? -1 : 1;
  }
  return 0;
}

const char* MimeTypeOf(std::string_view name) {
  size_t dot = name.rfind('.');
  std::string_view extension = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
  struct Type {
    std::string_view extension;
    const char* mime;
  };
  static constexpr Type kTypes[] = {
      {"html", "text/html"},        {"htm", "text/html"},         {"js", "text/javascript"},
      {"mjs", "text/javascript"},   {"wasm", "application/wasm"}, {"json", "application/json"},
      {"map", "application/json"},  {"css", "text/css"},          {"swf", "application/x-shockwave-flash"},
      {"spl", "application/futuresplash"}, {"xml", "text/xml"},   {"txt", "text/plain"},
      {"png", "image/png"},         {"jpg", "image/jpeg"},        {"jpeg", "image/jpeg"},
      {"gif", "image/gif"},         {"svg", "image/svg+xml"},     {"mp3", "audio/mpeg"},
      {"ttf", "font/ttf"},          {"otf", "font/otf"},          {"woff2", "font/woff2"},
  };
  for (const Type& type : kTypes) {
    if (extension.size() != type.extension.size()) continue;
    bool same = true;
    for (size_t i = 0; i < extension.size() && same; ++i)
      same = (extension[i] | 0x20) == type.extension[i];
    if (same) return type.mime;
  }
  return "application/octet-stream";
}

}  // namespace player_runtime
