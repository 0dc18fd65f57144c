// libFuzzer target: the frames the launcher reads from a player's page. The page runs the movie's
// code, so its bytes are not trusted: any stream, in any pieces, gives frames or a broken reader,
// never a read past the bytes, and every frame that decodes encodes back to its own bytes.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <string>

#include "ChannelFrames.h"

namespace {

using player_runtime::FrameKind;

void Require(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the pieces the stream comes in, as a socket may cut it anywhere.
  const size_t piece = 1 + data[0] % 64;
  const char* stream = reinterpret_cast<const char*>(data + 1);
  const size_t length = size - 1;

  player_runtime::FrameReader reader;
  std::string consumed;  // the frames handed out, written again
  for (size_t at = 0; at < length && !reader.broken(); at += piece) {
    reader.Append(stream + at, std::min(piece, length - at));
    while (auto frame = reader.Next()) {
      Require(frame->payload.size() <= player_runtime::kMaxFramePayload);
      Require(player_runtime::AppendFrame(consumed, frame->kind, frame->payload));
      if (frame->kind == FrameKind::kCommand) {
        auto command = player_runtime::DecodeCommand(frame->payload);
        if (command) Require(player_runtime::EncodeCommand(command->command, command->arguments) == frame->payload);
      } else if (frame->kind != FrameKind::kTrace) {
        auto calls = player_runtime::DecodeCalls(frame->payload);
        if (calls) Require(player_runtime::EncodeCalls(*calls) == frame->payload);
      }
    }
  }
  // What was handed out is exactly the front of the stream, unchanged.
  Require(consumed.size() <= length);
  Require(consumed == std::string(stream, consumed.size()));
  return 0;
}
