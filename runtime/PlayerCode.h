#pragma once
// The files of one player control: an archive in memory or an unpacked folder on disk.
// GUI thread only.

#include <glib.h>

#include <cstdint>
#include <map>
#include <memory>
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
  // A sealed in-memory file holding the named file (nothing can change or resize it: a process
  // that maps it can trust what it reads); made once, owned here. -1 when it cannot be made.
  int SealedCopy(const std::string& name) const;

  const SFPCVersion& version() const { return m_version; }

 private:
  PlayerCode() = default;

  bool ReadVersion();

  std::vector<uint8_t> m_archive;
  std::map<std::string, ArchiveEntry> m_entries;
  std::string m_folder;
  SFPCVersion m_version{};
  mutable std::map<std::string, int> m_sealed;  // SealedCopy's files, by name
};

}  // namespace player_runtime
