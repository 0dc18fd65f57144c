#include "platform/TempFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Files.h"

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

constexpr char kPartialSuffix[] = ".partial";
constexpr char kRecordSuffix[] = ".partial.meta";
constexpr char kRecordHeader[] = "brimtale-partial 1";
// A partial file not written for this long is not worth resuming: the file on the server has
// most likely changed, and the space is the player's.
constexpr time_t kPartialLifetimeSeconds = 7 * 24 * 3600;

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool Expired(time_t modified) { return modified < time(nullptr) - kPartialLifetimeSeconds; }

// Whether `info` describes a file that may be taken as a partial file or record of ours: a regular
// file with no other name (through a hard link a write would reach a file elsewhere), owned by
// the user.
bool IsOwnSingleFile(const struct stat& info) {
  return S_ISREG(info.st_mode) && info.st_nlink == 1 && info.st_uid == geteuid();
}

// Opens `name` in the folder without following a link and without waiting (a FIFO, a device), and
// keeps it only when it is a file of our own (IsOwnSingleFile); invalid otherwise, with errno
// ENOENT when nothing has the name. `info` receives its status.
ScopedFd OpenOwnFile(int folderFd, const char* name, int flags, mode_t mode, struct stat& info) {
  ScopedFd fd(openat(folderFd, name, flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, mode));
  if (!fd.IsValid()) return {};
  if (fstat(fd.get(), &info) != 0 || !IsOwnSingleFile(info)) {
    errno = EPERM;
    return {};
  }
  return fd;
}

// A record is at most this long, and what is written is read back whole. A validator is a short
// token or date; a longer one is taken for a server's mischief and not kept.
constexpr size_t kMaxRecordBytes = 64 * 1024;
constexpr size_t kMaxValidatorBytes = 8 * 1024;

struct PartialRecord {
  enum class State {
    kMissing,     // no record: the partial file is not ours
    kForeign,     // something not of our own has the record's name: the partial file is left alone
    kUnreadable,  // ours, but not whole or not of this format: its partial file cannot be resumed
    kRead,
  };
  State state = State::kMissing;
  std::string url;
  std::string validator;
};

// The record beside a partial file: a header line, the URL, the validator.
PartialRecord ReadRecord(int folderFd, const char* name) {
  PartialRecord record;
  struct stat info {};
  ScopedFd fd = OpenOwnFile(folderFd, name, O_RDONLY, 0, info);
  if (!fd.IsValid()) {
    if (errno != ENOENT) record.state = PartialRecord::State::kForeign;
    return record;
  }
  record.state = PartialRecord::State::kUnreadable;
  if (info.st_size <= 0 || static_cast<uint64_t>(info.st_size) > kMaxRecordBytes) return record;
  std::string buffer(static_cast<size_t>(info.st_size), '\0');
  if (pread(fd.get(), buffer.data(), buffer.size(), 0) != static_cast<ssize_t>(buffer.size())) return record;
  std::string_view text = buffer;
  std::string_view lines[3];
  for (std::string_view& line : lines) {
    size_t end = text.find('\n');
    if (end == std::string_view::npos) return record;
    line = text.substr(0, end);
    text.remove_prefix(end + 1);
  }
  if (lines[0] != kRecordHeader || !text.empty()) return record;
  record.state = PartialRecord::State::kRead;
  record.url = lines[1];
  record.validator = lines[2];
  return record;
}

std::string RecordText(const std::string& url, const std::string& validator) {
  return std::string(kRecordHeader) + "\n" + url + "\n" + validator + "\n";
}

// Writes the record under a temporary name and renames it into place: whatever has the record's
// name (a FIFO, a hard link to a file elsewhere) is replaced, never opened or written.
bool WriteRecord(const std::string& path, const std::string& text) {
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temporary = folder + "." + name + "." + std::to_string(getpid()) + kStagedMarker + "XXXXXX";
  ScopedFd fd(mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd.IsValid()) return false;
  bool written = write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                 close(fd.Release()) == 0 && rename(temporary.c_str(), path.c_str()) == 0;
  if (!written) unlink(temporary.c_str());
  return written;
}

