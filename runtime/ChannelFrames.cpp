#include "ChannelFrames.h"

#include <cstring>

namespace player_runtime {
namespace {

void PutU32(std::string& out, uint32_t value) { out.append(reinterpret_cast<const char*>(&value), sizeof value); }

void PutText(std::string& out, std::string_view text) {
  PutU32(out, static_cast<uint32_t>(text.size()));
  out.append(text);
}

// A cursor that never reads past its text.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : m_text(text) {}
  bool U32(uint32_t& value) {
    if (m_text.size() - m_at < sizeof value) return false;
    std::memcpy(&value, m_text.data() + m_at, sizeof value);
    m_at += sizeof value;
    return true;
  }
  bool Byte(uint8_t& value) {
    if (m_at >= m_text.size()) return false;
    value = static_cast<uint8_t>(m_text[m_at++]);
    return true;
  }
  bool Text(std::string& value) {
    uint32_t length = 0;
    if (!U32(length) || m_text.size() - m_at < length) return false;
    value.assign(m_text.data() + m_at, length);
    m_at += length;
    return true;
  }
  std::string_view Rest() const { return m_text.substr(m_at); }
  bool AtEnd() const { return m_at == m_text.size(); }

 private:
  std::string_view m_text;
  size_t m_at = 0;
};

bool IsKnownKind(uint8_t kind) {
  return kind >= static_cast<uint8_t>(FrameKind::kCommand) && kind <= static_cast<uint8_t>(FrameKind::kTrace);
}

}  // namespace

bool AppendFrame(std::string& out, FrameKind kind, std::string_view payload) {
  if (payload.size() > kMaxFramePayload) return false;
  PutU32(out, static_cast<uint32_t>(payload.size()));
  out += static_cast<char>(kind);
  out.append(payload);
  return true;
}

std::string EncodeCommand(std::string_view command, std::string_view arguments) {
  std::string payload;
  payload.reserve(4 + command.size() + arguments.size());
  PutText(payload, command);
  payload.append(arguments);
  return payload;
}

std::optional<ChannelCommand> DecodeCommand(std::string_view payload) {
  Cursor cursor(payload);
  ChannelCommand command;
  if (!cursor.Text(command.command)) return std::nullopt;
  command.arguments = cursor.Rest();
  return command;
}

std::string EncodeCalls(const std::vector<InvokeCall>& calls) {
  std::string payload;
  PutU32(payload, static_cast<uint32_t>(calls.size()));
  for (const InvokeCall& call : calls) {
    PutText(payload, call.name);
    PutU32(payload, static_cast<uint32_t>(call.arguments.size()));
    for (const InvokeArgument& argument : call.arguments) {
      payload += static_cast<char>(argument.kind);
      PutText(payload, argument.text);
    }
  }
  return payload;
}

std::optional<std::vector<InvokeCall>> DecodeCalls(std::string_view payload) {
  Cursor cursor(payload);
  uint32_t count = 0;
  if (!cursor.U32(count)) return std::nullopt;
  std::vector<InvokeCall> calls;
  for (uint32_t i = 0; i < count; ++i) {
    InvokeCall call;
    uint32_t arguments = 0;
    if (!cursor.Text(call.name) || !cursor.U32(arguments)) return std::nullopt;
    for (uint32_t k = 0; k < arguments; ++k) {
      uint8_t kind = 0;
      InvokeArgument argument;
      if (!cursor.Byte(kind) || kind > static_cast<uint8_t>(InvokeArgument::Kind::kUndefined) ||
          !cursor.Text(argument.text))
        return std::nullopt;
      argument.kind = static_cast<InvokeArgument::Kind>(kind);
      call.arguments.push_back(std::move(argument));
    }
    calls.push_back(std::move(call));
  }
  if (!cursor.AtEnd()) return std::nullopt;
  return calls;
}

std::optional<Frame> FrameReader::Next() {
  if (m_broken || m_buffer.size() - m_start < kFrameHeaderSize) return std::nullopt;
  uint32_t length = 0;
  std::memcpy(&length, m_buffer.data() + m_start, sizeof length);
  uint8_t kind = static_cast<uint8_t>(m_buffer[m_start + 4]);
  if (length > kMaxFramePayload || !IsKnownKind(kind)) {
    m_broken = true;
    return std::nullopt;
  }
  if (m_buffer.size() - m_start - kFrameHeaderSize < length) return std::nullopt;
  Frame frame{static_cast<FrameKind>(kind), m_buffer.substr(m_start + kFrameHeaderSize, length)};
  m_start += kFrameHeaderSize + length;
  DropConsumedFront(m_buffer, m_start);
  return frame;
}

void DropConsumedFront(std::string& buffer, size_t& start) {
  if (start == buffer.size()) {
    buffer.clear();
    start = 0;
  } else if (start > buffer.size() / 2) {
    buffer.erase(0, start);
    start = 0;
  }
}

}  // namespace player_runtime
