// The frames of the page's channel: what one end writes, the other reads back whole, however the
// stream cuts it, and a stream that is no frames is refused before anything is made of it. And the
// page's wait for an answer: its command always goes, whatever time is left.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "ChannelFrames.h"
#include "ChannelSocket.h"

namespace {

using namespace player_runtime;
using Kind = InvokeArgument::Kind;

std::string Header(uint32_t length, uint8_t kind) {
  std::string header(reinterpret_cast<const char*>(&length), sizeof length);
  return header + static_cast<char>(kind);
}

TEST(ChannelFrames, CommandsAndCallsComeBackAsTheyWentWithNulsAndCommas) {
  const std::string arguments("a,\0b,ü", 7);
  auto command = DecodeCommand(EncodeCommand("WRITE_FILE", arguments));
  ASSERT_TRUE(command.has_value());
  EXPECT_EQ(command->command, "WRITE_FILE");
  EXPECT_EQ(command->arguments, arguments);
  EXPECT_EQ(DecodeCommand(EncodeCommand("", ""))->command, "");

  const std::vector<InvokeCall> calls = {
      {"COMPLETE_EVENT", {{Kind::kString, std::string("x\0y", 3)}}},
      {"f", {{Kind::kNumber, "-1.5e3"}, {Kind::kTrue, ""}, {Kind::kFalse, ""}, {Kind::kNull, ""}, {Kind::kUndefined, ""}}},
      {"g", {}},
  };
  auto decoded = DecodeCalls(EncodeCalls(calls));
  ASSERT_TRUE(decoded.has_value());
  ASSERT_EQ(decoded->size(), calls.size());
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ((*decoded)[i].name, calls[i].name);
    ASSERT_EQ((*decoded)[i].arguments.size(), calls[i].arguments.size());
    for (size_t k = 0; k < calls[i].arguments.size(); ++k) {
      EXPECT_EQ((*decoded)[i].arguments[k].kind, calls[i].arguments[k].kind);
      EXPECT_EQ((*decoded)[i].arguments[k].text, calls[i].arguments[k].text);
    }
  }
  EXPECT_TRUE(DecodeCalls(EncodeCalls({}))->empty());
}

TEST(ChannelFrames, BrokenPayloadsAreRefused) {
  const std::string good = EncodeCalls({{"COMPLETE_EVENT", {{Kind::kString, "GET_VERSION,1"}}}});
  std::string unknownKind = good;
  unknownKind[4 + 4 + 14 + 4] = 9;  // the argument's kind
  std::string hugeCount = good;
  const uint32_t count = 0xFFFFFFFF;
  std::memcpy(hugeCount.data(), &count, sizeof count);
  for (const std::string& payload : {good.substr(0, good.size() - 1), good + "x", unknownKind, hugeCount,
                                     std::string("\x01\x00", 2)})
    EXPECT_FALSE(DecodeCalls(payload).has_value()) << payload.size();
  EXPECT_FALSE(DecodeCommand(std::string("\x05\x00\x00\x00GET", 7)).has_value());
}

TEST(ChannelFrames, TheReaderHandsOutWholeFramesHoweverTheStreamIsCut) {
  std::string stream;
  const std::string large(3 << 20, 'x');  // larger than any one read
  ASSERT_TRUE(AppendFrame(stream, FrameKind::kCommand, EncodeCommand("GET_VERSION", "")));
  ASSERT_TRUE(AppendFrame(stream, FrameKind::kAnswer, large));
  ASSERT_TRUE(AppendFrame(stream, FrameKind::kCalls, ""));
  ASSERT_TRUE(AppendFrame(stream, FrameKind::kTrace, "a trace"));
  const std::vector<FrameKind> kinds = {FrameKind::kCommand, FrameKind::kAnswer, FrameKind::kCalls, FrameKind::kTrace};
  for (size_t piece : {size_t{1}, size_t{3}, size_t{4096}, stream.size()}) {
    SCOPED_TRACE(piece);
    FrameReader reader;
    std::vector<Frame> frames;
    for (size_t at = 0; at < stream.size(); at += piece) {
      reader.Append(stream.data() + at, std::min(piece, stream.size() - at));
      while (auto frame = reader.Next()) frames.push_back(std::move(*frame));
    }
    EXPECT_FALSE(reader.broken());
    EXPECT_TRUE(reader.empty());
    ASSERT_EQ(frames.size(), kinds.size());
    for (size_t i = 0; i < kinds.size(); ++i) EXPECT_EQ(frames[i].kind, kinds[i]);
    EXPECT_EQ(frames[1].payload, large);
    EXPECT_EQ(DecodeCommand(frames[0].payload)->command, "GET_VERSION");
  }
}

