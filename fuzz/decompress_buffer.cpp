// libFuzzer target: DecompressBuffer on arbitrary bytes must neither read beyond them (the
// sanitizer sees that) nor write beyond N, and a success must fill exactly N bytes. Each input
// also goes through the compressor, whose stream must decode back to it.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "ops/QuickLz.h"
#include "ops/QuickLzCompress.h"

namespace {

constexpr uint8_t kCanary = 0xEE;
constexpr size_t kSpare = 16;

void CheckDecoder(std::span<const uint8_t> stream) {
  std::optional<QuickLzHeader> header = ReadQuickLzHeader(stream);
  if (!header) {
    uint8_t none = 0;
    if (DecompressBuffer(stream, {&none, 0})) abort();
    return;
  }
  // A larger N cannot decode from this many bytes; the decoder then refuses the small output.
  size_t size = std::min<size_t>(header->decompressedSize, 65 * stream.size());
  std::vector<uint8_t> output(size + kSpare, kCanary);
  std::optional<size_t> decoded = DecompressBuffer(stream, {output.data(), size});
  for (size_t i = size; i < output.size(); ++i) {
    if (output[i] != kCanary) abort();
  }
  if (decoded && *decoded != header->decompressedSize) abort();
}

void CheckRoundTrip(std::span<const uint8_t> data) {
  std::vector<uint8_t> stream = CompressQuickLz(data);
  std::vector<uint8_t> output(data.size());
  std::optional<size_t> decoded = DecompressBuffer(stream, output);
  if (!decoded || *decoded != data.size() ||
      (data.size() != 0 && memcmp(output.data(), data.data(), data.size()) != 0)) {
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckDecoder({data, size});
  CheckRoundTrip({data, size});
  return 0;
}
