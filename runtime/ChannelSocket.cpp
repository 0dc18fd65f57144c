#include "ChannelSocket.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

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

int64_t MonotonicMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

bool ExchangeUntil(int fd, PendingOutput& out, FrameReader& reader, int64_t deadline,
                   const std::function<bool()>& answered) {
  if (!out.WriteTo(fd)) return false;
  while (!answered()) {
    const int64_t left = deadline - MonotonicMicroseconds();
    if (left <= 0) return true;
    pollfd entry{fd, static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT)), 0};
    const int ready = poll(&entry, 1, static_cast<int>((left + 999) / 1000));
    if (ready < 0 && errno != EINTR) return true;  // no wait possible: the answers come later
    if ((entry.revents & POLLOUT) && !out.WriteTo(fd)) return false;
    if ((entry.revents & (POLLIN | POLLHUP | POLLERR)) && !ReadAvailable(fd, reader)) return false;
  }
  return true;
}

}  // namespace player_runtime