TEST(ChannelFrames, AStreamThatIsNoFramesBreaksTheReaderForGood) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"unknown kind", Header(0, 0)},
      {"kind past the last", Header(0, 5)},
      {"length past the limit", Header(static_cast<uint32_t>(kMaxFramePayload + 1), 2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FrameReader reader;
    reader.Append(c.bytes.data(), c.bytes.size());
    EXPECT_FALSE(reader.Next().has_value());
    EXPECT_TRUE(reader.broken());
    // A good frame after it changes nothing.
    std::string good;
    AppendFrame(good, FrameKind::kCalls, "");
    reader.Append(good.data(), good.size());
    EXPECT_FALSE(reader.Next().has_value());
  }
  std::string out;
  EXPECT_FALSE(AppendFrame(out, FrameKind::kAnswer, std::string_view(out.data(), kMaxFramePayload + 1)));
  EXPECT_TRUE(out.empty());
}

// A page held up past its wait's end (a busy machine) must still send its command: its movie
// waits for the answer, and nothing else would send it.
TEST(ChannelSocket, TheCommandGoesWhateverTimeTheWaitHasLeft) {
  struct Case {
    const char* name;
    int64_t waitMicroseconds;  // from now; not above zero: the deadline has passed
    bool peerAnswers;
    bool peerGone;
    size_t payload;
    bool exchanged;  // ExchangeUntil's result
  };
  const Case cases[] = {
      {"no time left, no answer", -1000, false, false, 10, true},
      {"no time left, answer waiting", 0, true, false, 10, true},
      {"time left, answered", 2000000, true, false, 10, true},
      {"time left, no answer", 20000, false, false, 10, true},
      {"no time left, more than the socket takes", -1000, false, false, 8 << 20, true},
      {"time left, the peer has gone", 2000000, false, true, 10, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends), 0);
    std::string answer;
    AppendFrame(answer, FrameKind::kAnswer, EncodeCalls({}));
    if (c.peerAnswers) {
      ASSERT_EQ(write(ends[1], answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
    }
    if (c.peerGone) close(ends[1]);

    PendingOutput out;
    ASSERT_TRUE(out.Append(FrameKind::kCommand, EncodeCommand("LOG", std::string(c.payload, 'x'))));
    const size_t total = out.size();
    FrameReader reader;
    int asked = 0;
    auto answered = [&] {
      ++asked;
      return !reader.empty();
    };
    EXPECT_EQ(ExchangeUntil(ends[0], out, reader, MonotonicMicroseconds() + c.waitMicroseconds, answered), c.exchanged);
    if (c.peerGone) {
      close(ends[0]);
      continue;
    }
    // The peer has what the socket took, and what it did not take still waits: nothing is lost.
    FrameReader peer;
    ASSERT_TRUE(ReadAvailable(ends[1], peer));
    if (c.payload < 4096) {
      auto frame = peer.Next();
      ASSERT_TRUE(frame.has_value());
      EXPECT_EQ(frame->kind, FrameKind::kCommand);
      EXPECT_TRUE(out.empty());
    } else {
      EXPECT_FALSE(peer.empty());
      EXPECT_GT(out.size(), 0u);
      EXPECT_LT(out.size(), total);
    }
    EXPECT_GE(asked, 1);
    // An answer is read while there is time; one that came too late is still there to read.
    if (c.peerAnswers && c.waitMicroseconds > 0) {
      EXPECT_FALSE(reader.empty());
    }
    ASSERT_TRUE(ReadAvailable(ends[0], reader));
    EXPECT_EQ(!reader.empty(), c.peerAnswers);
    close(ends[0]);
    close(ends[1]);
  }
}

}  // namespace
