#include "platform/FileTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace platform {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

int LastError(int fallback = EIO) { return errno != 0 ? errno : fallback; }

bool IsDotOrDotDot(const char* name) { return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')); }

FileStatus StatusFrom(const struct stat& info) {
  return {static_cast<uint64_t>(info.st_size),
          static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

// A descriptor opened with O_NONBLOCK (so that a FIFO cannot hold the open) kept only when it is a
// regular file of a real file system, then made blocking again.
ScopedFd KeepRegularFile(ScopedFd file, int& error) {
  if (!file.IsValid()) return file;
  struct stat info {};
  if (fstat(file.get(), &info) != 0) {
    error = LastError();
    return ScopedFd();
  }
  if (!S_ISREG(info.st_mode) || IsGeneratedFileSystem(file.get())) {
    error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    return ScopedFd();
  }
  int flags = fcntl(file.get(), F_GETFL);
  if (flags < 0 || fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    error = LastError();
    return ScopedFd();
  }
  return file;
}

bool WriteAll(int fd, std::span<const uint8_t> bytes, int& error) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error = LastError(ENOSPC);
      return false;
    }
    done += static_cast<size_t>(written);
  }
  return true;
}

// Writes `bytes` into the new file, flushes them to the disk and closes it.
bool WriteFlushAndClose(ScopedFd file, std::span<const uint8_t> bytes, int& error) {
  if (!WriteAll(file.get(), bytes, error)) return false;
  if (fsync(file.get()) == 0 && close(file.Release()) == 0) return true;
  error = LastError();
  return false;
}

}  // namespace

Folder Folder::Open(const std::string& path, int& error) {
  Folder folder(open(path.c_str(), kFolderFlags));
  if (!folder.IsOpen()) error = LastError();
  return folder;
}

Folder Folder::Create(const std::string& path, int& error) {
  std::error_code created;
  std::filesystem::create_directories(path, created);
  if (created) {
    error = created.value();
    return Folder();
  }
  return Open(path, error);
}

