// libFuzzer target: the fast decoder (DecompressBuffer) and the plain checked decoder agree on
// every input: both refuse it, or both return N and write the same N bytes. Each input is decoded
// as it is, and again under a compressed 9-byte header whose T is the input's length, so that
// arbitrary bodies reach the token loops rather than the header checks.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "commands/QuickLz.h"

namespace {

constexpr size_t kLongHeaderSize = 9;
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
  if (fastSize && memcmp(fast.data(), checked.data(), *fastSize) != 0) abort();
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CompareDecoders({data, size});
  if (size >= kLongHeaderSize && size <= UINT32_MAX / kMaxExpansion) CompareDecoders(WithFittingHeader({data, size}));
  return 0;
}