// Removes the partial file `name` in the folder when it is ours (it has a record of ours) and is not
// worth keeping: its record cannot be read back or holds no validator (its transfer was killed
// before it became resumable), or it was not written for 7 days. One that a transfer holds is
// never removed.
void RemoveAbandonedPartial(int folderFd, const std::string& name) {
  std::string recordName = name.substr(0, name.size() - (sizeof(kPartialSuffix) - 1)) + kRecordSuffix;
  PartialRecord record = ReadRecord(folderFd, recordName.c_str());
  if (record.state == PartialRecord::State::kMissing || record.state == PartialRecord::State::kForeign) return;
  struct stat info {};
  ScopedFd fd = OpenOwnFile(folderFd, name.c_str(), O_RDONLY, 0, info);
  if (!fd.IsValid()) return;
  bool resumable = record.state == PartialRecord::State::kRead && !record.validator.empty();
  if (resumable && !Expired(info.st_mtime)) return;
  if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
    unlinkat(folderFd, name.c_str(), 0);
    unlinkat(folderFd, recordName.c_str(), 0);
  }
  // The lock goes with the descriptor, after the names.
}

// Removes what a kill or a crash left in `folder`: temporary files whose process has ended, and
// partial files that cannot be resumed or are too old.
void SweepAbandonedStagedFiles(const std::string& folder) {
  DIR* directory = opendir(folder.c_str());
  if (directory == nullptr) return;
  std::vector<std::string> partials;
  while (dirent* entry = readdir(directory)) {
    std::string_view name = entry->d_name;
    if (name.size() > sizeof(kPartialSuffix) && name[0] == '.' && EndsWith(name, kPartialSuffix)) {
      partials.emplace_back(name);
      continue;
    }
    pid_t owner = OwnerOfStagedName(name);
    if (owner == 0 || owner == getpid() || ProcessExists(owner)) continue;
    struct stat info {};
    if (fstatat(dirfd(directory), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode))
      unlinkat(dirfd(directory), entry->d_name, 0);
  }
  for (const std::string& name : partials) RemoveAbandonedPartial(dirfd(directory), name);
  closedir(directory);
}

// Where a staged or partial file for `destination` goes, and the permissions it gets.
struct Placement {
  std::string target;  // the destination, symbolic links resolved
  std::string folder;
  std::string name;
  mode_t mode = 0;
};

// False when the destination is a directory, exists but may not be written by this process, or
// has no name.
bool PlaceFor(const std::string& destination, Placement& place) {
  place.target = ResolveDestination(destination);
  size_t slash = place.target.rfind('/');
  place.folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : place.target.substr(0, slash));
  place.name = slash == std::string::npos ? place.target : place.target.substr(slash + 1);
  if (place.name.empty()) return false;
  place.mode = 0666 & ~CurrentUmask();
  struct stat info {};
  if (stat(place.target.c_str(), &info) == 0) {
    // Only a regular file is replaced: a folder, a FIFO or a device (/dev/null, say) stays itself.
    if (!S_ISREG(info.st_mode)) return false;
    // The replacement would succeed in a writable folder; a file we may not write stays untouched.
    if (faccessat(AT_FDCWD, place.target.c_str(), W_OK, AT_EACCESS) != 0) return false;
    place.mode = info.st_mode & 0777;  // a replaced file keeps its permissions
  }
  return true;
}

// Staged and partial files are written through a buffer of this size: a download arrives in pieces
// of 16 KiB, and a file system takes fewer, larger writes at a fraction of the cost.
constexpr size_t kStreamBufferBytes = 256 * 1024;

