#include "platform/TempFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <set>
#include <string_view>
#include <utility>

namespace platform {
namespace {

bool IsDirectory(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The process's file-creation mask, read without changing it (umask() would have to set it, racing
// other threads that create files meanwhile).
mode_t CurrentUmask() {
  mode_t mask = 022;
  FILE* status = fopen("/proc/self/status", "re");
  if (status == nullptr) return mask;
  char line[256];
  while (fgets(line, sizeof line, status) != nullptr) {
    if (strncmp(line, "Umask:", 6) == 0) {
      mask = static_cast<mode_t>(strtoul(line + 6, nullptr, 8));
      break;
    }
  }
  fclose(status);
  return mask;
}

// Where the file behind `destination` lives: a symbolic link is followed, so that replacing the
// destination writes the file the link names, as opening it for writing would have.
std::string ResolveDestination(const std::string& destination) {
  struct stat info {};
  if (lstat(destination.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return destination;
  char* resolved = realpath(destination.c_str(), nullptr);
  if (resolved == nullptr) return destination;  // a dangling link is itself replaced
  std::string target = resolved;
  free(resolved);
  return target;
}

// The temporary files this process holds open, so that an immediate exit can remove them.
struct OpenStagedFiles {
  std::mutex lock;
  std::set<std::string> paths;
};
OpenStagedFiles& Registry() {
  static auto* registry = new OpenStagedFiles;  // never destroyed: used until the very end
  return *registry;
}
void Register(const std::string& path) {
  std::lock_guard<std::mutex> lock(Registry().lock);
  Registry().paths.insert(path);
}
void Unregister(const std::string& path) {
  std::lock_guard<std::mutex> lock(Registry().lock);
  Registry().paths.erase(path);
}

constexpr char kStagedMarker[] = ".staged-";

// The process id in a temporary name of ours (".<name>.<pid>.staged-XXXXXX"), or 0.
pid_t OwnerOfStagedName(std::string_view name) {
  size_t marker = name.rfind(kStagedMarker);
  if (name.empty() || name[0] != '.' || marker == std::string_view::npos ||
      name.size() - marker != sizeof(kStagedMarker) - 1 + 6)
    return 0;
  size_t digits = marker;
  while (digits > 1 && isdigit(static_cast<unsigned char>(name[digits - 1]))) --digits;
  if (digits == marker || name[digits - 1] != '.' || marker - digits > 9) return 0;
  return static_cast<pid_t>(std::stol(std::string(name.substr(digits, marker - digits))));
}

bool ProcessExists(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

// Removes the temporary files in `folder` whose process has ended: a kill or a crash left them.
void SweepAbandonedStagedFiles(const std::string& folder) {
  DIR* directory = opendir(folder.c_str());
  if (directory == nullptr) return;
  while (dirent* entry = readdir(directory)) {
    pid_t owner = OwnerOfStagedName(entry->d_name);
    if (owner == 0 || owner == getpid() || ProcessExists(owner)) continue;
    struct stat info {};
    if (fstatat(dirfd(directory), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode))
      unlinkat(dirfd(directory), entry->d_name, 0);
  }
  closedir(directory);
}

// Names longer than this are cut in the temporary name, leaving room for the prefix and suffix
// within the usual 255-byte limit of a name.
constexpr size_t kMaxNameInTemporary = 200;

}  // namespace

void CreateParentDirectories(const std::string& filePath) {
  for (size_t slash = filePath.find('/', 1); slash != std::string::npos; slash = filePath.find('/', slash + 1)) {
    std::string folder = filePath.substr(0, slash);
    if (!IsDirectory(folder)) mkdir(folder.c_str(), 0777);
  }
}

StagedFile::~StagedFile() { Discard(); }

StagedFile::StagedFile(StagedFile&& other) noexcept
    : m_stream(std::exchange(other.m_stream, nullptr)),
      m_temporaryPath(std::move(other.m_temporaryPath)),
      m_destination(std::move(other.m_destination)) {
  other.m_temporaryPath.clear();
}

StagedFile& StagedFile::operator=(StagedFile&& other) noexcept {
  if (this != &other) {
    Discard();
    m_stream = std::exchange(other.m_stream, nullptr);
    m_temporaryPath = std::move(other.m_temporaryPath);
    m_destination = std::move(other.m_destination);
    other.m_temporaryPath.clear();
  }
  return *this;
}

bool StagedFile::Open(const std::string& destination) {
  Discard();
  std::string target = ResolveDestination(destination);
  size_t slash = target.rfind('/');
  std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
  std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  if (name.empty()) return false;

  mode_t mode = 0666 & ~CurrentUmask();
  struct stat info {};
  if (stat(target.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return false;
    // The replacement would succeed in a writable folder; a file we may not write stays untouched.
    if (faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return false;
    mode = info.st_mode & 0777;  // a replaced file keeps its permissions
  }

  SweepAbandonedStagedFiles(folder);
  std::string pattern = (folder == "/" ? "" : folder) + "/." + name.substr(0, kMaxNameInTemporary) + "." +
                        std::to_string(getpid()) + kStagedMarker + "XXXXXX";
  int fd = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return false;
  Register(pattern);
  fchmod(fd, mode);
  FILE* stream = fdopen(fd, "wb");
  if (stream == nullptr) {
    close(fd);
    unlink(pattern.c_str());
    return false;
  }
  m_stream = stream;
  m_temporaryPath = std::move(pattern);
  m_destination = std::move(target);
  return true;
}

bool StagedFile::Commit() {
  if (m_stream == nullptr) return false;
  bool written = fflush(m_stream) == 0 && ferror(m_stream) == 0;
  bool closed = fclose(std::exchange(m_stream, nullptr)) == 0;
  if (!written || !closed || rename(m_temporaryPath.c_str(), m_destination.c_str()) != 0) {
    Discard();
    return false;
  }
  Unregister(m_temporaryPath);
  m_temporaryPath.clear();
  return true;
}

uint64_t StagedFile::AvailableBytes() const {
  struct statvfs info {};
  if (m_stream == nullptr || fstatvfs(fileno(m_stream), &info) != 0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
}

void StagedFile::Discard() {
  if (m_stream != nullptr) fclose(std::exchange(m_stream, nullptr));
  if (!m_temporaryPath.empty()) {
    unlink(m_temporaryPath.c_str());
    Unregister(m_temporaryPath);
    m_temporaryPath.clear();
  }
}

void RemoveOpenStagedFiles() {
  std::lock_guard<std::mutex> lock(Registry().lock);
  for (const std::string& path : Registry().paths) unlink(path.c_str());
  Registry().paths.clear();
}

}  // namespace platform
