// libFuzzer target: the fast decoder (DecompressBuffer) and the plain checked decoder agree on
// every input: both refuse it, or both return N and write the same N bytes. Each input is decoded
// as it is; again under a compressed 9-byte header whose T is the input's length, so that
// arbitrary bodies reach the token loops rather than the header checks; and, after its first 5
// bytes, compressed and then changed in one byte (bits, and position in a long body, from those
// 5 bytes). Arbitrary bodies nearly always fail somewhere, in both decoders alike, hiding a token
// that one of them wrongly took; a valid stream with one byte changed often stays valid, so the
// difference shows.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <vector>

#include "ops/QuickLz.h"
#include "ops/QuickLzCompress.h"

namespace {

constexpr size_t kLongHeaderSize = 9;
// Bodies up to this long are changed at every position in turn.
constexpr size_t kEveryPositionBody = 1024;
// No stream can fill more than 65 output bytes per stream byte.
constexpr size_t kMaxExpansion = 65;

void CompareDecoders(std::span<const uint8_t> stream) {
  std::optional<QuickLzHeader> header = ReadQuickLzHeader(stream);
  size_t size = header ? std::min<size_t>(header->decompressedSize, kMaxExpansion * stream.size()) : 0;
  std::vector<uint8_t> fast(size);
  std::vector<uint8_t> checked(size);
  std::optional<size_t> fastSize = DecompressBuffer(stream, fast);
  std::optional<size_t> checkedSize = DecompressBufferChecked(stream, checked);
  if (fastSize != checkedSize) abort();
  if (fastSize && !std::equal(fast.begin(), fast.begin() + *fastSize, checked.begin())) abort();
}

void StoreLittleEndian(uint32_t value, uint8_t* bytes) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The input with a compressed long header, T set to its length and N kept where it can be met.
std::vector<uint8_t> WithFittingHeader(std::span<const uint8_t> data) {
  std::vector<uint8_t> stream(data.begin(), data.end());
  stream[0] |= kQuickLzCompressedFlag | kQuickLzLongHeaderFlag;
  StoreLittleEndian(static_cast<uint32_t>(stream.size()), stream.data() + 1);
  uint32_t size = uint32_t{data[5]} | uint32_t{data[6]} << 8 | uint32_t{data[7]} << 16 | uint32_t{data[8]} << 24;
  StoreLittleEndian(static_cast<uint32_t>(size % (kMaxExpansion * stream.size() + 1)), stream.data() + 5);
  return stream;
}

// Compresses `data`, then decodes the stream with one byte of its body changed: its bits `flip`
// inverted, at every position of a short body, at `position` (modulo its length) in a long one.
void CompareOnChangedStreams(std::span<const uint8_t> data, uint32_t position, uint8_t flip) {
  std::vector<uint8_t> stream = CompressQuickLz(data);
  std::optional<QuickLzHeader> header = ReadQuickLzHeader(stream);
  if (!header || stream.size() <= header->headerSize || flip == 0) return;
  const size_t body = stream.size() - header->headerSize;
  const size_t first = body <= kEveryPositionBody ? 0 : position % body;
  const size_t last = body <= kEveryPositionBody ? body : first + 1;
  for (size_t at = header->headerSize + first; at < header->headerSize + last; ++at) {
    stream[at] ^= flip;
    CompareDecoders(stream);
    stream[at] ^= flip;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CompareDecoders({data, size});
  if (size >= kLongHeaderSize && size <= UINT32_MAX / kMaxExpansion) CompareDecoders(WithFittingHeader({data, size}));
  if (size >= 5) {
    uint32_t position = uint32_t{data[0]} | uint32_t{data[1]} << 8 | uint32_t{data[2]} << 16 | uint32_t{data[3]} << 24;
    CompareOnChangedStreams({data + 5, size - 5}, position, data[4]);
  }
  return 0;
}
