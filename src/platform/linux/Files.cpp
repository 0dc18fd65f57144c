#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <linux/magic.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

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

}  // namespace

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

bool IsOtherThanRegularFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
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
  // The folder's own "." and ".." entries count, as in the original lookup: `dir/*` finds an
  // empty folder.
  bool found = false;
  std::string pattern = ToFnmatchPattern(last);
  while (dirent* entry = readdir(directory)) {
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

DirectoryHandle DirectoryHandle::Open(const std::string& path, FinalLink finalLink) {
  if (finalLink == FinalLink::Follow) return DirectoryHandle(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // "link/" and "link/." would resolve the link before O_NOFOLLOW looks at the last component.
  std::string named = path;
  while (true) {
    if (named.size() > 1 && named.back() == '/')
      named.pop_back();
    else if (named.size() > 2 && named.ends_with("/."))
      named.resize(named.size() - 2);
    else
      break;
  }
  return DirectoryHandle(open(named.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

DirectoryHandle DirectoryHandle::OpenChild(const std::string& name) const {
  if (m_fd < 0) return DirectoryHandle();
  return DirectoryHandle(openat(m_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

DirectoryHandle DirectoryHandle::OpenParent() const {
  if (m_fd < 0) return DirectoryHandle();
  return DirectoryHandle(openat(m_fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

std::optional<FileIdentity> DirectoryHandle::Identity() const {
  struct stat info {};
  if (m_fd < 0 || fstat(m_fd, &info) != 0) return std::nullopt;
  return FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

bool IsRootOrHomeFolder(const DirectoryHandle& directory) {
  std::optional<FileIdentity> identity = directory.Identity();
  if (!identity) return true;  // what cannot be told apart is not risked
  auto isSame = [&](const std::string& path) {
    struct stat info {};
    return !path.empty() && stat(path.c_str(), &info) == 0 &&
           FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)} == *identity;
  };
  if (isSame("/")) return true;
  const char* home = getenv("HOME");
  if (home != nullptr && isSame(home)) return true;
  // The account's home folder also when HOME names another one.
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry {};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && isSame(found->pw_dir))
    return true;
  return false;
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

namespace {

// The rename within one file system that never replaces an existing `to`.
bool RenameWithoutReplacing(const std::string& from, const std::string& to) {
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

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

// A hidden, unique name beside `path`, in the form the staged files of downloads use.
std::string StagedNamePatternBeside(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string folder = FolderOf(path);
  return (folder == "/" ? "" : folder) + "/." + name.substr(0, 200) + ".XXXXXX";
}

bool WriteAll(int fd, const char* bytes, size_t size) {
  while (size > 0) {
    ssize_t written = write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// Copies what is left of `from` into `to`; false on any read or write failure.
bool CopyContents(int from, int to) {
  for (;;) {
    ssize_t copied = copy_file_range(from, nullptr, to, nullptr, size_t{1} << 30, 0);
    if (copied == 0) return true;
    if (copied > 0 || errno == EINTR) continue;
    // Both offsets have moved by what was copied, so plain reads go on from there.
    if (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL) break;
    return false;
  }
  std::vector<char> buffer(1 << 16);
  for (;;) {
    ssize_t got = read(from, buffer.data(), buffer.size());
    if (got == 0) return true;
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 || !WriteAll(to, buffer.data(), static_cast<size_t>(got))) return false;
  }
}

void FlushFolder(const std::string& folder) {
  ScopedFd directory(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.IsValid()) fsync(directory.get());
}

// The move of a regular file to another file system: a whole, flushed copy is put in place
// without replacing anything, and only then is the source removed.
bool MoveAcrossFileSystems(const std::string& from, const std::string& to) {
  ScopedFd source(open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat info {};
  if (!source.IsValid() || fstat(source.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  struct stat existing {};
  if (lstat(to.c_str(), &existing) == 0) return false;

  std::string staged = StagedNamePatternBeside(to);
  ScopedFd copy(mkostemp(staged.data(), O_CLOEXEC));
  if (!copy.IsValid()) return false;
  // The owner is kept where that is allowed (root); otherwise the copy stays ours.
  if (fchown(copy.get(), info.st_uid, info.st_gid) != 0) errno = 0;
  const timespec times[2] = {info.st_atim, info.st_mtim};
  bool whole = CopyContents(source.get(), copy.get()) && fchmod(copy.get(), info.st_mode & 07777) == 0 &&
               futimens(copy.get(), times) == 0 && fsync(copy.get()) == 0;
  bool closed = close(copy.Release()) == 0;
  if (!whole || !closed || !RenameWithoutReplacing(staged, to)) {
    unlink(staged.c_str());
    return false;
  }
  FlushFolder(FolderOf(to));
  if (unlink(from.c_str()) != 0) {
    // The source stays as it was; the copy goes again, so that no file stands twice.
    unlink(to.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (RenameWithoutReplacing(from, to)) return true;
  return errno == EXDEV && MoveAcrossFileSystems(from, to);
}

}  // namespace platform
