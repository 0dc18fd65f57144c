#include "ChannelSocket.h"

#include <errno.h>
#include <sys/socket.h>

namespace player_runtime {

namespace {

// What one read takes from the socket at most.
constexpr size_t kReadChunk = 256 * 1024;

}  // namespace

bool PendingOutput::WriteTo(int fd) {
  while (m_start < m_bytes.size()) {
    ssize_t written = send(fd, m_bytes.data() + m_start, m_bytes.size() - m_start, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (written > 0) {
      m_start += static_cast<size_t>(written);
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else {
      return false;
    }
  }
  DropConsumedFront(m_bytes, m_start);
  return true;
}

std::string PendingOutput::Take() {
  std::string rest = m_bytes.substr(m_start);
  m_bytes.clear();
  m_start = 0;
  return rest;
}

bool ReadAvailable(int fd, FrameReader& reader) {
  static thread_local char chunk[kReadChunk];
  for (;;) {
    ssize_t got = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got > 0) {
      reader.Append(chunk, static_cast<size_t>(got));
      if (static_cast<size_t>(got) < sizeof chunk) return true;
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return true;
    } else {
      return false;
    }
  }
}

}  // namespace player_runtime
