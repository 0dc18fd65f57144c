#include "PackSite.h"

#include <cerrno>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <system_error>

#include "GameListing.h"
#include "ops/Md5.h"
#include "ops/QuickLzCompress.h"
#include "ops/Sha256.h"
#include "ops/SiteIndex.h"

namespace {

constexpr char kCacheName[] = ".brimtale-pack-cache";
constexpr char kJournalName[] = ".brimtale-pack-journal";
constexpr char kFirstCacheHeader[] = "# brimtale-pack cache 1";
constexpr char kCacheHeader[] = "# brimtale-pack cache 2";
constexpr char kManifestName[] = "manifest.txt";
constexpr char kIndexName[] = "index.json";
constexpr char kFilesFolder[] = "files";
constexpr char kManifestHeader[] = "# name size md5 packing packed_size packed_md5 served";

// What the packer knows of one game file: the source as last seen and the file as served.
struct Record {
  uint64_t size = 0;
  int64_t modified = 0;  // the source's, in nanoseconds since the epoch
  std::string md5;
  bool compressed = false;
  uint64_t packedSize = 0;
  std::string packedMd5;
  Sha256Digest packedSha256{};
  int64_t servedModified = 0;  // the served file's, once written
};
using Records = std::map<std::string, Record>;  // by name: the manifest's order

// The packer's record: what each game file became, and every file of the site the packer wrote
// and has not removed yet (site paths). One line each:
//   file NAME SIZE MODIFIED MD5 PACKING PACKED_SIZE PACKED_MD5 PACKED_SHA256 SERVED_MODIFIED
//   owned PATH
struct Cache {
  Records records;
  std::set<std::string> owned;
};

std::string ServedPathOf(const std::string& name, const Record& record) {
  return ServedPath(name, record.packedSha256, record.compressed);
}

std::span<const uint8_t> BytesOf(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string Md5Text(std::span<const uint8_t> bytes) { return FormatMd5Digest(Md5Of(bytes)); }

std::vector<std::string> PathParts(const std::string& path) {
  std::vector<std::string> parts;
  std::istringstream text(path);
  for (std::string part; std::getline(text, part, '/');) parts.push_back(part);
  return parts;
}

std::optional<Cache> ParseCache(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  std::getline(lines, line);
  Cache cache;
  if (line == kFirstCacheHeader) {
    // The first format served files under their plain names and kept no SHA-256: every file is
    // packed again, and the old files go as the packer's own.
    cache.owned.insert(kManifestName);
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string name, size, modified, md5, packing;
      if (!line.starts_with("#") && fields >> name >> size >> modified >> md5 >> packing) {
        if (!IsSitePath(name)) return std::nullopt;
        cache.owned.insert(std::string(kFilesFolder) + "/" + name + (packing == "qlz" ? ".qlz" : ""));
      }
    }
    return cache;
  }
  if (line != kCacheHeader) return std::nullopt;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string kind, name, packing, sha256;
    Record record;
    fields >> kind >> name;
    // A path that climbs out of the site would have the packer delete what is not its own.
    if (kind == "owned" && IsSitePath(name)) {
      cache.owned.insert(name);
    } else if (kind == "file" && fields >> record.size >> record.modified >> record.md5 >> packing >> record.packedSize >>
                                     record.packedMd5 >> sha256 >> record.servedModified) {
      std::optional<Sha256Digest> digest = ParseSha256Digest(sha256);
      if (!digest) return std::nullopt;
      record.compressed = packing == "qlz";
      record.packedSha256 = *digest;
      cache.records[name] = record;
    } else if (!line.empty()) {
      return std::nullopt;
    }
  }
  return cache;
}