// A binary stream on `fd` with a buffer of kStreamBufferBytes, which `buffer` receives and must
// keep until the stream is closed; null on failure (the descriptor then stays open).
FILE* OpenBufferedStream(int fd, const char* mode, std::unique_ptr<char[]>& buffer) {
  FILE* stream = fdopen(fd, mode);
  if (stream == nullptr) return nullptr;
  buffer.reset(new (std::nothrow) char[kStreamBufferBytes]);
  if (buffer != nullptr) setvbuf(stream, buffer.get(), _IOFBF, kStreamBufferBytes);
  return stream;
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
      m_buffer(std::move(other.m_buffer)),
      m_temporaryPath(std::move(other.m_temporaryPath)),
      m_destination(std::move(other.m_destination)) {
  other.m_temporaryPath.clear();
}

StagedFile& StagedFile::operator=(StagedFile&& other) noexcept {
  if (this != &other) {
    Discard();
    m_stream = std::exchange(other.m_stream, nullptr);
    m_buffer = std::move(other.m_buffer);
    m_temporaryPath = std::move(other.m_temporaryPath);
    m_destination = std::move(other.m_destination);
    other.m_temporaryPath.clear();
  }
  return *this;
}

bool StagedFile::Open(const std::string& destination) {
  Discard();
  Placement place;
  if (!PlaceFor(destination, place)) return false;
  const std::string& folder = place.folder;
  const std::string& name = place.name;
  mode_t mode = place.mode;
  std::string target = place.target;

  SweepAbandonedStagedFiles(folder);
  std::string pattern = (folder == "/" ? "" : folder) + "/." + name.substr(0, kMaxNameInTemporary) + "." +
                        std::to_string(getpid()) + kStagedMarker + "XXXXXX";
  int fd = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return false;
  Register(pattern);
  fchmod(fd, mode);
  FILE* stream = OpenBufferedStream(fd, "wb", m_buffer);
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

PartialFile::~PartialFile() { Close(); }

PartialFile::PartialFile(PartialFile&& other) noexcept { *this = std::move(other); }

PartialFile& PartialFile::operator=(PartialFile&& other) noexcept {
  if (this != &other) {
    Close();
    m_stream = std::exchange(other.m_stream, nullptr);
    m_buffer = std::move(other.m_buffer);
    m_path = std::move(other.m_path);
    m_recordPath = std::move(other.m_recordPath);
    m_destination = std::move(other.m_destination);
    m_url = std::move(other.m_url);
    m_validator = std::move(other.m_validator);
    other.Forget();
  }
  return *this;
}

bool PartialFile::Open(const std::string& destination, const std::string& url) {
  Close();
  Placement place;
  if (!PlaceFor(destination, place)) return false;
  SweepAbandonedStagedFiles(place.folder);
  std::string base = (place.folder == "/" ? "" : place.folder) + "/." + place.name.substr(0, kMaxNameInTemporary);
  std::string path = base + kPartialSuffix;
  std::string recordPath = base + kRecordSuffix;
  // A partial file or record not of our own (a link, a FIFO, another user's), or a partial file
  // held by another transfer, is left untouched: the caller stages the download under a new name.
  if (ReadRecord(AT_FDCWD, recordPath.c_str()).state == PartialRecord::State::kForeign) return false;
  struct stat info {};
  ScopedFd fd = OpenOwnFile(AT_FDCWD, path.c_str(), O_RDWR | O_CREAT, place.mode, info);
  if (!fd.IsValid() || flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return false;
  fchmod(fd.get(), place.mode);
  FILE* stream = OpenBufferedStream(fd.get(), "r+b", m_buffer);
  if (stream == nullptr) return false;
  fd.Release();
  m_stream = stream;
  m_path = std::move(path);
  m_recordPath = std::move(recordPath);
  m_destination = std::move(place.target);
  m_url = url;
  // Read again now that the lock is held: another transfer may have rewritten it meanwhile.
  PartialRecord record = ReadRecord(AT_FDCWD, m_recordPath.c_str());
  if (record.state == PartialRecord::State::kRead && record.url == url && !record.validator.empty() &&
      info.st_size > 0 && !Expired(info.st_mtime) && fseeko(m_stream, 0, SEEK_END) == 0) {
    m_validator = record.validator;
    return true;
  }
  if (StartOver("")) return true;
  Discard();
  return false;
}

uint64_t PartialFile::size() const {
  off_t position = m_stream != nullptr ? ftello(m_stream) : -1;
  return position > 0 ? static_cast<uint64_t>(position) : 0;
}

bool PartialFile::ReadHeld(const std::function<void(std::span<const uint8_t>)>& sink) const {
  if (m_stream == nullptr || fflush(m_stream) != 0) return false;
  const uint64_t held = size();
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kStreamBufferBytes]);
  if (buffer == nullptr) return false;
  // pread leaves the stream's position, where the rest is appended, as it is.
  for (uint64_t offset = 0; offset < held;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kStreamBufferBytes, held - offset));
    const ssize_t got = pread(fileno(m_stream), buffer.get(), want, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    sink({buffer.get(), static_cast<size_t>(got)});
    offset += static_cast<uint64_t>(got);
  }
  return true;
}

