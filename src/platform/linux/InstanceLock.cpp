#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/Files.h"
#include "platform/SpecialFolders.h"

namespace platform {
namespace {

constexpr int kFolderInternetCache = 32;  // $XDG_CACHE_HOME, else ~/.cache
constexpr size_t kMaxRequestBytes = 2048;
constexpr size_t kMaxPendingConnections = 8;

struct LockLocation {
  std::string file;
  std::string privateFolder;  // made with mode 0700 before use; empty for the shared folders
};

std::vector<LockLocation> LockLocations(const std::string& name) {
  std::vector<LockLocation> locations;
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') locations.push_back({std::string(runtime) + "/" + name + ".lock", ""});
  const char* temp = getenv("TMPDIR");
  std::string folder = (temp != nullptr && temp[0] == '/') ? temp : "/tmp";
  locations.push_back({folder + "/" + name + "-" + std::to_string(getuid()) + ".lock", ""});
  if (std::optional<std::string> cache = GetSpecialFolderPath(kFolderInternetCache)) {
    const std::string own = *cache + "/brimtale/lock";
    locations.push_back({own + "/" + name + ".lock", own});
  }
  return locations;
}

// Makes `folder` and its missing parents with mode 0700. true when it is then this user's own
// directory (not a link) that nobody else can write into; a group- or world-writable one of ours
// is closed to others first.
bool MakePrivateFolder(const std::string& folder) {
  for (size_t slash = folder.find('/', 1); slash != std::string::npos; slash = folder.find('/', slash + 1))
    mkdir(folder.substr(0, slash).c_str(), 0700);
  mkdir(folder.c_str(), 0700);
  struct stat status {};
  if (lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != getuid()) return false;
  if ((status.st_mode & 077) != 0 && chmod(folder.c_str(), 0700) != 0) return false;
  return true;
}

// The lock file opened for this user; invalid when it cannot be made. In a shared folder another
// user could have put a link or a file of their own at the path: a link is never followed, and a
// file that is not this user's own regular file is never used, so nobody else can hold or redirect it.
ScopedFd OpenOwnLockFile(const std::string& path) {
  ScopedFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (!fd.IsValid()) return fd;
  struct stat status {};
  if (fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != getuid()) return ScopedFd();
  return fd;
}

std::string SocketPathFor(const std::string& lockPath) {
  const std::string suffix = ".lock";
  if (!lockPath.ends_with(suffix)) return lockPath + ".sock";
  return lockPath.substr(0, lockPath.size() - suffix.size()) + ".sock";
}

// The socket address of `path`; false when the path does not fit into one.
bool SocketAddress(const std::string& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

bool PeerIsThisUser(int fd) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 && credentials.uid == getuid();
}

// A startup id as it may travel in one request line: printable ASCII only, and not too long.
std::string RequestLine(const std::string& startupId) {
  std::string line = "present ";
  for (char c : startupId.substr(0, kMaxRequestBytes / 2))
    if (c > ' ' && c < 0x7F) line += c;
  return line + "\n";
}

}  // namespace

// The holder's end of the channel: the listening socket and the requests being read. Lives on the
// heap so that the main loop's sources keep pointing at it when the lock object is moved.
struct InstanceLock::Channel {
  struct Connection {
    Channel* channel;
    ScopedFd fd;
    std::string request;
    guint watch = 0;
  };

  ~Channel() {
    for (auto& connection : connections) g_source_remove(connection->watch);
    if (watch != 0) g_source_remove(watch);
    listener = ScopedFd();
    // Only the socket this copy made; a stale one of another copy is not at the path any more.
    struct stat status {};
    if (lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode) && status.st_ino == inode) unlink(path.c_str());
  }

  static gboolean OnListenerReady(gint, GIOCondition, gpointer data) {
    static_cast<Channel*>(data)->Accept();
    return G_SOURCE_CONTINUE;
  }

  static gboolean OnConnectionReady(gint, GIOCondition, gpointer data) {
    auto* connection = static_cast<Connection*>(data);
    return connection->channel->Read(connection) ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
  }

  void Accept() {
    ScopedFd fd(accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd.IsValid() || !PeerIsThisUser(fd.get()) || connections.size() >= kMaxPendingConnections) return;
    auto connection = std::make_unique<Connection>(Connection{this, std::move(fd), {}, 0});
    connection->watch = g_unix_fd_add(connection->fd.get(), G_IO_IN, OnConnectionReady, connection.get());
    connections.push_back(std::move(connection));
  }

