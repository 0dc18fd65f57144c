#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <linux/magic.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/random.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
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

namespace {

std::optional<uint64_t> SizeOfOpenFile(int fd) {
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0 || info.st_size < 0) return std::nullopt;
  return static_cast<uint64_t>(info.st_size);
}

}  // namespace

std::optional<uint64_t> FileSize(const ScopedFd& file) { return SizeOfOpenFile(file.get()); }

std::optional<uint64_t> FileSize(FILE* stream) {
  return stream != nullptr ? SizeOfOpenFile(fileno(stream)) : std::nullopt;
}

ScopedFd OpenForAppending(const std::string& path) {
  return ScopedFd(open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
}

bool ReadFileAt(const ScopedFd& file, uint64_t offset, std::span<uint8_t> bytes) {
  while (!bytes.empty()) {
    ssize_t got = pread(file.get(), bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes = bytes.subspan(static_cast<size_t>(got));
    offset += static_cast<uint64_t>(got);
  }
  return true;
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

namespace {

// Where a walk of a path stands: `folder` is what the text so far names, or, with `pending`, the
// folder that holds the entry `pending` (not yet looked at). `names` are the names the walk went
// down by since its start, the last one `folder`'s own, for a ".." that comes before any link.
struct PathWalk {
  ScopedFd folder;
  std::vector<std::string> names;
  std::optional<std::string> pending;
  bool followedLink = false;
};

constexpr int kWalkFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

// Goes down into `walk.pending`: a real folder, or a link to one, which is then followed.
bool Descend(PathWalk& walk) {
  const std::string& name = *walk.pending;
  ScopedFd child(openat(walk.folder.get(), name.c_str(), kWalkFlags | O_NOFOLLOW));
  if (!child.IsValid()) {
    struct stat info {};
    // O_NOFOLLOW gives ENOTDIR for a link; anything else is no folder to walk through.
    if (errno != ENOTDIR || fstatat(walk.folder.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISLNK(info.st_mode))
      return false;
    child = ScopedFd(openat(walk.folder.get(), name.c_str(), kWalkFlags));
    if (!child.IsValid()) return false;
    walk.followedLink = true;
  }
  walk.folder = std::move(child);
  walk.names.push_back(std::move(*walk.pending));
  walk.pending.reset();
  return true;
}

// A ".." component: refused after a link, else the text's own parent, which is then the real one.
bool GoUp(PathWalk& walk) {
  if (walk.followedLink) {
    errno = ELOOP;
    return false;
  }
  if (walk.pending) {
    // "name/.." is the folder itself when name is a real folder (a link was handled above).
    struct stat info {};
    if (fstatat(walk.folder.get(), walk.pending->c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (S_ISLNK(info.st_mode)) {
      errno = ELOOP;
      return false;
    }
    if (!S_ISDIR(info.st_mode)) {
      errno = ENOTDIR;
      return false;
    }
    walk.pending.reset();
    return true;
  }
  ScopedFd parent(openat(walk.folder.get(), "..", kWalkFlags));
  if (!parent.IsValid()) return false;
  walk.folder = std::move(parent);
  if (!walk.names.empty()) walk.names.pop_back();
  return true;
}

// Walks every component of `path` but leaves the last name pending.
bool WalkPath(const std::string& path, PathWalk& walk) {
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  walk.folder = ScopedFd(open(path[0] == '/' ? "/" : ".", kWalkFlags));
  if (!walk.folder.IsValid()) return false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string component = path.substr(start, end - start);
    start = end + 1;
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      if (!GoUp(walk)) return false;
      continue;
    }
    if (walk.pending && !Descend(walk)) return false;
    walk.pending = std::move(component);
  }
  return true;
}

bool EndsAtAFolder(const std::string& path) {
  std::string_view last = path;
  if (size_t slash = path.rfind('/'); slash != std::string::npos) last.remove_prefix(slash + 1);
  return last.empty() || last == "." || last == "..";
}

}  // namespace

std::optional<PathEntry> OpenPathEntry(const std::string& path) {
  PathWalk walk;
  if (!WalkPath(path, walk)) return std::nullopt;
  PathEntry entry;
  entry.namesFolder = EndsAtAFolder(path);
  if (walk.pending) {
    entry.folder = DirectoryHandle(walk.folder.Release());
    entry.name = std::move(*walk.pending);
    return entry;
  }
  // The text ended in "..", with no link before it: the entry is the walk's folder, known by the
  // name the walk came down by.
  if (walk.names.empty()) {
    errno = EINVAL;
    return std::nullopt;
  }
  entry.folder = DirectoryHandle(openat(walk.folder.get(), "..", kWalkFlags));
  if (!entry.folder.IsOpen()) return std::nullopt;
  entry.name = std::move(walk.names.back());
  return entry;
}

DirectoryHandle DirectoryHandle::Open(const std::string& path) {
  PathWalk walk;
  if (!WalkPath(path, walk)) return DirectoryHandle();
  // Whatever the last component is, only what lies below the folder is acted on.
  const char* name = walk.pending ? walk.pending->c_str() : ".";
  return DirectoryHandle(openat(walk.folder.get(), name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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

namespace {

std::optional<FileIdentity> IdentityOf(int fd, const char* name, int flags) {
  struct stat info {};
  if (fstatat(fd, name, &info, flags) != 0) return std::nullopt;
  return FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

// Whether `folder` is the folder at `path` or one of the folders above it, up to the root.
bool IsFolderOrAbove(const FileIdentity& folder, const std::string& path) {
  if (path.empty()) return false;
  ScopedFd current(open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  // A path's depth bounds the climb; the limit only guards against a file system that loops.
  for (int level = 0; current.IsValid() && level < 4096; ++level) {
    std::optional<FileIdentity> here = IdentityOf(current.get(), "", AT_EMPTY_PATH);
    if (!here) return true;  // what cannot be told apart is not risked
    if (*here == folder) return true;
    ScopedFd parent(openat(current.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!parent.IsValid() || IdentityOf(parent.get(), "", AT_EMPTY_PATH) == here) return false;  // the root
    current = std::move(parent);
  }
  return false;
}

}  // namespace

bool IsRootOrHomeFolder(const DirectoryHandle& directory) {
  std::optional<FileIdentity> identity = directory.Identity();
  if (!identity) return true;  // what cannot be told apart is not risked
  if (IdentityOf(AT_FDCWD, "/", 0) == identity) return true;
  const char* home = getenv("HOME");
  if (home != nullptr && IsFolderOrAbove(*identity, home)) return true;
  // The account's home folder also when HOME names another one.
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry {};
  passwd* found = nullptr;
  return getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
         found->pw_dir != nullptr && IsFolderOrAbove(*identity, found->pw_dir);
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

bool ClimbsOutOfALink(const std::string& path) {
  std::string prefix = path.rfind('/', 0) == 0 ? "" : ".";
  bool linkSeen = false;
  size_t begin = 0;
  while (begin <= path.size()) {
    size_t end = path.find('/', begin);
    if (end == std::string::npos) end = path.size();
    const std::string_view component(path.data() + begin, end - begin);
    begin = end + 1;
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      if (linkSeen) return true;
      prefix += "/..";
      continue;
    }
    prefix += '/';
    prefix += component;
    struct stat info {};
    if (!linkSeen && lstat(prefix.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) linkSeen = true;
  }
  return false;
}

bool DeleteFile(const std::string& path) {
  std::optional<PathEntry> entry = OpenPathEntry(path);
  return entry && !entry->namesFolder && entry->folder.DeleteChildFile(entry->name);
}

namespace {

// An entry by the descriptor of its folder and its name there.
struct EntryAt {
  int folder;
  const std::string& name;
};

// The rename within one file system that never replaces an existing `to`.
bool RenameWithoutReplacing(EntryAt from, EntryAt to) {
  const char* fromName = from.name.c_str();
  const char* toName = to.name.c_str();
  if (renameat2(from.folder, fromName, to.folder, toName, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL) return false;
  // A file system without the no-replace rename: a hard link is made only where nothing exists
  // yet, so it keeps the guarantee for files; directories are not moved there.
  struct stat info {};
  if (fstatat(from.folder, fromName, &info, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(info.st_mode)) return false;
  if (linkat(from.folder, fromName, to.folder, toName, 0) != 0) return false;
  if (unlinkat(from.folder, fromName, 0) != 0) {
    unlinkat(to.folder, toName, 0);
    return false;
  }
  return true;
}

// Creates a new hidden file beside `entry`, in the form the staged files of downloads use
// (".<name>.XXXXXX"), and returns its descriptor with its name in `stagedName`.
ScopedFd CreateStagedFileBeside(EntryAt entry, std::string& stagedName) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  constexpr uint64_t kLetterCount = sizeof kLetters - 1;
  for (uint64_t attempt = 0; attempt < 100; ++attempt) {
    uint64_t bits = 0;
    // Before the system's entropy is ready (early at boot) the names only need to differ.
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != sizeof bits) {
      bits = static_cast<uint64_t>(getpid()) << 32 ^ static_cast<uint64_t>(time(nullptr));
      bits ^= attempt * 0x9E3779B97F4A7C15;
    }
    std::string name = "." + entry.name.substr(0, 200) + ".";
    for (int letter = 0; letter < 6; ++letter, bits /= kLetterCount) name += kLetters[bits % kLetterCount];
    ScopedFd file(openat(entry.folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.IsValid() || errno != EEXIST) {
      stagedName = std::move(name);
      return file;
    }
  }
  return ScopedFd();
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

// The move of a regular file to another file system: a whole, flushed copy is put in place
// without replacing anything, and only then is the source removed.
bool MoveAcrossFileSystems(EntryAt from, EntryAt to) {
  ScopedFd source(openat(from.folder, from.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat info {};
  if (!source.IsValid() || fstat(source.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  struct stat existing {};
  if (fstatat(to.folder, to.name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) return false;

  std::string stagedName;
  ScopedFd copy = CreateStagedFileBeside(to, stagedName);
  if (!copy.IsValid()) return false;
  // The owner is kept where that is allowed (root); otherwise the copy stays ours.
  if (fchown(copy.get(), info.st_uid, info.st_gid) != 0) errno = 0;
  const timespec times[2] = {info.st_atim, info.st_mtim};
  bool whole = CopyContents(source.get(), copy.get()) && fchmod(copy.get(), info.st_mode & 07777) == 0 &&
               futimens(copy.get(), times) == 0 && fsync(copy.get()) == 0;
  bool closed = close(copy.Release()) == 0;
  if (!whole || !closed || !RenameWithoutReplacing({to.folder, stagedName}, to)) {
    unlinkat(to.folder, stagedName.c_str(), 0);
    return false;
  }
  ScopedFd folder(openat(to.folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.IsValid()) fsync(folder.get());
  if (unlinkat(from.folder, from.name.c_str(), 0) != 0) {
    // The source stays as it was; the copy goes again, so that no file stands twice.
    unlinkat(to.folder, to.name.c_str(), 0);
    return false;
  }
  return true;
}

}  // namespace

bool RenameNoReplace(const std::string& from, const std::string& to) {
  std::optional<PathEntry> source = OpenPathEntry(from);
  std::optional<PathEntry> target = source ? OpenPathEntry(to) : std::nullopt;
  if (!target) return false;
  EntryAt moved{source->folder.get(), source->name};
  EntryAt destination{target->folder.get(), target->name};
  if (RenameWithoutReplacing(moved, destination)) return true;
  return errno == EXDEV && MoveAcrossFileSystems(moved, destination);
}

bool WriteText(const ScopedFd& file, std::string_view text) { return WriteAll(file.get(), text.data(), text.size()); }

}  // namespace platform
