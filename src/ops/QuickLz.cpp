#include "ops/QuickLz.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <utility>

#include "platform/Files.h"
#include "platform/LargePages.h"
#include "platform/TempFiles.h"

namespace {

uint32_t LoadLittleEndian(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

size_t LoadSizeField(const uint8_t* bytes, size_t width) { return width == 4 ? LoadLittleEndian(bytes) : bytes[0]; }

// Moves four bytes through a register, so that overlapping source and destination are fine.
inline void CopyFour(uint8_t* to, const uint8_t* from) {
  uint32_t value;
  memcpy(&value, from, 4);
  memcpy(to, &value, 4);
}

inline void CopyEight(uint8_t* to, const uint8_t* from) {
  uint64_t value;
  memcpy(&value, from, 8);
  memcpy(to, &value, 8);
}

// From this length on, a match whose source and destination do not overlap goes to memcpy.
constexpr size_t kLongMatch = 32;

// Copies a match of `length` bytes from `offset` bytes back. The caller guarantees offset >= 3 and
// at least 4 writable bytes after the match: the last four-byte move may reach 3 bytes beyond the
// match's end, where the output that follows overwrites them.
inline void CopyMatch(uint8_t* to, size_t offset, size_t length) {
  const uint8_t* from = to - offset;
  uint8_t* end = to + length;
  if (offset >= length && length >= kLongMatch) {
    memcpy(to, from, length);
    return;
  }
  if (offset >= 8) {
    // Each move reads only bytes that are final: the source runs at least 8 bytes behind.
    for (; end - to >= 8; to += 8, from += 8) CopyEight(to, from);
    if (to < end) {
      CopyFour(to, from);
      if (end - to > 4) CopyFour(to + 4, from + 4);
    }
    return;
  }
  if (offset >= 4) {
    for (; to < end; to += 4, from += 4) CopyFour(to, from);
    return;
  }
  // Offset 3: the fourth byte moved is not final yet, so advance by three only.
  for (; to < end; to += 3, from += 3) CopyFour(to, from);
}

// The number of literal tokens at the bottom of a control word, from its low four bits (the count
// of consecutive 0 bits, at most 4). Only even indexes are used: an odd word announces a match.
constexpr uint8_t kLiteralRun[16] = {4, 0, 1, 0, 2, 0, 1, 0, 3, 0, 1, 0, 2, 0, 1, 0};

// Outside the tail at least this many more output bytes remain, so a literal step may store four.
constexpr int64_t kTailLength = 11;

// The most output a stream byte can stand for: a 4-byte match token yields up to 258 bytes.
constexpr uint64_t kMaxExpansion = 65;

}  // namespace

std::optional<QuickLzHeader> ReadQuickLzHeader(std::span<const uint8_t> stream) {
  if (stream.empty()) return std::nullopt;
  QuickLzHeader header;
  header.compressed = (stream[0] & kQuickLzCompressedFlag) != 0;
  size_t width = (stream[0] & kQuickLzLongHeaderFlag) != 0 ? 4 : 1;
  header.headerSize = 1 + 2 * width;
  if (stream.size() < header.headerSize) return std::nullopt;
  header.compressedSize = LoadSizeField(stream.data() + 1, width);
  header.decompressedSize = LoadSizeField(stream.data() + 1 + width, width);
  return header;
}

namespace {

// Where a compressed body's decoding stands between two tokens: the next stream byte, the next
// output byte and the control word's unread bits (1: used up, the next word comes first).
struct DecodeState {
  size_t in = 0;
  size_t out = 0;
  uint32_t word = 1;
};

// Decodes a compressed body from `state` on, checking every token: the plain decoder, and the
// tail of the fast one. `total` is T, `size` is N, `target` holds N bytes.
std::optional<size_t> DecodeChecked(const uint8_t* source, size_t total, uint8_t* target, size_t size,
                                    DecodeState state) {
  // Signed so that the limits below are plain comparisons also when N is under 11.
  const int64_t signedSize = static_cast<int64_t>(size);
  size_t in = state.in;
  size_t out = state.out;
  uint32_t word = state.word;
  // Every pass consumes at least one stream byte, so the loop ends within T passes.
  for (;;) {
    if (word == 1) {
      if (in + 4 > total) return std::nullopt;
      word = LoadLittleEndian(source + in);
      in += 4;
    }
    if (in + 4 > total) return std::nullopt;
    const uint32_t value = LoadLittleEndian(source + in);
    if ((word & 1) != 0) {
      word >>= 1;
      size_t offset;
      size_t length;
      if ((value & 3) == 0) {
        offset = (value & 0xff) >> 2;
        length = 3;
        in += 1;
      } else if ((value & 3) == 1) {
        offset = (value & 0xffff) >> 2;
        length = 3;
        in += 2;
      } else if ((value & 3) == 2) {
        offset = (value & 0xffff) >> 6;
        length = 3 + ((value >> 2) & 15);
        in += 2;
      } else if ((value & 0x7f) != 3) {
        offset = (value & 0xffffff) >> 7;
        length = 2 + ((value >> 2) & 31);
        in += 3;
      } else {
        offset = value >> 15;
        length = 3 + ((value >> 7) & 255);
        in += 4;
      }
      if (offset > out || offset < 3 || static_cast<int64_t>(length) > signedSize - static_cast<int64_t>(out) - 4) {
        return std::nullopt;
      }
      CopyMatch(target + out, offset, length);
      out += length;
      continue;
    }
    if (static_cast<int64_t>(out) >= signedSize - kTailLength) break;
    const size_t count = kLiteralRun[word & 15];
    memcpy(target + out, source + in, 4);
    word >>= count;
    in += count;
    out += count;
  }

  // The tail: every remaining output byte is a literal. The control word's bits are not examined
  // but still counted, so the next word is skipped exactly where this one runs out.
  while (out < size) {
    if (word == 1) {
      in += 4;
      word = 0x80000000;
    }
    if (in >= total) return std::nullopt;
    target[out++] = source[in++];
    word >>= 1;
  }
  return size;
}

// --- The fast path. It runs only where no check of DecodeChecked can fail, so it needs none per
// token beyond the match offset: one test per control word on the input and one per token on the
// output. Its wide loads and stores may pass the token's end, within the slack those tests keep.

// Stream bytes a control word and its tokens may touch: the word, at most 32 tokens of at most 4
// bytes, and the 16 bytes a literal copy reads.
constexpr size_t kFastInputSlack = 4 + 32 * 4 + 16;

// Output bytes a token may touch: the longest match plus a 16-byte copy's overshoot. With this
// many left, no match can come within 4 bytes of the end and no literal reaches the tail.
constexpr size_t kFastOutputSlack = 258 + 16;

inline void CopySixteen(uint8_t* to, const uint8_t* from) {
  uint8_t value[16];
  memcpy(value, from, 16);
  memcpy(to, value, 16);
}

// The five match token forms, told apart by the token's low 7 bits: its length in bytes, where its
// offset and length fields lie, and the length's base.
struct MatchForm {
  uint32_t offsetMask;
  uint8_t bytes;
  uint8_t offsetShift;
  uint8_t lengthShift;
  uint8_t lengthMask;
  uint8_t lengthBase;
};

constexpr MatchForm MatchFormOf(uint32_t lowBits) {
  switch (lowBits & 3) {
    case 0:
      return {0xff, 1, 2, 0, 0, 3};
    case 1:
      return {0xffff, 2, 2, 0, 0, 3};
    case 2:
      return {0xffff, 2, 6, 2, 15, 3};
    default:
      return (lowBits & 0x7f) != 3 ? MatchForm{0xffffff, 3, 7, 2, 31, 2} : MatchForm{0xffffffff, 4, 15, 7, 255, 3};
  }
}

constexpr auto kMatchForms = [] {
  std::array<MatchForm, 128> forms{};
  for (uint32_t i = 0; i < forms.size(); ++i) forms[i] = MatchFormOf(i);
  return forms;
}();

// 1 + 2^(8 * period) + 2^(16 * period) + ... below 2^64, for periods 3 to 7.
constexpr auto kPeriodRepeat = [] {
  std::array<uint64_t, 8> repeat{};
  for (size_t period = 3; period < 8; ++period) {
    for (size_t shift = 0; shift < 64; shift += 8 * period) repeat[period] |= uint64_t{1} << shift;
  }
  return repeat;
}();

// Copies a match with stores that may overshoot its end by up to 15 bytes. offset >= 3.
// A short period is repeated from a register: loads from bytes stored just before would wait
// for those stores, each time.
inline void CopyMatchWide(uint8_t* to, size_t offset, size_t length) {
  uint8_t* const end = to + length;
  const uint8_t* from = to - offset;
  if (offset >= 16) {
    do {
      CopySixteen(to, from);
      to += 16;
      from += 16;
    } while (to < end);
    return;
  }
  if (offset < 8) {
    // The period's bytes times 1 + 2^(8 * offset) + ...: the period repeated over 8 bytes.
    uint64_t period;
    memcpy(&period, from, 8);
    period &= ~uint64_t{0} >> (64 - 8 * offset);
    const uint64_t pattern = period * kPeriodRepeat[offset];
    const size_t step = offset * (8 / offset);
    for (; to < end; to += step) memcpy(to, &pattern, 8);
    return;
  }
  // Two copies of the period side by side hold 16 bytes of it from the start.
  uint8_t pattern[32];
  memcpy(pattern, from, 16);
  memcpy(pattern + offset, from, 16);
  const size_t step = offset == 8 ? 16 : offset;
  for (; to < end; to += step) memcpy(to, pattern, 16);
}

// Decodes as DecodeChecked would, as far as the slack allows; returns where it stopped, between
// two tokens, for DecodeChecked to finish. nullopt when a match reaches before the output's start.
// It also stops once the output has passed `stopAt`, within a token.
std::optional<DecodeState> DecodeFast(const uint8_t* source, size_t total, uint8_t* target, size_t size,
                                      DecodeState state, size_t stopAt) {
  // T may even be smaller than the header.
  if (total < state.in + kFastInputSlack || size < kFastOutputSlack) return state;
  const uint8_t* in = source + state.in;
  const uint8_t* const lastWordStart = source + total - kFastInputSlack;
  uint8_t* out = target + state.out;
  uint8_t* const lastTokenStart = target + std::min(size - kFastOutputSlack, stopAt);
  uint32_t word = state.word;
  for (;;) {
    // 1: the word is used up. 0: a word of zeros was read, all literals from here on.
    if (word <= 1) {
      if (in > lastWordStart) break;
      if (word == 1) {
        word = LoadLittleEndian(in);
        in += 4;
      }
    }
    if (out > lastTokenStart) break;
    if ((word & 1) == 0) {
      // Up to 16 literal tokens at a time; a zero word stays zero.
      const int run = std::countr_zero(word | 0x10000);
      CopySixteen(out, in);
      in += run;
      out += run;
      word >>= run;
      continue;
    }
    const uint32_t value = LoadLittleEndian(in);
    const MatchForm& form = kMatchForms[value & 0x7f];
    const size_t offset = (value & form.offsetMask) >> form.offsetShift;
    const size_t length = form.lengthBase + ((value >> form.lengthShift) & form.lengthMask);
    if (offset > static_cast<size_t>(out - target) || offset < 3) return std::nullopt;
    CopyMatchWide(out, offset, length);
    in += form.bytes;
    out += length;
    word >>= 1;
  }
  return DecodeState{static_cast<size_t>(in - source), static_cast<size_t>(out - target), word};
}

enum class DecodePath { kFast, kChecked };

std::optional<size_t> Decode(std::span<const uint8_t> stream, std::span<uint8_t> output, DecodePath path) {
  std::optional<QuickLzHeader> header = ReadQuickLzHeader(stream);
  if (!header || header->compressedSize > stream.size() || header->decompressedSize > output.size()) {
    return std::nullopt;
  }
  const size_t total = header->compressedSize;
  const size_t size = header->decompressedSize;
  if (!header->compressed) {
    if (stream.size() - header->headerSize < size) return std::nullopt;
    if (size != 0) memcpy(output.data(), stream.data() + header->headerSize, size);
    return size;
  }
  std::optional<DecodeState> state = DecodeState{header->headerSize, 0, 1};
  if (path == DecodePath::kFast) {
    state = DecodeFast(stream.data(), total, output.data(), size, *state, size);
    if (!state) return std::nullopt;
  }
  return DecodeChecked(stream.data(), total, output.data(), size, *state);
}

// --- Decoding through a window. A match reaches at most this far back, so the output before the
// last kMaxMatchOffset bytes is final and never read again: it can be handed over and dropped.
constexpr size_t kMaxMatchOffset = 131071;
constexpr size_t kWindowKept = kMaxMatchOffset + 1;
// Output decoded between two hand-overs.
constexpr size_t kWindowPiece = size_t{8} << 20;
// Room after the piece: the fast path may end a token past its stop (a match of 258 bytes and a
// 16-byte store), and where it can go no further the checked decoder ends the stream with at
// most 65 output bytes per stream byte left (under 148 of them) or 274 output bytes.
constexpr size_t kWindowSlack = size_t{64} << 10;
constexpr size_t kWindowSize = kWindowKept + kWindowPiece + kWindowSlack;

// Takes the output in order, a piece at a time; false stops the decoding.
using OutputSink = std::function<bool(std::span<const uint8_t>)>;

// Decodes the compressed body of `stream` (whose header is `header`) through `window`, handing
// the output to `sink` in order. Positions of the decoders count from the window's start, and the
// size they are given is N less what was handed over and dropped, so every check of theirs still
// holds for the whole output. The window holds every byte a match can reach: all output before its
// first shift (where positions are the output's own), and kWindowKept bytes after it. `window`
// holds N bytes, or kWindowSize when N is larger.
DecompressStatus DecodeThroughWindow(std::span<const uint8_t> stream, const QuickLzHeader& header, ByteBuffer& window,
                                     const OutputSink& sink) {
  const size_t total = header.compressedSize;
  size_t dropped = 0;
  std::optional<DecodeState> state = DecodeState{header.headerSize, 0, 1};
  // A window that holds the whole output is never shifted.
  const size_t stopAt = window.size() >= header.decompressedSize ? window.size() : window.size() - kWindowSlack;
  for (;;) {
    const size_t before = state->out;
    state = DecodeFast(stream.data(), total, window.data(), header.decompressedSize - dropped, *state, stopAt);
    if (!state) return DecompressStatus::kStreamInvalid;
    if (state->out == before && state->out <= stopAt) break;  // the fast path is done
    if (state->out <= stopAt) continue;
    // The window is full: what lies before the bytes a match may reach goes.
    const size_t finished = state->out - kWindowKept;
    if (!sink(window.span().first(finished))) return DecompressStatus::kDestinationUnwritable;
    memmove(window.data(), window.data() + finished, kWindowKept);
    dropped += finished;
    state->out -= finished;
  }
  const size_t left = header.decompressedSize - dropped;
  std::optional<size_t> end = DecodeChecked(stream.data(), total, window.data(), left, *state);
  if (!end) return DecompressStatus::kStreamInvalid;
  return sink(window.span().first(*end)) ? DecompressStatus::kOk : DecompressStatus::kDestinationUnwritable;
}

}  // namespace

std::optional<size_t> DecompressBuffer(std::span<const uint8_t> stream, std::span<uint8_t> output) {
  return Decode(stream, output, DecodePath::kFast);
}

std::optional<size_t> DecompressBufferChecked(std::span<const uint8_t> stream, std::span<uint8_t> output) {
  return Decode(stream, output, DecodePath::kChecked);
}

void ByteBuffer::Release::operator()(uint8_t* data) const {
  if (alignment != 0) {
    operator delete[](data, std::align_val_t{alignment});
  } else {
    delete[] data;
  }
}

bool ByteBuffer::Allocate(size_t size) {
  m_data.reset();
  m_size = 0;
  // Tens of MiB of fresh pages cost more to fault in than to decode into.
  if (size >= platform::kLargePageAlignment) {
    const size_t alignment = platform::kLargePageAlignment;
    void* data = operator new[](size, std::align_val_t{alignment}, std::nothrow);
    if (data == nullptr) return false;
    platform::AdviseLargePages(data, size);
    m_data = std::unique_ptr<uint8_t[], Release>(static_cast<uint8_t*>(data), Release{alignment});
  } else {
    m_data = std::unique_ptr<uint8_t[], Release>(new (std::nothrow) uint8_t[size], Release{});
    if (!m_data) return false;
  }
  m_size = size;
  return true;
}

namespace {

// Sets `result` to the N decompressed bytes of `stream`: its stored body where it has one (no
// copy), else `decoded`, allocated and decoded into.
DecompressStatus Decompress(std::span<const uint8_t> stream, ByteBuffer& decoded, std::span<const uint8_t>& result) {
  std::optional<QuickLzHeader> header = ReadQuickLzHeader(stream);
  if (!header || header->compressedSize > stream.size()) return DecompressStatus::kStreamInvalid;
  const uint64_t size = header->decompressedSize;
  if (!header->compressed) {
    if (size > stream.size() - header->headerSize) return DecompressStatus::kStreamInvalid;
    result = stream.subspan(header->headerSize, size);
    return DecompressStatus::kOk;
  }
  // Checked before allocating: a damaged N must not ask for gigabytes.
  if (size > kMaxExpansion * header->compressedSize) return DecompressStatus::kStreamInvalid;
  if (!decoded.Allocate(size)) return DecompressStatus::kOutOfMemory;
  if (!DecompressBuffer(stream, decoded.span())) return DecompressStatus::kStreamInvalid;
  result = decoded.span();
  return DecompressStatus::kOk;
}

// The source's header, checked against the source's length before anything is reserved: the sizes
// it declares must fit the file, and N must be one that T bytes can produce.
DecompressStatus ReadSourceHeader(const platform::ScopedFd& file, QuickLzHeader& header) {
  std::optional<uint64_t> size = platform::FileSize(file);
  if (!size) return DecompressStatus::kSourceUnreadable;
  const uint64_t length = *size;
  uint8_t bytes[9] = {};
  const size_t wanted = static_cast<size_t>(std::min<uint64_t>(length, sizeof bytes));
  if (!platform::ReadFileAt(file, 0, {bytes, wanted})) return DecompressStatus::kSourceUnreadable;
  std::optional<QuickLzHeader> read = ReadQuickLzHeader({bytes, wanted});
  if (!read || read->compressedSize > length) return DecompressStatus::kStreamInvalid;
  if (read->compressed ? read->decompressedSize > kMaxExpansion * read->compressedSize
                       : read->decompressedSize > length - read->headerSize)
    return DecompressStatus::kStreamInvalid;
  header = *read;
  return DecompressStatus::kOk;
}

// Writes `bytes` at the staged file's position; false when the write fails.
bool WriteOut(platform::StagedFile& output, std::span<const uint8_t> bytes) {
  return bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), output.stream()) == bytes.size();
}

