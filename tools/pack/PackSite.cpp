#include "PackSite.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>
#include <vector>

#include "ops/Md5.h"
#include "ops/QuickLzCompress.h"

namespace fs = std::filesystem;

namespace {

constexpr char kCacheName[] = ".brimtale-pack-cache";
constexpr char kCacheHeader[] = "# brimtale-pack cache 1";
constexpr char kManifestHeader[] = "# name size md5 packing packed_size packed_md5";

// What the packer knows of one file: the source as last seen and the file as served.
struct Record {
  uint64_t size = 0;
  int64_t modified = 0;  // the source's modification time, in the file clock's ticks
  std::string md5;
  bool compressed = false;
  uint64_t packedSize = 0;
  std::string packedMd5;
};
using Records = std::map<std::string, Record>;  // by name: the manifest's order

std::string ServedName(const std::string& name, bool compressed) { return name + (compressed ? ".qlz" : ""); }

// Names travel through the movie's commands, which split at commas, and through the manifest,
// which splits at blanks.
bool CarriableName(const std::string& name) { return name.find_first_of(" ,\t\r\n\\") == std::string::npos; }

bool IsHidden(const fs::path& relative) {
  for (const fs::path& part : relative)
    if (part.string().starts_with(".")) return true;
  return false;
}

bool ReadWhole(const fs::path& path, std::vector<uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// Writes `bytes` under a temporary name beside `path`, then renames it into place.
bool WriteReplacing(const fs::path& path, const void* bytes, size_t size) {
  std::error_code error;
  fs::create_directories(path.parent_path(), error);
  const fs::path temporary = path.parent_path() / ("." + path.filename().string() + ".packing");
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
    out.close();
    if (!out) {
      fs::remove(temporary, error);
      return false;
    }
  }
  fs::rename(temporary, path, error);
  if (error) fs::remove(temporary, error);
  return !error;
}

bool WriteText(const fs::path& path, const std::string& text) { return WriteReplacing(path, text.data(), text.size()); }

Records ReadCache(const fs::path& path) {
  Records records;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string name, packing;
    Record record;
    if (fields >> name >> record.size >> record.modified >> record.md5 >> packing >> record.packedSize >>
        record.packedMd5) {
      record.compressed = packing == "qlz";
      records[name] = record;
    }
  }
  return records;
}

std::string FormatRecords(const Records& records, bool withTimes) {
  std::ostringstream text;
  text << (withTimes ? kCacheHeader : kManifestHeader) << '\n';
  for (const auto& [name, record] : records) {
    text << name << ' ' << record.size << ' ';
    if (withTimes) text << record.modified << ' ';
    text << record.md5 << ' ' << (record.compressed ? "qlz" : "raw") << ' ' << record.packedSize << ' '
         << record.packedMd5 << '\n';
  }
  return text.str();
}

struct SourceFile {
  std::string name;  // relative, "/" between folders
  fs::path path;
};

// Every file of the game folder, or an error naming what cannot be packed.
std::string ListGameFiles(const fs::path& game, std::vector<SourceFile>& files, std::string* skipped) {
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(game, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    const fs::path relative = it->path().lexically_relative(game);
    if (IsHidden(relative)) {
      if (skipped != nullptr) *skipped += relative.generic_string() + "\n";
      if (it->is_directory(error)) it.disable_recursion_pending();
      continue;
    }
    if (it->is_directory(error)) continue;
    const std::string name = relative.generic_string();
    if (!it->is_regular_file(error)) return name + " is neither a regular file nor a folder";
    if (!CarriableName(name)) return "the name \"" + name + "\" holds a blank, comma, tab, line break or backslash";
    files.push_back({name, it->path()});
  }
  if (error) return "cannot read " + game.string() + ": " + error.message();
  std::sort(files.begin(), files.end(), [](const SourceFile& a, const SourceFile& b) { return a.name < b.name; });
  // "x" may be served, and unpacked on the player's disk, as "x.qlz": a file of that name beside it
  // would be overwritten.
  for (const SourceFile& file : files)
    if (std::binary_search(files.begin(), files.end(), SourceFile{file.name + ".qlz", {}},
                           [](const SourceFile& a, const SourceFile& b) { return a.name < b.name; }))
      return file.name + " and " + file.name + ".qlz cannot both be packed";
  return {};
}

