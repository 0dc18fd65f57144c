#pragma once
// The files of one player control: an archive in memory or an unpacked folder on disk.
// GUI thread only.

#include <glib.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "PlayerArchive.h"

namespace player_runtime {

class PlayerCode : public std::enable_shared_from_this<PlayerCode> {
 public:
  // Null when the bytes are not an archive or it carries no version.
  static std::shared_ptr<PlayerCode> FromArchive(std::span<const uint8_t> data);
  // Null when the folder has no version or no ruffle.js.
  static std::shared_ptr<PlayerCode> FromFolder(const std::string& folder);
  ~PlayerCode();
  PlayerCode(const PlayerCode&) = delete;
  PlayerCode& operator=(const PlayerCode&) = delete;

  // The file's contents, sharing the code's memory where it can; null when it has no such file.
  GBytes* Open(const std::string& name) const;
  bool Has(const std::string& name) const;
  // The names of its compiled code (its .wasm files), which pages are handed whole.
  std::vector<std::string> WasmNames() const;
  // Where a sealed in-memory file holds the named file (nothing can change or resize it: a process
  // that maps it can trust what it reads): the archive's own, or a copy made once for a file of a
  // folder. The descriptor is owned here. Nothing when it cannot be made.
  struct SealedFile {
    int fd;
    uint64_t offset;
    uint64_t size;
  };
  std::optional<SealedFile> Sealed(const std::string& name) const;

  const SFPCVersion& version() const { return m_version; }

 private:
  PlayerCode() = default;

  bool ReadVersion();

  // The archive's bytes: mapped from its sealed in-memory file (m_archiveFd), or where none could
  // be made a copy of them in m_copy.
  std::span<const uint8_t> m_archive;
  int m_archiveFd = -1;
  std::vector<uint8_t> m_copy;
  std::map<std::string, ArchiveEntry> m_entries;
  std::string m_folder;
  SFPCVersion m_version{};
  mutable std::map<std::string, SealedFile> m_sealed;  // the folder's sealed copies, by name
};

}  // namespace player_runtime