// Copies a stored body from the source into `output`, a piece at a time.
DecompressStatus CopyStoredBody(const platform::ScopedFd& file, const QuickLzHeader& header,
                                platform::StagedFile& output) {
  ByteBuffer piece;
  if (!piece.Allocate(std::min(header.decompressedSize, kWindowPiece))) return DecompressStatus::kOutOfMemory;
  for (size_t done = 0; done < header.decompressedSize;) {
    std::span<uint8_t> bytes = piece.span().first(std::min(piece.size(), header.decompressedSize - done));
    if (!platform::ReadFileAt(file, header.headerSize + done, bytes)) return DecompressStatus::kSourceUnreadable;
    if (!WriteOut(output, bytes)) return DecompressStatus::kDestinationUnwritable;
    done += bytes.size();
  }
  return DecompressStatus::kOk;
}

// Reads the compressed stream (T bytes, all the decoder may read) and decodes it into `output`
// through a window.
DecompressStatus DecodeCompressedBody(const platform::ScopedFd& file, const QuickLzHeader& header,
                                      platform::StagedFile& output) {
  ByteBuffer stream;
  ByteBuffer window;
  if (!stream.Allocate(header.compressedSize) || !window.Allocate(std::min(header.decompressedSize, kWindowSize)))
    return DecompressStatus::kOutOfMemory;
  if (!platform::ReadFileAt(file, 0, stream.span())) return DecompressStatus::kSourceUnreadable;
  return DecodeThroughWindow(stream.span(), header, window,
                             [&output](std::span<const uint8_t> bytes) { return WriteOut(output, bytes); });
}

}  // namespace

