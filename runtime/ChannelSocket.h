#pragma once
// Both ends of a page's channel read and write their socket the same way: never blocking, frames
// in order, what the socket does not take now kept for later. Used by the runtime library
// (MovieChannel.cpp) and by the web process extension (extension/ChannelExtension.cpp).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "ChannelFrames.h"

namespace player_runtime {

// Frames waiting to be written to a non-blocking stream socket, in order.
class PendingOutput {
 public:
  // false (and nothing added) when the payload is too large for a frame.
  bool Append(FrameKind kind, std::string_view payload) { return AppendFrame(m_bytes, kind, payload); }
  // Writes what the socket takes now; false when the peer has gone or the socket failed.
  bool WriteTo(int fd);
  size_t size() const { return m_bytes.size() - m_start; }
  bool empty() const { return size() == 0; }
  // The bytes not written yet, which are forgotten here.
  std::string Take();

 private:
  std::string m_bytes;
  size_t m_start = 0;  // the first byte not written yet
};

// Reads what the socket holds now into `reader`; false at the end of the stream or on an error.
bool ReadAvailable(int fd, FrameReader& reader);

// The monotonic clock, in microseconds.
int64_t MonotonicMicroseconds();

// Writes what `out` holds and reads into `reader` until `answered()` is true or the monotonic
// clock reaches `deadline`. What waits is written first, whatever the time: a process that was
// held up past its deadline (a busy machine) still sends what its peer must answer, and what the
// socket does not take now stays in `out`. `answered` is asked before each wait, and again after
// each read. false when the socket failed or the peer has gone.
bool ExchangeUntil(int fd, PendingOutput& out, FrameReader& reader, int64_t deadline,
                   const std::function<bool()>& answered);

}  // namespace player_runtime