bool PartialFile::StartOver(const std::string& validator) {
  if (m_stream == nullptr) return false;
  fflush(m_stream);
  // An empty file is not truncated: on ext4, truncating to zero marks the file for a flush of all
  // its data at close, which would stall the end of every download.
  struct stat info {};
  if (fstat(fileno(m_stream), &info) != 0 || (info.st_size > 0 && ftruncate(fileno(m_stream), 0) != 0) ||
      fseeko(m_stream, 0, SEEK_SET) != 0)
    return false;
  clearerr(m_stream);
  std::string record = RecordText(m_url, validator);
  // What the record could not give back whole is not kept: the body is then not resumable, and its
  // record says only that the file is ours.
  bool resumable = !validator.empty() && validator.size() <= kMaxValidatorBytes && record.size() <= kMaxRecordBytes &&
                   std::count(record.begin(), record.end(), '\n') == 3;
  m_validator = resumable ? validator : "";
  if (!resumable) record = RecordText("", "");
  // A body that cannot be resumed goes at an immediate exit like a staged file; one that can, stays.
  if (!resumable) {
    Register(m_path);
    Register(m_recordPath);
  } else {
    Unregister(m_path);
    Unregister(m_recordPath);
  }
  return WriteRecord(m_recordPath, record);
}

bool PartialFile::Commit() {
  if (m_stream == nullptr) return false;
  bool written = fflush(m_stream) == 0 && ferror(m_stream) == 0;
  // Renamed while the lock is held, so no other transfer takes the name meanwhile.
  if (!written || rename(m_path.c_str(), m_destination.c_str()) != 0) {
    Discard();
    return false;
  }
  unlink(m_recordPath.c_str());
  bool closed = fclose(std::exchange(m_stream, nullptr)) == 0;
  Forget();
  return closed;
}

void PartialFile::Close() {
  if (m_stream == nullptr) return;
  if (m_validator.empty() || size() == 0) {
    Discard();
    return;
  }
  fclose(std::exchange(m_stream, nullptr));
  Forget();
}

void PartialFile::Discard() {
  if (m_stream == nullptr) return;
  unlink(m_path.c_str());
  unlink(m_recordPath.c_str());
  fclose(std::exchange(m_stream, nullptr));  // the lock goes after the names
  Forget();
}

void PartialFile::Forget() {
  Unregister(m_path);
  Unregister(m_recordPath);
  m_path.clear();
  m_recordPath.clear();
  m_validator.clear();
}

uint64_t PartialFile::AvailableBytes() const {
  struct statvfs info {};
  if (m_stream == nullptr || fstatvfs(fileno(m_stream), &info) != 0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
}

void RemoveOpenStagedFiles() {
  std::lock_guard<std::mutex> lock(Registry().lock);
  for (const std::string& path : Registry().paths) unlink(path.c_str());
  Registry().paths.clear();
}

}  // namespace platform

namespace platform {

Reservation ReserveStagedFile(StagedFile& file, uint64_t size, uint64_t keepFree) {
  if (!file.IsOpen()) return Reservation::kFailed;
  uint64_t available = file.AvailableBytes();
  if (available < keepFree || available - keepFree < size ||
      size > static_cast<uint64_t>(std::numeric_limits<off_t>::max()))
    return Reservation::kNoRoom;
  if (size == 0) return Reservation::kMade;
  // posix_fallocate writes a byte per block where the file system cannot reserve by itself.
  return posix_fallocate(fileno(file.stream()), 0, static_cast<off_t>(size)) == 0 ? Reservation::kMade
                                                                                 : Reservation::kFailed;
}

}  // namespace platform