std::string FormatCache(const Records& records, const std::set<std::string>& owned) {
  std::ostringstream text;
  text << kCacheHeader << '\n';
  for (const auto& [name, record] : records)
    text << "file " << name << ' ' << record.size << ' ' << record.modified << ' ' << record.md5 << ' '
         << (record.compressed ? "qlz" : "raw") << ' ' << record.packedSize << ' ' << record.packedMd5 << ' '
         << FormatSha256Digest(record.packedSha256) << ' ' << record.servedModified << '\n';
  for (const std::string& path : owned) text << "owned " << path << '\n';
  return text.str();
}

std::string FormatManifest(const Records& records) {
  std::ostringstream text;
  text << kManifestHeader << '\n';
  for (const auto& [name, record] : records)
    text << name << ' ' << record.size << ' ' << record.md5 << ' ' << (record.compressed ? "qlz" : "raw") << ' '
         << record.packedSize << ' ' << record.packedMd5 << ' ' << ServedPathOf(name, record) << '\n';
  return text.str();
}

// The folders on the way to the site path `path`, from the site down: chain[i] holds parts[i].
// Never through a link; missing folders are made when `create`. Empty with `error` on failure.
std::vector<platform::Folder> FolderChain(const platform::Folder& site, const std::vector<std::string>& parts,
                                          bool create, int& error) {
  std::vector<platform::Folder> chain;
  chain.push_back(site.Child(".", error));
  for (size_t i = 0; i + 1 < parts.size() && chain.back().IsOpen(); ++i)
    chain.push_back(create ? chain.back().CreateChild(parts[i], error) : chain.back().Child(parts[i], error));
  if (!chain.back().IsOpen()) chain.clear();
  return chain;
}

// Refuses a site on either side of the game folder, after links are resolved: packing would then
// publish the site into itself, or remove game files as files of an older run.
std::string CheckFoldersApart(const platform::Folder& game, const std::string& siteFolder) {
  const std::optional<platform::FileIdentity> gameIdentity = game.Identity();
  int error = 0;
  platform::Folder site = platform::Folder::Open(siteFolder, error);
  if (site.IsOpen()) {
    const std::optional<platform::FileIdentity> siteIdentity = site.Identity();
    if (!gameIdentity || !siteIdentity) return "cannot tell where the game and site folders lie";
    if (site.IsWithin(*gameIdentity)) return "the site folder " + siteFolder + " lies inside the game folder";
    if (game.IsWithin(*siteIdentity)) return "the game folder lies inside the site folder " + siteFolder;
    return {};
  }
  if (error != ENOENT) return "cannot open the site folder " + siteFolder + ": " + platform::ErrorText(error);
  // A new site is made below the nearest folder on its way that exists.
  std::error_code pathError;
  std::filesystem::path path = std::filesystem::absolute(siteFolder, pathError);
  while (!pathError && path.has_relative_path()) {
    path = path.parent_path();
    platform::Folder existing = platform::Folder::Open(path.string(), error);
    if (existing.IsOpen())
      return gameIdentity && existing.IsWithin(*gameIdentity)
                 ? "the site folder " + siteFolder + " would lie inside the game folder"
                 : "";
    if (error != ENOENT) break;  // making the site fails, and says why
  }
  return {};
}

// The site as the packer changes it: its own files only, each new one in the journal before it
// is written.
class SiteWriter {
 public:
  // Opens (making it when missing) and locks the site, and reads what the packer wrote before.
  // Empty on success, else why the site cannot be packed into.
  std::string Open(const std::string& siteFolder);

