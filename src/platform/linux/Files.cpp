#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

namespace platform {
namespace {

bool HasWildcard(std::string_view component) { return component.find_first_of("*?") != std::string_view::npos; }

// fnmatch knows bracket expressions and backslash escapes that the pattern language here does
// not have: those characters are escaped so they stand for themselves.
std::string ToFnmatchPattern(std::string_view pattern) {
  if (pattern == "*.*") return "*";
  std::string converted;
  converted.reserve(pattern.size());
  for (char c : pattern) {
    if (c == '[' || c == ']' || c == '\\') converted += '\\';
    converted += c;
  }
  return converted;
}

bool IsDotOrDotDot(const char* name) { return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')); }

// File systems whose regular files are generated on reading: their content may never end
// (/proc/self/pagemap) or a read may wait for ever (a trace pipe).
bool IsGeneratedFileSystem(int fd) {
  struct statfs info {};
  if (fstatfs(fd, &info) != 0) return true;
  switch (static_cast<unsigned long>(info.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case BPF_FS_MAGIC:
    case EFIVARFS_MAGIC:
    case PSTOREFS_MAGIC:
      return true;
    default:
      return false;
  }
}

}  // namespace

ScopedFd::~ScopedFd() {
  if (m_fd >= 0) close(m_fd);
}

ScopedFd::ScopedFd(ScopedFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

ScopedFd& ScopedFd::operator=(ScopedFd&& other) noexcept {
  if (this != &other) {
    if (m_fd >= 0) close(m_fd);
    m_fd = std::exchange(other.m_fd, -1);
  }
  return *this;
}

int ScopedFd::Release() { return std::exchange(m_fd, -1); }

ScopedFd OpenRegularFileForReading(const std::string& path) {
  // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; it is cleared again once the
  // file is known to be regular, where it has no meaning anyway.
  ScopedFd file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file.IsValid()) return file;
  struct stat info {};
  if (fstat(file.get(), &info) != 0) return ScopedFd();
  if (!S_ISREG(info.st_mode) || IsGeneratedFileSystem(file.get())) {
    errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    return ScopedFd();
  }
  int flags = fcntl(file.get(), F_GETFL);
  if (flags < 0 || fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return ScopedFd();
  return file;
}

FILE* OpenRegularFileStream(const std::string& path) {
  ScopedFd file = OpenRegularFileForReading(path);
  if (!file.IsValid()) return nullptr;
  FILE* stream = fdopen(file.get(), "rb");
  if (stream != nullptr) file.Release();
  return stream;
}

bool MatchesNamePattern(std::string_view pattern, std::string_view name) {
  if (name == "." || name == "..") return false;
  std::string nameText(name);
  return fnmatch(ToFnmatchPattern(pattern).c_str(), nameText.c_str(), 0) == 0;
}

bool PathOrPatternExists(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string_view last = slash == std::string::npos ? std::string_view(path) : std::string_view(path).substr(slash + 1);
  if (!HasWildcard(last)) {
    struct stat info {};
    return !path.empty() && lstat(path.c_str(), &info) == 0;
  }
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  // The folder's own last component may be a link (only the pattern's matches are listed).
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* directory = fdopendir(fd);
  if (directory == nullptr) {
    close(fd);
    return false;
  }
  bool found = false;
  std::string pattern = ToFnmatchPattern(last);
  while (dirent* entry = readdir(directory)) {
    if (IsDotOrDotDot(entry->d_name)) continue;
    if (fnmatch(pattern.c_str(), entry->d_name, 0) == 0) {
      found = true;
      break;
    }
  }
  closedir(directory);
  return found;
}

DirectoryHandle::~DirectoryHandle() {
  if (m_fd >= 0) close(m_fd);
}

DirectoryHandle::DirectoryHandle(DirectoryHandle&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

DirectoryHandle& DirectoryHandle::operator=(DirectoryHandle&& other) noexcept {
  if (this != &other) {
    if (m_fd >= 0) close(m_fd);
    m_fd = std::exchange(other.m_fd, -1);
  }
  return *this;
}

DirectoryHandle DirectoryHandle::Open(const std::string& path) {
  return DirectoryHandle(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

DirectoryHandle DirectoryHandle::OpenChild(const std::string& name) const {
  if (m_fd < 0) return DirectoryHandle();
  return DirectoryHandle(openat(m_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

std::vector<DirectoryEntry> DirectoryHandle::List(std::string_view pattern) const {
  std::vector<DirectoryEntry> entries;
  if (m_fd < 0) return entries;
  // The listing gets a descriptor of its own: closedir closes it, this handle stays open.
  int listingFd = openat(m_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listingFd < 0) return entries;
  DIR* directory = fdopendir(listingFd);
  if (directory == nullptr) {
    close(listingFd);
    return entries;
  }
  std::string converted = ToFnmatchPattern(pattern);
  while (dirent* entry = readdir(directory)) {
    if (IsDotOrDotDot(entry->d_name)) continue;
    if (fnmatch(converted.c_str(), entry->d_name, 0) != 0) continue;
    bool isDirectory = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat info {};
      isDirectory = fstatat(m_fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
    }
    entries.push_back({entry->d_name, isDirectory});
  }
  closedir(directory);
  return entries;
}

bool DirectoryHandle::DeleteChildFile(const std::string& name) const {
  return m_fd >= 0 && unlinkat(m_fd, name.c_str(), 0) == 0;
}

bool DirectoryHandle::RemoveChildDirectory(const std::string& name) const {
  return m_fd >= 0 && unlinkat(m_fd, name.c_str(), AT_REMOVEDIR) == 0;
}

bool DeleteFile(const std::string& path) { return unlink(path.c_str()) == 0; }

bool RemoveDirectory(const std::string& path) { return rmdir(path.c_str()) == 0; }

bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL) return false;
  // A file system without the no-replace rename: a hard link is made only where nothing exists
  // yet, so it keeps the guarantee for files; directories are not moved there.
  struct stat info {};
  if (lstat(from.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return false;
  if (link(from.c_str(), to.c_str()) != 0) return false;
  if (unlink(from.c_str()) != 0) {
    unlink(to.c_str());
    return false;
  }
  return true;
}

}  // namespace platform
