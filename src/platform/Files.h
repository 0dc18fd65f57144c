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
#include <span>
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

// The size of the open file; nullopt when the system cannot tell.
std::optional<uint64_t> FileSize(const ScopedFd& file);
std::optional<uint64_t> FileSize(FILE* stream);

// Reads exactly `bytes.size()` bytes of `file` from `offset` on, without moving its position.
// false on a read error or when the file ends before. Any thread.
bool ReadFileAt(const ScopedFd& file, uint64_t offset, std::span<uint8_t> bytes);

// The same as a binary stdio stream; null on failure. The caller closes it with fclose.
FILE* OpenRegularFileStream(const std::string& path);

// Opens `path` to append to it as the C library's "a+" mode does (read and write, every write at
// the end, created with mode 0666 less the umask when missing, a symbolic link followed), and
// close-on-exec. Invalid on failure. Any thread.
ScopedFd OpenForAppending(const std::string& path);
// Writes all of `text` at the file's position (its end, for a file opened to append); false on a
// failure. Any thread.
bool WriteText(const ScopedFd& file, std::string_view text);

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

struct DirectoryEntry {
  std::string name;
  // The entry itself is a directory. A symbolic link is never one, wherever it points.
  bool isDirectory = false;
};

struct PathEntry;

// How a path that the movie gives is walked wherever what it names matters (deletion, a tree walk,
// a rename, a write). The walk goes component by component, holding each folder by descriptor:
//  - a symbolic link in the folders before the last component is followed: a home folder reached
//    through /home -> /var/home is fine, and so is any link the path's own text passes through;
//  - a ".." component is refused once a link has been followed: the system would take it to the
//    parent of the link's target, a folder the path's text does not name. Before any link, ".."
//    is the real parent, the folder the text names;
//  - the last component names the entry itself. A deletion or a rename acts on a link there, never
//    on its target; a write replaces the file a link there points to (as opening it would); a
//    folder opened for what lies below it follows one. Walks below the entry never follow links;
//  - empty and "." components are skipped, so "a//b/" and "a/./b/." name a/b.
// A refused path fails with errno ELOOP.

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

  // Opens the directory that `path` names, walked by the rules above; here a link as the last
  // component is followed too, since only what lies below the directory is acted on. Fails
  // (IsOpen false) when it does not exist, is not a directory or the walk is refused.
  static DirectoryHandle Open(const std::string& path);
  // Opens the subdirectory `name` of this directory. Fails when `name` is a symbolic link,
  // wherever it points, so a walk from handle to child never leaves the tree.
  DirectoryHandle OpenChild(const std::string& name) const;
  // Opens this directory's parent (its ".." entry, never a link).
  DirectoryHandle OpenParent() const;

  bool IsOpen() const { return m_fd >= 0; }
  // The descriptor, still owned by this handle (-1 when not open).
  int get() const { return m_fd; }
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
  friend std::optional<PathEntry> OpenPathEntry(const std::string& path);
  explicit DirectoryHandle(int fd) : m_fd(fd) {}
  int m_fd = -1;
};

// The entry that a path names: the folder that holds it, open, and its name there.
struct PathEntry {
  DirectoryHandle folder;
  std::string name;
  // The path ended in "/" (or "/."): it can only name a folder.
  bool namesFolder = false;
};

// Walks `path` by the rules above up to its last component, which must exist or not as the caller
// finds out; the entry is never resolved itself, so a link there is the link. A path whose last
// component is ".." (after "." and trailing slashes are dropped) names the folder above the walk:
// its name is taken from the text when no link was followed. nullopt, with errno set, when the
// path is empty, names the root or the current folder's parents without a name, a folder on the
// way is missing or is not one, or the walk is refused. Any thread.
std::optional<PathEntry> OpenPathEntry(const std::string& path);

// Whether a ".." of `path` comes after a component that is a symbolic link now, so that the system
// would climb from the link's target, a folder the text does not name (the rules above refuse
// it). Folders of the path that do not exist yet are no links: a writer that creates them climbs
// through what it made. For paths whose folders are made on the way, where OpenPathEntry needs
// them to exist. Any thread.
bool ClimbsOutOfALink(const std::string& path);

// Whether `directory` is the root folder, the user's home folder or a folder that holds it,
// however it was named: folders that no deletion may ever empty. Any thread.
bool IsRootOrHomeFolder(const DirectoryHandle& directory);

// The deletions and the rename below walk their paths by the rules above, so they act on the
// entry the path's text names, a link itself included, never on what lies behind a link and "..".

// Deletes one non-directory entry (a symbolic link itself, never its target). false when it does
// not exist, is a directory, the path ends in "/", the walk is refused, or it may not be deleted.
bool DeleteFile(const std::string& path);
// Renames `from` to `to` only when `to` does not exist yet (an existing target is never
// replaced). Across file systems a regular file is moved: copied to a staged file beside `to`,
// flushed to the disk, put in place, then `from` is removed. false when the move did not happen;
// `from` is then as it was and no part of it stands at `to`.
bool RenameNoReplace(const std::string& from, const std::string& to);

}  // namespace platform
