#pragma once
// Files and directories as the movie's file commands need them: directory listings filtered by a
// name pattern, a directory handle that the tree removal walks without following symbolic links,
// and single-step deletions and renames. Any thread; no state.
//
// Name patterns hold `*` (any run of characters) and `?` (one character) in their last path
// component; every other character, `[` and `\` included, stands for itself. As on the original
// platform, `*.*` matches every name, also one without a dot. "." and ".." never match, except in
// PathOrPatternExists.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// An open file descriptor, closed when its owner goes. Move-only; one thread at a time.
class ScopedFd {
 public:
  ScopedFd() = default;
  explicit ScopedFd(int fd) : m_fd(fd) {}
  ~ScopedFd();
  ScopedFd(ScopedFd&& other) noexcept;
  ScopedFd& operator=(ScopedFd&& other) noexcept;
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;

  bool IsValid() const { return m_fd >= 0; }
  int get() const { return m_fd; }
  // Hands the descriptor over to the caller, who closes it from then on.
  int Release();

 private:
  int m_fd = -1;
};

// Opens `path` for reading when it names a regular file of a real file system (a symbolic link is
// followed). The open itself never waits: a FIFO, a device, a socket, a directory, and the
// generated files of /proc, /sys and their kin (which may never end) are refused. The descriptor
// is close-on-exec and blocking. Invalid on failure, with errno set (EINVAL for a refused kind of
// file). Any thread.
ScopedFd OpenRegularFileForReading(const std::string& path);

// Whether the open file `fd` lies on a file system whose files are generated on reading: their
// content may never end (/proc/self/pagemap) or a read may wait for ever (a trace pipe). true
// when the system cannot tell.
bool IsGeneratedFileSystem(int fd);

// The same as a binary stdio stream; null on failure. The caller closes it with fclose.
FILE* OpenRegularFileStream(const std::string& path);

// Whether `path` (a symbolic link followed) names something other than a regular file: a folder,
// a FIFO, a device, a socket. false when nothing is there. Any thread.
bool IsOtherThanRegularFile(const std::string& path);

// Whether `name` (one path component) matches `pattern` by the rules above.
bool MatchesNamePattern(std::string_view pattern, std::string_view name);

// Whether `path` names an existing entry (a dangling symbolic link counts), or, when its last
// component holds `*` or `?`, whether any entry of its folder matches that component. Here alone
// the folder's own "." and ".." entries take part, as in the original lookup: `dir/*` and
// `dir/*.*` find an existing empty folder.
bool PathOrPatternExists(const std::string& path);

// What tells two directory entries apart for the system: the file system and the file's number.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

// Whether a symbolic link in the last component of a path is followed.
enum class FinalLink { Follow, Refuse };

struct DirectoryEntry {
  std::string name;
  // The entry itself is a directory. A symbolic link is never one, wherever it points.
  bool isDirectory = false;
};

// An open directory, held by descriptor: its entries are listed and removed relative to it, so a
// directory renamed or swapped for a link meanwhile cannot redirect the work elsewhere.
// Move-only; one thread at a time.
class DirectoryHandle {
 public:
  DirectoryHandle() = default;
  ~DirectoryHandle();
  DirectoryHandle(DirectoryHandle&& other) noexcept;
  DirectoryHandle& operator=(DirectoryHandle&& other) noexcept;
  DirectoryHandle(const DirectoryHandle&) = delete;
  DirectoryHandle& operator=(const DirectoryHandle&) = delete;

  // Opens the directory `path`; a symbolic link as its last component is followed or refused as
  // `finalLink` says. Fails (IsOpen false) when it does not exist or is not a directory.
  static DirectoryHandle Open(const std::string& path, FinalLink finalLink);
  // Opens the subdirectory `name` of this directory. Fails when `name` is a symbolic link,
  // wherever it points, so a walk from handle to child never leaves the tree.
  DirectoryHandle OpenChild(const std::string& name) const;
  // Opens this directory's parent (its ".." entry, never a link).
  DirectoryHandle OpenParent() const;

  bool IsOpen() const { return m_fd >= 0; }
  // nullopt when not open or when the system cannot tell.
  std::optional<FileIdentity> Identity() const;
  // The entries whose names match `pattern`, in the order the file system lists them; empty on
  // failure.
  std::vector<DirectoryEntry> List(std::string_view pattern) const;
  // Removes the non-directory entry `name` (a symbolic link itself, never its target).
  bool DeleteChildFile(const std::string& name) const;
  // Removes the empty subdirectory `name`.
  bool RemoveChildDirectory(const std::string& name) const;

 private:
  explicit DirectoryHandle(int fd) : m_fd(fd) {}
  int m_fd = -1;
};

// Whether `directory` is the root folder or the user's home folder itself, however it was named:
// folders that no deletion may ever empty. Any thread.
bool IsRootOrHomeFolder(const DirectoryHandle& directory);

// Deletes one non-directory entry (unlink). false when it does not exist, is a directory or may
// not be deleted.
bool DeleteFile(const std::string& path);
// Removes an empty directory (rmdir). false otherwise.
bool RemoveDirectory(const std::string& path);
// Renames `from` to `to` only when `to` does not exist yet (an existing target is never
// replaced). Across file systems a regular file is moved: copied to a staged file beside `to`,
// flushed to the disk, put in place, then `from` is removed. false when the move did not happen;
// `from` is then as it was and no part of it stands at `to`.
bool RenameNoReplace(const std::string& from, const std::string& to);

}  // namespace platform