  // Reads what arrived; once the request line is whole, answers it. false when the connection is done
  // (its watch then goes with it).
  bool Read(Connection* connection) {
    char buffer[512];
    ssize_t count = read(connection->fd.get(), buffer, sizeof buffer);
    if (count < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (count > 0) connection->request.append(buffer, static_cast<size_t>(count));
    size_t end = connection->request.find('\n');
    bool whole = end != std::string::npos;
    if (!whole && count > 0 && connection->request.size() <= kMaxRequestBytes) return true;
    if (whole && connection->request.rfind("present ", 0) == 0) {
      bool presented = present(connection->request.substr(8, end - 8));
      const char* answer = presented ? "presented\n" : "no-window\n";
      send(connection->fd.get(), answer, strlen(answer), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    Forget(connection);
    return false;
  }

  void Forget(Connection* connection) {
    for (auto it = connections.begin(); it != connections.end(); ++it) {
      if (it->get() != connection) continue;
      connections.erase(it);
      return;
    }
  }

  std::string path;
  ino_t inode = 0;
  ScopedFd listener;
  guint watch = 0;
  std::function<bool(const std::string&)> present;
  std::vector<std::unique_ptr<Connection>> connections;
};

std::vector<std::string> InstanceLockCandidates(const std::string& name) {
  std::vector<std::string> files;
  for (const LockLocation& location : LockLocations(name)) files.push_back(location.file);
  return files;
}

InstanceLock::InstanceLock() = default;

InstanceLock::~InstanceLock() { Release(); }

InstanceLock::InstanceLock(InstanceLock&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_path(std::move(other.m_path)), m_channel(std::move(other.m_channel)) {}

InstanceLock& InstanceLock::operator=(InstanceLock&& other) noexcept {
  if (this != &other) {
    Release();
    m_fd = std::exchange(other.m_fd, -1);
    m_path = std::move(other.m_path);
    m_channel = std::move(other.m_channel);
  }
  return *this;
}

InstanceLock::Result InstanceLock::Acquire(const std::string& name) {
  Release();
  // A name holding a separator would point outside the lock folder.
  std::string safeName = name;
  for (char& c : safeName)
    if (c == '/') c = '_';
  for (const LockLocation& location : LockLocations(safeName)) {
    if (!location.privateFolder.empty() && !MakePrivateFolder(location.privateFolder)) continue;
    ScopedFd fd = OpenOwnLockFile(location.file);
    if (!fd.IsValid()) continue;
    if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
      m_fd = fd.Release();
      m_path = location.file;
      return Result::kAcquired;
    }
    // Held by another copy: the folders after this one are never looked at, so that two copies
    // always meet in the first folder that works for them.
    if (errno == EWOULDBLOCK) {
      m_path = location.file;
      return Result::kHeldElsewhere;
    }
  }
  return Result::kFailed;
}

bool InstanceLock::IsHeld() const { return m_fd >= 0; }

void InstanceLock::Release() {
  m_channel.reset();
  if (m_fd >= 0) close(std::exchange(m_fd, -1));
  m_path.clear();
}

bool InstanceLock::ServePresentRequests(std::function<bool(const std::string& startupId)> present) {
  if (!IsHeld() || m_channel) return false;
  auto channel = std::make_unique<Channel>();
  channel->path = SocketPathFor(m_path);
  sockaddr_un address;
  if (!SocketAddress(channel->path, address)) return false;
  // Holding the lock, this copy is the only one that may serve: a socket of ours left at the path
  // by a copy that ended without cleaning up is stale. Anything else there is not touched.
  struct stat status {};
  if (lstat(channel->path.c_str(), &status) == 0) {
    if (!S_ISSOCK(status.st_mode) || status.st_uid != getuid() || unlink(channel->path.c_str()) != 0) return false;
  }
  channel->listener = ScopedFd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!channel->listener.IsValid()) return false;
  if (bind(channel->listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return false;
  if (lstat(channel->path.c_str(), &status) != 0) return false;
  channel->inode = status.st_ino;
  chmod(channel->path.c_str(), 0600);
  if (listen(channel->listener.get(), static_cast<int>(kMaxPendingConnections)) != 0) return false;
  channel->present = std::move(present);
  channel->watch = g_unix_fd_add(channel->listener.get(), G_IO_IN, Channel::OnListenerReady, channel.get());
  m_channel = std::move(channel);
  return true;
}

InstanceLock::PresentAnswer InstanceLock::AskHolderToPresent(const std::string& startupId, int timeoutMs) const {
  sockaddr_un address;
  if (m_path.empty() || !SocketAddress(SocketPathFor(m_path), address)) return PresentAnswer::kNoAnswer;
  ScopedFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.IsValid() || connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    return PresentAnswer::kNoAnswer;
  // Only a holder of this user's own is told anything or believed.
  if (!PeerIsThisUser(fd.get())) return PresentAnswer::kNoAnswer;
  const std::string request = RequestLine(startupId);
  if (send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
    return PresentAnswer::kNoAnswer;

  std::string answer;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (answer.find('\n') == std::string::npos && answer.size() < 64) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return PresentAnswer::kNoAnswer;
    pollfd wait{fd.get(), POLLIN, 0};
    int ready = poll(&wait, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return PresentAnswer::kNoAnswer;
    char buffer[64];
    ssize_t count = read(fd.get(), buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    answer.append(buffer, static_cast<size_t>(count));
  }
  if (answer == "presented\n") return PresentAnswer::kPresented;
  if (answer == "no-window\n") return PresentAnswer::kNoWindow;
  return PresentAnswer::kNoAnswer;
}

}  // namespace platform
