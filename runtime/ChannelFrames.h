#pragma once
// The frames of the channel between a player's page (the web process extension) and the runtime
// library: the movie's commands one way, the calls into the movie the other. Pure functions over
// bytes; both ends are processes of the same machine and build, so integers go in host order.
//
//   frame:    u32 payload length, u8 kind, payload
//   command:  u32 command length, command bytes, argument bytes (the rest)
//   calls:    u32 count, then per call: u32 name length, name, u32 argument count, then per
//             argument: u8 kind (InvokeArgument::Kind), u32 length, text
//
// kAnswer carries the calls a command's handler made, one answer for each command, in order;
// kCalls carries calls made outside any command (progress, completion, the hall). kTrace carries
// a trace() of the movie as text, on the commands' road so that it keeps its place among them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "InvokeRequest.h"

namespace player_runtime {

enum class FrameKind : uint8_t { kCommand = 1, kAnswer = 2, kCalls = 3, kTrace = 4 };

inline constexpr size_t kFrameHeaderSize = 5;
// No frame is larger: a READ_FILE answer of a few hundred megabytes still fits, and a length that
// is no frame's (a broken or hostile peer) is refused before anything is allocated for it.
inline constexpr size_t kMaxFramePayload = size_t{1} << 30;

struct Frame {
  FrameKind kind = FrameKind::kCommand;
  std::string payload;
};

struct ChannelCommand {
  std::string command;
  std::string arguments;
};

// Appends one frame to `out`; false (and nothing appended) when the payload is too large.
bool AppendFrame(std::string& out, FrameKind kind, std::string_view payload);

std::string EncodeCommand(std::string_view command, std::string_view arguments);
std::optional<ChannelCommand> DecodeCommand(std::string_view payload);

std::string EncodeCalls(const std::vector<InvokeCall>& calls);
// nullopt when the payload is not a well-formed list of calls.
std::optional<std::vector<InvokeCall>> DecodeCalls(std::string_view payload);

// Drops the front of `buffer` up to `start` once it outweighs what is left (resetting `start`),
// so that a buffer read or written from its front never keeps a stream's whole history and the
// copying stays linear overall.
void DropConsumedFront(std::string& buffer, size_t& start);

// Takes the bytes of a stream as they come and hands out whole frames.
class FrameReader {
 public:
  void Append(const char* data, size_t size) { m_buffer.append(data, size); }
  // The next whole frame; nullopt when more bytes are needed or the stream is broken (an unknown
  // kind or an oversized length: broken() then tells, and the reader stays broken).
  std::optional<Frame> Next();
  bool broken() const { return m_broken; }
  // Whether whole or partial frames are waiting.
  bool empty() const { return m_start == m_buffer.size(); }

 private:
  std::string m_buffer;
  size_t m_start = 0;  // the first byte not yet handed out
  bool m_broken = false;
};

}  // namespace player_runtime
