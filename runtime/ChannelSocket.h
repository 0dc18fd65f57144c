#pragma once
// Both ends of a page's channel read and write their socket the same way: never blocking, frames
// in order, what the socket does not take now kept for later. Used by the runtime library
// (MovieChannel.cpp) and by the web process extension (extension/ChannelExtension.cpp).

#include <cstddef>
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

}  // namespace player_runtime