  const platform::Folder& site() const { return m_site; }
  bool ManifestChanges(const std::string& manifest) const {
    return !m_previousManifest || std::string(m_previousManifest->begin(), m_previousManifest->end()) != manifest;
  }
  const Record* Known(const std::string& name) const;
  // Whether the served file of a record stands in the site as it was written.
  bool ServedIntact(const std::string& name, const Record& record) const;
  // Writes a served file under its new name; sets the record's servedModified.
  std::string WriteServed(const std::string& path, std::span<const uint8_t> bytes, Record& record);
  // The packer's files: those of earlier runs and those of this one.
  std::set<std::string> Owned() const;
  std::string SaveCache(const Records& records, const std::set<std::string>& owned);
  void DropJournal();
  // Puts the manifest, then the index (unless empty), in place.
  std::string Commit(const std::string& manifest, const std::string& index);
  // Removes the packer's files that are not in `keep`; those that cannot be removed stay in
  // `stillOwned`. Returns the number of served files removed.
  size_t RemoveStale(const std::set<std::string>& keep, std::set<std::string>& stillOwned,
                     std::vector<std::string>& notes);
  // Removes what this run wrote: the site is left as it was.
  void RollBack();

 private:
  std::optional<std::vector<uint8_t>> ReadOwnFile(const std::string& name, int& error) const;
  // Removes the file at the site path `path` and the folders on its way below files/ that it
  // leaves empty. true when the file is gone (`existed` says whether it was there).
  bool RemovePath(const std::string& path, bool& existed, int& error) const;
  void RemoveTemporary(const std::string& path) const;

  std::string m_name;
  platform::Folder m_site;
  Cache m_cache;
  bool m_hadRecord = false;         // a record or a journal of an earlier run was there
  bool m_journalHadEntries = false;
  std::vector<std::string> m_written;  // paths this run wrote that were not the packer's before
  std::optional<std::vector<uint8_t>> m_previousManifest;
};

std::optional<std::vector<uint8_t>> SiteWriter::ReadOwnFile(const std::string& name, int& error) const {
  error = 0;
  platform::ScopedFd file = m_site.OpenFile(name, error);
  std::vector<uint8_t> bytes;
  if (!file.IsValid() || !platform::ReadWholeFile(file.get(), bytes, error)) return std::nullopt;
  return bytes;
}

std::string SiteWriter::Open(const std::string& siteFolder) {
  m_name = siteFolder;
  int error = 0;
  m_site = platform::Folder::Create(siteFolder, error);
  if (!m_site.IsOpen()) return "cannot make the site folder " + siteFolder + ": " + platform::ErrorText(error);
  if (!m_site.TryLock(error)) return "another brimtale-pack is writing " + siteFolder;

  std::optional<std::vector<uint8_t>> cache = ReadOwnFile(kCacheName, error);
  if (!cache && error != ENOENT)
    return "cannot read the packer's record " + siteFolder + "/" + kCacheName + ": " + platform::ErrorText(error);
  if (cache) {
    std::optional<Cache> parsed = ParseCache({cache->begin(), cache->end()});
    if (!parsed) return "the packer's record " + siteFolder + "/" + kCacheName + " is damaged";
    m_cache = std::move(*parsed);
  }
  std::optional<std::vector<uint8_t>> journal = ReadOwnFile(kJournalName, error);
  if (!journal && error != ENOENT)
    return "cannot read the packer's journal " + siteFolder + "/" + kJournalName + ": " + platform::ErrorText(error);
  m_hadRecord = cache || journal;
  if (journal) {
    std::istringstream lines(std::string(journal->begin(), journal->end()));
    for (std::string line; std::getline(lines, line);) {
      if (line.empty()) continue;
      if (!IsSitePath(line)) return "the packer's journal " + siteFolder + "/" + kJournalName + " is damaged";
      m_cache.owned.insert(line);
      m_journalHadEntries = true;
      RemoveTemporary(line);
    }
  }
  int listError = 0;
  if (!m_hadRecord && (!m_site.List(listError).empty() || listError != 0))
    return siteFolder + " is not empty and was not made by brimtale-pack: name a new folder";
  m_previousManifest = ReadOwnFile(kManifestName, error);
  platform::Folder files = m_site.CreateChild(kFilesFolder, error);
  if (!files.IsOpen())
    return siteFolder + "/" + kFilesFolder + " is a link or not a folder: brimtale-pack writes only into a folder of its own";
  return {};
}

