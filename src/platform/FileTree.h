#pragma once
// Folder trees read and written by descriptor, for a tool that publishes the files of one folder
// into another. Every step below a folder once opened is taken relative to its descriptor and
// never through a symbolic link, so a link planted in either tree, or a folder swapped for one
// meanwhile, cannot lead the work elsewhere. The folder a caller names may itself be reached
// through links (/home -> /var/home is common).
//
// Failures return false, an empty result or an invalid handle, and set `error` to the errno that
// says why. Any thread; a Folder belongs to one thread at a time.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/Files.h"

namespace platform {

enum class EntryKind { kFile, kFolder, kLink, kOther };

struct FolderEntry {
  std::string name;
  EntryKind kind = EntryKind::kOther;  // what the entry itself is: a link is kLink wherever it points
};

struct FileStatus {
  uint64_t size = 0;
  int64_t modified = 0;  // nanoseconds since the epoch
};

// Whether an existing entry may be replaced by WriteFile.
enum class Replace { kAlways, kNever };

class Folder {
 public:
  Folder() = default;
  Folder(Folder&&) noexcept = default;
  Folder& operator=(Folder&&) noexcept = default;

  // Opens the folder `path` (links on the way followed).
  static Folder Open(const std::string& path, int& error);
  // The same, creating `path` and its missing parents first.
  static Folder Create(const std::string& path, int& error);

  bool IsOpen() const { return m_fd.IsValid(); }
  std::optional<FileIdentity> Identity() const;
  // Whether this folder is the folder `ancestor` or lies anywhere below it, judged by climbing
  // the ".." entries up to the root. false when the climb fails.
  bool IsWithin(const FileIdentity& ancestor) const;

  // The subfolder `name`; fails (ELOOP or ENOTDIR) when `name` is a link.
  Folder Child(const std::string& name, int& error) const;
  // The same, creating it first when it is missing.
  Folder CreateChild(const std::string& name, int& error) const;

  // The entries without "." and "..", in the order the file system lists them.
  std::vector<FolderEntry> List(int& error) const;
  // The entry's own size and time (a link's own); nullopt when it cannot be looked at.
  std::optional<FileStatus> Status(const std::string& name, int& error) const;

  // Opens the regular file `name` for reading. A link is refused (ELOOP); so is anything that is
  // not a regular file of a real file system (EINVAL, EISDIR for a folder), without waiting on it:
  // a FIFO, a device, the generated files of /proc and its kin.
  ScopedFd OpenFile(const std::string& name, int& error) const;
  // Opens `relative` ("/" between folders), following links only while they stay below this
  // folder: an absolute link or one that climbs out fails with EXDEV, a loop with ELOOP. Only a
  // regular file of a real file system is opened, as OpenFile says. ENOSYS where the system
  // cannot resolve a path that way.
  ScopedFd OpenBeneath(const std::string& relative, int& error) const;

  // Writes `bytes` to the entry TemporaryName(name), flushes it to the disk, and renames it to
  // `name`. With Replace::kNever an existing `name` stays as it was (EEXIST) and the temporary
  // entry is removed. A failure leaves `name` as it was.
  bool WriteFile(const std::string& name, std::span<const uint8_t> bytes, Replace replace, int& error) const;
  // The hidden entry beside `name` that WriteFile writes first: a run that is killed may leave it.
  static std::string TemporaryName(const std::string& name);
  // Appends `line` and a line feed to the file `name` (created when missing; never a link).
  bool AppendLine(const std::string& name, const std::string& line, int& error) const;
  // Removes the entry `name` when it is not a folder (a link itself, never what it points to).
  bool RemoveFile(const std::string& name, int& error) const;
  // Removes the subfolder `name` when it is empty.
  bool RemoveFolder(const std::string& name, int& error) const;

  // Takes this folder's advisory lock without waiting (EWOULDBLOCK when another process holds
  // it); held until this Folder is closed.
  bool TryLock(int& error) const;
  // Flushes what was written on this folder's file system to the disk.
  bool SyncFileSystem(int& error) const;

 private:
  explicit Folder(int fd) : m_fd(fd) {}
  ScopedFd m_fd;
};

// Reads an open file from its position to its end. false on a read error, with what was read in
// `bytes`.
bool ReadWholeFile(int fd, std::vector<uint8_t>& bytes, int& error);
// The size and modification time of an open file.
std::optional<FileStatus> StatusOf(int fd);

// Creates the file `path` readable and writable by its owner alone (0600) from the start, never
// over an existing entry (EEXIST), writes `bytes` and flushes them. A failure after the creation
// removes the file again.
bool CreatePrivateFile(const std::string& path, std::span<const uint8_t> bytes, int& error);

// The system's text for an errno value.
std::string ErrorText(int error);

}  // namespace platform