DecompressStatus DecompressToMemory(std::span<const uint8_t> stream, ByteBuffer& output) {
  ByteBuffer decoded;
  std::span<const uint8_t> result;
  DecompressStatus status = Decompress(stream, decoded, result);
  if (status != DecompressStatus::kOk) return status;
  if (decoded.data() != result.data()) {
    if (!decoded.Allocate(result.size())) return DecompressStatus::kOutOfMemory;
    if (!result.empty()) memcpy(decoded.data(), result.data(), result.size());
  }
  output = std::move(decoded);
  return DecompressStatus::kOk;
}

int DecompressFile(const char* source, const char* destination) {
  // Only a regular file is read: a directory has no bytes, a FIFO or a device would block or never
  // end.
  platform::ScopedFd file = platform::OpenRegularFileForReading(source);
  if (!file.IsValid()) return static_cast<int>(DecompressStatus::kSourceUnreadable);
  QuickLzHeader header;
  DecompressStatus status = ReadSourceHeader(file, header);
  if (status != DecompressStatus::kOk) return static_cast<int>(status);
  // The output goes to its staged file, reserved beforehand, a piece at a time: memory holds the
  // stream and a window of the output, the disk keeps its reserve, and an output that does not fit
  // fails before anything is decoded.
  if (!platform::OpenPathEntry(destination)) return static_cast<int>(DecompressStatus::kDestinationUnwritable);
  platform::StagedFile output;
  if (!output.Open(destination)) return static_cast<int>(DecompressStatus::kDestinationUnwritable);
  switch (platform::ReserveStagedFile(output, header.decompressedSize, platform::kDiskSpaceKeptFree)) {
    case platform::Reservation::kMade:
      break;
    case platform::Reservation::kNoRoom:
      return static_cast<int>(DecompressStatus::kNoRoom);
    case platform::Reservation::kFailed:
      return static_cast<int>(DecompressStatus::kDestinationUnwritable);
  }
  status = header.compressed ? DecodeCompressedBody(file, header, output) : CopyStoredBody(file, header, output);
  if (status != DecompressStatus::kOk) return static_cast<int>(status);  // the staged file is discarded
  if (!output.Commit()) return static_cast<int>(DecompressStatus::kDestinationUnwritable);
  return static_cast<int>(DecompressStatus::kOk);
}