const Record* SiteWriter::Known(const std::string& name) const {
  auto found = m_cache.records.find(name);
  return found == m_cache.records.end() ? nullptr : &found->second;
}

bool SiteWriter::ServedIntact(const std::string& name, const Record& record) const {
  const std::vector<std::string> parts = PathParts(ServedPathOf(name, record));
  int error = 0;
  std::vector<platform::Folder> chain = FolderChain(m_site, parts, false, error);
  std::optional<platform::FileStatus> status = chain.empty() ? std::nullopt : chain.back().Status(parts.back(), error);
  return status && status->size == record.packedSize && status->modified == record.servedModified;
}

std::string SiteWriter::WriteServed(const std::string& path, std::span<const uint8_t> bytes, Record& record) {
  const bool owned = m_cache.owned.contains(path);
  const std::string foreign = PrintableName(path) + " stands in the site, and brimtale-pack did not write it";
  int error = 0;
  const std::vector<std::string> parts = PathParts(path);
  std::vector<platform::Folder> chain = FolderChain(m_site, parts, true, error);
  if (chain.empty())
    return "cannot make the folder of " + PrintableName(path) + " (a link or a file stands in its way?): " +
           platform::ErrorText(error);
  // A file of someone else's never enters the journal, which would make it the packer's own.
  if (!owned && chain.back().Status(parts.back(), error)) return foreign;
  if (!owned && !m_site.AppendLine(kJournalName, path, error))
    return "cannot write the packer's journal in " + m_name + ": " + platform::ErrorText(error);
  if (!chain.back().WriteFile(parts.back(), bytes, owned ? platform::Replace::kAlways : platform::Replace::kNever,
                              error))
    return error == EEXIST ? foreign : "cannot write " + PrintableName(path) + ": " + platform::ErrorText(error);
  if (!owned) m_written.push_back(path);
  std::optional<platform::FileStatus> status = chain.back().Status(parts.back(), error);
  record.servedModified = status ? status->modified : 0;
  return {};
}

std::set<std::string> SiteWriter::Owned() const {
  std::set<std::string> owned = m_cache.owned;
  owned.insert(m_written.begin(), m_written.end());
  return owned;
}

std::string SiteWriter::SaveCache(const Records& records, const std::set<std::string>& owned) {
  const std::string text = FormatCache(records, owned);
  int error = 0;
  if (m_site.WriteFile(kCacheName, BytesOf(text), platform::Replace::kAlways, error)) return {};
  return "cannot write the packer's record in " + m_name + ": " + platform::ErrorText(error);
}

void SiteWriter::DropJournal() {
  int error = 0;
  m_site.RemoveFile(kJournalName, error);
}

std::string SiteWriter::Commit(const std::string& manifest, const std::string& index) {
  int error = 0;
  // Every new file reaches the disk before a manifest that names it.
  if (!m_site.SyncFileSystem(error)) return "cannot flush the site to the disk: " + platform::ErrorText(error);
  if (!m_site.WriteFile(kManifestName, BytesOf(manifest), platform::Replace::kAlways, error))
    return "cannot write " + m_name + "/" + kManifestName + ": " + platform::ErrorText(error);
  if (index.empty() || m_site.WriteFile(kIndexName, BytesOf(index), platform::Replace::kAlways, error)) return {};
  const std::string failure = "cannot write " + m_name + "/" + kIndexName + ": " + platform::ErrorText(error);
  // The new manifest does not stay without its index: the old one goes back.
  int ignored = 0;
  if (m_previousManifest)
    m_site.WriteFile(kManifestName, *m_previousManifest, platform::Replace::kAlways, ignored);
  else
    m_site.RemoveFile(kManifestName, ignored);
  return failure;
}

