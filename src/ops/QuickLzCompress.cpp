#include "ops/QuickLzCompress.h"

#include <cstring>
#include <limits>

#include "ops/QuickLz.h"

namespace {

constexpr size_t kMinMatch = 3;
constexpr size_t kMaxMatch = 258;
constexpr size_t kMinOffset = 3;
constexpr size_t kMaxOffset = 131071;
// The decoder treats every literal at N - 11 or later as the start of an all-literal tail, and a
// match must end at least 4 bytes before the end.
constexpr size_t kTailLength = 11;
constexpr size_t kMatchMargin = 4;
constexpr size_t kTokensPerWord = 31;
constexpr uint32_t kSentinel = 0x80000000;

// The hash table grows with the input up to 2^16 entries; small inputs need not clear a big one.
constexpr int kMinHashBits = 8;
constexpr int kMaxHashBits = 16;

uint32_t HashThree(const uint8_t* bytes, int bits) {
  uint32_t value = uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16;
  return (value * 2654435761u) >> (32 - bits);
}

void StoreLittleEndian(uint32_t value, uint8_t* bytes, size_t width) {
  for (size_t i = 0; i < width; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The body of a compressed stream: control words with their tokens, as the decoder reads them.
class BodyWriter {
 public:
  explicit BodyWriter(std::vector<uint8_t>& out) : m_out(out) { StartWord(); }

  void Literal(uint8_t byte) {
    NextToken(false);
    m_out.push_back(byte);
  }

  void Match(size_t offset, size_t length) {
    NextToken(true);
    uint32_t token;
    size_t width;
    if (length == 3 && offset <= 63) {
      token = static_cast<uint32_t>(offset << 2);
      width = 1;
    } else if (length <= 18 && offset <= 1023) {
      token = static_cast<uint32_t>(offset << 6 | (length - 3) << 2 | 2);
      width = 2;
    } else if (length == 3 && offset <= 16383) {
      token = static_cast<uint32_t>(offset << 2 | 1);
      width = 2;
    } else if (length <= 33) {
      token = static_cast<uint32_t>(offset << 7 | (length - 2) << 2 | 3);
      width = 3;
    } else {
      token = static_cast<uint32_t>(offset << 15 | (length - 3) << 7 | 3);
      width = 4;
    }
    size_t at = m_out.size();
    m_out.resize(at + width);
    StoreLittleEndian(token, m_out.data() + at, width);
  }

  // Bytes a match token of this size costs, to decide whether it pays.
  static size_t MatchCost(size_t offset, size_t length) {
    if (length == 3 && offset <= 63) return 1;
    if ((length <= 18 && offset <= 1023) || (length == 3 && offset <= 16383)) return 2;
    return length <= 33 ? 3 : 4;
  }

  void Finish() { StoreLittleEndian(m_word | kSentinel, m_out.data() + m_wordAt, 4); }

 private:
  void StartWord() {
    m_wordAt = m_out.size();
    m_out.resize(m_wordAt + 4);
    m_word = 0;
    m_bits = 0;
  }

  void NextToken(bool match) {
    if (m_bits == kTokensPerWord) {
      Finish();
      StartWord();
    }
    if (match) m_word |= 1u << m_bits;
    ++m_bits;
  }

  std::vector<uint8_t>& m_out;
  size_t m_wordAt = 0;
  uint32_t m_word = 0;
  size_t m_bits = 0;
};

size_t MatchLength(const uint8_t* data, size_t candidate, size_t position, size_t limit) {
  size_t length = 0;
  while (position + length < limit && length < kMaxMatch && data[candidate + length] == data[position + length]) {
    ++length;
  }
  return length;
}

void WriteHeader(std::vector<uint8_t>& stream, uint8_t flags, size_t width, size_t size) {
  if (width == 4) flags |= kQuickLzLongHeaderFlag;
  stream[0] = flags;
  StoreLittleEndian(static_cast<uint32_t>(stream.size()), stream.data() + 1, width);
  StoreLittleEndian(static_cast<uint32_t>(size), stream.data() + 1 + width, width);
}

std::vector<uint8_t> Stored(std::span<const uint8_t> data) {
  size_t width = data.size() + 3 <= 0xff ? 1 : 4;
  std::vector<uint8_t> stream(1 + 2 * width);
  stream.insert(stream.end(), data.begin(), data.end());
  WriteHeader(stream, 0, width, data.size());
  return stream;
}

}  // namespace

std::vector<uint8_t> CompressQuickLz(std::span<const uint8_t> data) {
  const size_t size = data.size();
  if (size > std::numeric_limits<uint32_t>::max() - 9) return {};
  if (size <= kTailLength) return Stored(data);

  // The body goes after room for the long header; a short stream moves up at the end.
  std::vector<uint8_t> stream(9);
  stream.reserve(9 + size + size / 31 * 4 + 16);
  BodyWriter body(stream);
  int hashBits = kMinHashBits;
  while (hashBits < kMaxHashBits && (size_t{1} << hashBits) < size) ++hashBits;
  std::vector<uint32_t> table(size_t{1} << hashBits, 0);  // position + 1 of the last sequence seen
  const uint8_t* bytes = data.data();
  const size_t matchesEnd = size - kTailLength;  // no match starts here or later
  const size_t matchLimit = size - kMatchMargin;
  size_t tailStart = 0;  // where the first tail literal lies in the stream

  size_t position = 0;
  while (position < size) {
    size_t bestLength = 0;
    size_t bestOffset = 0;
    if (position < matchesEnd) {
      uint32_t& slot = table[HashThree(bytes + position, hashBits)];
      size_t candidates[2] = {slot, position >= kMinOffset ? position - kMinOffset + 1 : 0};
      slot = static_cast<uint32_t>(position + 1);
      for (size_t candidate : candidates) {
        if (candidate == 0) continue;
        size_t offset = position - (candidate - 1);
        if (offset < kMinOffset || offset > kMaxOffset) continue;
        size_t length = MatchLength(bytes, candidate - 1, position, matchLimit);
        if (length > bestLength) {
          bestLength = length;
          bestOffset = offset;
        }
      }
    }
    if (bestLength >= kMinMatch && BodyWriter::MatchCost(bestOffset, bestLength) < bestLength) {
      body.Match(bestOffset, bestLength);
      for (size_t inner = position + 1; inner < position + bestLength && inner < matchesEnd; ++inner) {
        table[HashThree(bytes + inner, hashBits)] = static_cast<uint32_t>(inner + 1);
      }
      position += bestLength;
      continue;
    }
    body.Literal(bytes[position]);
    if (position >= matchesEnd && tailStart == 0) tailStart = stream.size() - 1;
    ++position;
  }
  body.Finish();
  // The decoder reads four bytes ahead at the first tail literal, as at every token before it.
  if (stream.size() < tailStart + 4) stream.resize(tailStart + 4, 0);

  if (stream.size() >= size + 9) return Stored(data);
  if (stream.size() - 6 <= 0xff && size <= 0xff) {
    stream.erase(stream.begin() + 3, stream.begin() + 9);
    WriteHeader(stream, kQuickLzCompressedFlag, 1, size);
  } else {
    WriteHeader(stream, kQuickLzCompressedFlag, 4, size);
  }
  return stream;
}