std::optional<FileIdentity> Folder::Identity() const {
  struct stat info {};
  if (!IsOpen() || fstat(m_fd.get(), &info) != 0) return std::nullopt;
  return FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

bool Folder::IsWithin(const FileIdentity& ancestor) const {
  std::optional<FileIdentity> identity = Identity();
  ScopedFd current(IsOpen() ? openat(m_fd.get(), ".", kFolderFlags) : -1);
  while (identity && current.IsValid()) {
    if (*identity == ancestor) return true;
    Folder parent(openat(current.get(), "..", kFolderFlags));
    std::optional<FileIdentity> parentIdentity = parent.Identity();
    if (!parentIdentity || *parentIdentity == *identity) return false;  // the root is its own parent
    identity = parentIdentity;
    current = std::move(parent.m_fd);
  }
  return false;
}

Folder Folder::Child(const std::string& name, int& error) const {
  Folder child(openat(m_fd.get(), name.c_str(), kFolderFlags | O_NOFOLLOW));
  if (!child.IsOpen()) error = LastError();
  return child;
}

Folder Folder::CreateChild(const std::string& name, int& error) const {
  if (mkdirat(m_fd.get(), name.c_str(), 0755) != 0 && errno != EEXIST) {
    error = LastError();
    return Folder();
  }
  return Child(name, error);
}

std::vector<FolderEntry> Folder::List(int& error) const {
  std::vector<FolderEntry> entries;
  // The listing gets a descriptor of its own: closedir closes it, this folder stays open.
  int listingFd = openat(m_fd.get(), ".", kFolderFlags);
  DIR* directory = listingFd < 0 ? nullptr : fdopendir(listingFd);
  if (directory == nullptr) {
    error = LastError();
    if (listingFd >= 0) close(listingFd);
    return entries;
  }
  errno = 0;
  while (dirent* entry = readdir(directory)) {
    if (IsDotOrDotDot(entry->d_name)) continue;
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      struct stat info {};
      if (fstatat(m_fd.get(), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0) type = IFTODT(info.st_mode);
    }
    EntryKind kind = type == DT_REG   ? EntryKind::kFile
                     : type == DT_DIR ? EntryKind::kFolder
                     : type == DT_LNK ? EntryKind::kLink
                                      : EntryKind::kOther;
    entries.push_back({entry->d_name, kind});
    errno = 0;
  }
  if (errno != 0) error = errno;
  closedir(directory);
  return entries;
}

std::optional<FileStatus> Folder::Status(const std::string& name, int& error) const {
  struct stat info {};
  if (fstatat(m_fd.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    error = LastError();
    return std::nullopt;
  }
  return StatusFrom(info);
}

ScopedFd Folder::OpenFile(const std::string& name, int& error) const {
  ScopedFd file(openat(m_fd.get(), name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW));
  if (!file.IsValid()) error = LastError();
  return KeepRegularFile(std::move(file), error);
}

ScopedFd Folder::OpenBeneath(const std::string& relative, int& error) const {
  open_how how {};
  how.flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  ScopedFd file(static_cast<int>(syscall(SYS_openat2, m_fd.get(), relative.c_str(), &how, sizeof how)));
  if (!file.IsValid()) error = LastError();
  return KeepRegularFile(std::move(file), error);
}

std::string Folder::TemporaryName(const std::string& name) { return "." + name + ".new"; }

bool Folder::WriteFile(const std::string& name, std::span<const uint8_t> bytes, Replace replace, int& error) const {
  const std::string temporary = TemporaryName(name);
  ScopedFd file(openat(m_fd.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!file.IsValid()) {
    error = LastError();
    return false;
  }
  if (WriteFlushAndClose(std::move(file), bytes, error)) {
    const unsigned flags = replace == Replace::kNever ? RENAME_NOREPLACE : 0;
    if (renameat2(m_fd.get(), temporary.c_str(), m_fd.get(), name.c_str(), flags) == 0) return true;
    error = LastError();
  }
  unlinkat(m_fd.get(), temporary.c_str(), 0);
  return false;
}

bool Folder::AppendLine(const std::string& name, const std::string& line, int& error) const {
  ScopedFd file(openat(m_fd.get(), name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!file.IsValid()) {
    error = LastError();
    return false;
  }
  const std::string text = line + "\n";
  return WriteAll(file.get(), {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, error);
}

bool Folder::RemoveFile(const std::string& name, int& error) const {
  if (unlinkat(m_fd.get(), name.c_str(), 0) == 0) return true;
  error = LastError();
  return false;
}

bool Folder::RemoveFolder(const std::string& name, int& error) const {
  if (unlinkat(m_fd.get(), name.c_str(), AT_REMOVEDIR) == 0) return true;
  error = LastError();
  return false;
}

bool Folder::TryLock(int& error) const {
  if (flock(m_fd.get(), LOCK_EX | LOCK_NB) == 0) return true;
  error = LastError();
  return false;
}

bool Folder::SyncFileSystem(int& error) const {
  if (syncfs(m_fd.get()) == 0) return true;
  error = LastError();
  return false;
}

bool ReadWholeFile(int fd, std::vector<uint8_t>& bytes, int& error) {
  struct stat info {};
  if (fstat(fd, &info) == 0 && info.st_size > 0) bytes.reserve(bytes.size() + static_cast<size_t>(info.st_size));
  uint8_t chunk[1 << 16];
  for (;;) {
    ssize_t count = read(fd, chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      error = LastError();
      return false;
    }
    if (count == 0) return true;
    bytes.insert(bytes.end(), chunk, chunk + count);
  }
}

std::optional<FileStatus> StatusOf(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return std::nullopt;
  return StatusFrom(info);
}

bool CreatePrivateFile(const std::string& path, std::span<const uint8_t> bytes, int& error) {
  ScopedFd file(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.IsValid()) {
    error = LastError();
    return false;
  }
  // The umask may have taken the owner's own bits away (never added any): the mode is set again.
  bool written = fchmod(file.get(), 0600) == 0;
  if (!written) error = LastError();
  written = written && WriteFlushAndClose(std::move(file), bytes, error);
  if (!written) unlink(path.c_str());
  return written;
}

std::string ErrorText(int error) { return std::strerror(error); }

}  // namespace platform