bool SiteWriter::RemovePath(const std::string& path, bool& existed, int& error) const {
  existed = false;
  const std::vector<std::string> parts = PathParts(path);
  std::vector<platform::Folder> chain = FolderChain(m_site, parts, false, error);
  if (chain.empty()) return error == ENOENT;
  if (!chain.back().RemoveFile(parts.back(), error)) return error == ENOENT;
  existed = true;
  // The folders the packer made for its files go once empty; files/ itself stays.
  int ignored = 0;
  for (size_t i = parts.size() - 1; i >= 2 && chain[i - 1].RemoveFolder(parts[i - 1], ignored); --i) {
  }
  return true;
}

void SiteWriter::RemoveTemporary(const std::string& path) const {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  bool existed = false;
  int error = 0;
  RemovePath(folder + platform::Folder::TemporaryName(path.substr(folder.size())), existed, error);
}

size_t SiteWriter::RemoveStale(const std::set<std::string>& keep, std::set<std::string>& stillOwned,
                               std::vector<std::string>& notes) {
  size_t removed = 0;
  for (const std::string& path : Owned()) {
    if (keep.contains(path)) continue;
    bool existed = false;
    int error = 0;
    if (!RemovePath(path, existed, error)) {
      stillOwned.insert(path);
      notes.push_back(PrintableName(path) + ": no longer listed, but cannot be removed: " + platform::ErrorText(error));
    } else if (existed && path.starts_with(std::string(kFilesFolder) + "/")) {
      ++removed;
    }
  }
  return removed;
}

void SiteWriter::RollBack() {
  bool clean = true;
  for (const std::string& path : m_written) {
    bool existed = false;
    int error = 0;
    clean = RemovePath(path, existed, error) && clean;
  }
  if (!clean || m_journalHadEntries) return;
  DropJournal();
  // A site this run made is left empty, as a new one.
  int ignored = 0;
  if (!m_hadRecord) m_site.RemoveFolder(kFilesFolder, ignored);
}

std::string PackFile(const platform::Folder& game, const GameFile& file, bool rehash, SiteWriter& writer,
                     Records& records, PackReport& report) {
  const Record* known = writer.Known(file.name);
  const bool intact = known != nullptr && writer.ServedIntact(file.name, *known);
  if (intact && !rehash && known->size == file.status.size && known->modified == file.status.modified) {
    records[file.name] = *known;
    ++report.unchanged;
    return {};
  }
  int error = 0;
  platform::ScopedFd source = OpenGameFile(game, file.name, error);
  std::optional<platform::FileStatus> status = source.IsValid() ? platform::StatusOf(source.get()) : std::nullopt;
  std::vector<uint8_t> bytes;
  if (!status || !platform::ReadWholeFile(source.get(), bytes, error))
    return "cannot read " + PrintableName(file.name) + ": " + platform::ErrorText(error);
  Record record;
  record.size = bytes.size();
  record.modified = status->modified;
  record.md5 = Md5Text(bytes);
  if (intact && known->size == record.size && known->md5 == record.md5) {
    record.compressed = known->compressed;
    record.packedSize = known->packedSize;
    record.packedMd5 = known->packedMd5;
    record.packedSha256 = known->packedSha256;
    record.servedModified = known->servedModified;
    records[file.name] = record;
    ++report.unchanged;
    return {};
  }
  // Empty when the file is too large for the format's size fields: it is then served as it is.
  const std::vector<uint8_t> compressed = CompressQuickLz(bytes);
  record.compressed = !compressed.empty() && compressed.size() < bytes.size();
  const std::vector<uint8_t>& served = record.compressed ? compressed : bytes;
  record.packedSize = served.size();
  record.packedMd5 = record.compressed ? Md5Text(served) : record.md5;
  record.packedSha256 = Sha256Of(served);
  if (std::string problem = writer.WriteServed(ServedPathOf(file.name, record), served, record); !problem.empty())
    return problem;
  records[file.name] = record;
  ++report.packed;
  return {};
}