// Whether the served copy of a recorded file is still in the site as recorded.
bool ServedCopyIntact(const fs::path& served, const Record& record) {
  std::error_code error;
  return fs::file_size(served, error) == record.packedSize && !error;
}

std::string Md5Text(const std::vector<uint8_t>& bytes) { return FormatMd5Digest(Md5Of(bytes)); }

}  // namespace

PackReport PackSite(const fs::path& gameFolder, const fs::path& siteFolder, const PackOptions& options,
                    std::string* skipped) {
  PackReport report;
  std::error_code error;
  if (!fs::is_directory(gameFolder, error)) {
    report.error = gameFolder.string() + " is not a folder";
    return report;
  }
  const fs::path game = fs::weakly_canonical(gameFolder, error);
  const fs::path site = fs::weakly_canonical(siteFolder, error);
  const fs::path inside = site.lexically_relative(game);
  if (!inside.empty() && *inside.begin() != "..") {
    report.error = "the site folder " + siteFolder.string() + " lies inside the game folder";
    return report;
  }
  const fs::path cachePath = site / kCacheName;
  if (fs::exists(site, error) && !fs::is_empty(site, error) && !fs::exists(cachePath, error)) {
    report.error = siteFolder.string() + " is not empty and was not made by brimtale-pack: name a new folder";
    return report;
  }
  std::vector<SourceFile> sources;
  report.error = ListGameFiles(game, sources, skipped);
  if (!report.error.empty()) return report;

  const Records previous = ReadCache(cachePath);
  Records current;
  const fs::path files = site / "files";
  for (const SourceFile& source : sources) {
    const uint64_t size = fs::file_size(source.path, error);
    const int64_t modified = fs::last_write_time(source.path, error).time_since_epoch().count();
    if (error) {
      report.error = "cannot read " + source.path.string() + ": " + error.message();
      return report;
    }
    auto known = previous.find(source.name);
    const bool recorded = known != previous.end() &&
                          ServedCopyIntact(files / ServedName(source.name, known->second.compressed), known->second);
    if (recorded && !options.rehash && known->second.size == size && known->second.modified == modified) {
      current[source.name] = known->second;
      ++report.unchanged;
      continue;
    }
    std::vector<uint8_t> bytes;
    if (!ReadWhole(source.path, bytes)) {
      report.error = "cannot read " + source.path.string();
      return report;
    }
    Record record;
    record.size = bytes.size();
    record.modified = modified;
    record.md5 = Md5Text(bytes);
    if (recorded && known->second.size == record.size && known->second.md5 == record.md5) {
      record.compressed = known->second.compressed;
      record.packedSize = known->second.packedSize;
      record.packedMd5 = known->second.packedMd5;
      current[source.name] = record;
      ++report.unchanged;
      continue;
    }
    // Empty when the file is too large for the format's size fields: it is then served as it is.
    std::vector<uint8_t> compressed = CompressQuickLz(bytes);
    record.compressed = !compressed.empty() && compressed.size() < bytes.size();
    const std::vector<uint8_t>& served = record.compressed ? compressed : bytes;
    record.packedSize = served.size();
    record.packedMd5 = record.compressed ? Md5Text(served) : record.md5;
    if (!WriteReplacing(files / ServedName(source.name, record.compressed), served.data(), served.size())) {
      report.error = "cannot write " + (files / ServedName(source.name, record.compressed)).string();
      return report;
    }
    current[source.name] = record;
    ++report.packed;
  }

  if (!WriteText(site / "manifest.txt", FormatRecords(current, false)) ||
      !WriteText(cachePath, FormatRecords(current, true))) {
    report.error = "cannot write the manifest in " + site.string();
    return report;
  }
  report.files = current.size();

  // What the new manifest does not list goes: removed files, and the other form of a file whose
  // packing changed.
  std::vector<fs::path> stale;
  for (auto it = fs::recursive_directory_iterator(files, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    if (it->is_directory(error)) continue;
    const std::string name = it->path().lexically_relative(files).generic_string();
    const bool compressed = name.ends_with(".qlz");
    auto listed = current.find(compressed ? name.substr(0, name.size() - 4) : name);
    if (listed == current.end() || listed->second.compressed != compressed) {
      // A listed raw file whose own name ends in .qlz is not stale.
      auto raw = current.find(name);
      if (raw == current.end() || raw->second.compressed) stale.push_back(it->path());
    }
  }
  for (const fs::path& path : stale)
    if (fs::remove(path, error)) ++report.removed;
  return report;
}