// The index of the site as it will stand: the new manifest and served files, the game maker's
// files, and nothing the run is about to remove. Empty with `error` on failure.
std::string SignedIndex(const SiteSigner& signer, SiteWriter& writer, const std::string& manifest,
                        const Records& records, const std::set<std::string>& keep, int64_t previousVersion,
                        PackReport& report, std::string& error) {
  std::map<std::string, SiteIndexEntry> known{{kManifestName, {manifest.size(), Sha256Of(BytesOf(manifest)), {}}}};
  for (const auto& [name, record] : records)
    known[ServedPathOf(name, record)] = {record.packedSize, record.packedSha256, {}};
  std::vector<std::string> leaving;
  for (const std::string& path : writer.Owned())
    if (!keep.contains(path)) leaving.push_back(path);
  std::map<std::string, SiteIndexEntry> files;
  if (!ListSiteFiles(writer.site(), known, leaving, files, report.notes, error)) return {};
  return signer.SignIndex(files, previousVersion, report.signature, error);
}

// Writes the manifest (and the index) for `records`, then removes what no longer belongs.
std::string Publish(SiteWriter& writer, const Records& records, const SiteSigner* signer, int64_t previousVersion,
                    PackReport& report) {
  const std::string manifest = FormatManifest(records);
  std::set<std::string> keep{kManifestName};
  for (const auto& [name, record] : records) keep.insert(ServedPathOf(name, record));
  std::string error;
  std::string index;
  if (signer != nullptr) {
    index = SignedIndex(*signer, writer, manifest, records, keep, previousVersion, report, error);
    if (index.empty()) return error;
  } else if (int ignored = 0; writer.ManifestChanges(manifest) && writer.site().Status(kIndexName, ignored)) {
    report.notes.push_back(std::string(kIndexName) +
                           " of the site no longer matches it and was left as it was: sign the site again");
  }
  // The record names this run's files before the manifest does, so that they are never lost.
  if (error = writer.SaveCache(records, writer.Owned()); !error.empty()) return error;
  writer.DropJournal();
  if (error = writer.Commit(manifest, index); !error.empty()) return error;
  std::set<std::string> stillOwned = keep;
  report.removed = writer.RemoveStale(keep, stillOwned, report.notes);
  if (std::string problem = writer.SaveCache(records, stillOwned); !problem.empty()) report.notes.push_back(problem);
  report.files = records.size();
  return {};
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "\n  " + line;
  return text;
}

}  // namespace

PackReport PackSite(const std::string& gameFolder, const std::string& siteFolder, const PackOptions& options) {
  PackReport report;
  int error = 0;
  platform::Folder game = platform::Folder::Open(gameFolder, error);
  if (!game.IsOpen()) {
    report.error = gameFolder + " is not a folder: " + platform::ErrorText(error);
    return report;
  }
  if (report.error = CheckFoldersApart(game, siteFolder); !report.error.empty()) return report;
  GameListing listing = ListGameFolder(game);
  report.skipped = std::move(listing.skipped);
  if (!listing.refused.empty()) {
    report.error = "nothing was published; these cannot be:" + Joined(listing.refused);
    return report;
  }
  std::optional<SiteSigner> signer;
  if (options.signing && !(signer = SiteSigner::Prepare(*options.signing, report.error))) return report;
  SiteWriter writer;
  if (report.error = writer.Open(siteFolder); !report.error.empty()) return report;
  int64_t previousVersion = 0;
  if (signer && !ReadPreviousIndexVersion(writer.site(), previousVersion, report.error)) return report;

  Records records;
  for (const GameFile& file : listing.files) {
    report.error = PackFile(game, file, options.rehash, writer, records, report);
    if (!report.error.empty()) break;
  }
  if (report.error.empty()) report.error = Publish(writer, records, signer ? &*signer : nullptr, previousVersion, report);
  if (!report.error.empty()) writer.RollBack();
  return report;
}
