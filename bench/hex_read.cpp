// READ_FILE's hexadecimal text against memcpy, in MB/s of file bytes (10^6 bytes per second).
// bench-name: hex_read
//   ReadFileHex of a 64 MiB file (read from the page cache) against memcpy of 64 MiB.

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ops/FileOperations.h"
#include "support/TestSupport.h"

#include "support/BenchTiming.h"

namespace {

using testing_support::BestSeconds;



}  // namespace

int main() {
  constexpr size_t kSize = 64u << 20;
  testing_support::TempDir dir;
  std::string path = dir / "input.bin";
  std::string content(kSize, '\0');
  uint32_t state = 12345;
  for (char& c : content) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  testing_support::WriteFile(path, content);

  std::string first = commands::ReadFileHex(path.c_str());
  if (first.size() != 2 * kSize) {
    fprintf(stderr, "hex_read: ReadFileHex gave %zu characters\n", first.size());
    return 1;
  }
  double ours = BestSeconds([&] {
    std::string text = commands::ReadFileHex(path.c_str());
    asm volatile("" : : "r"(text.data()) : "memory");
  });
  std::vector<char> copy(kSize);
  double peer = BestSeconds([&] {
    memcpy(copy.data(), content.data(), kSize);
    asm volatile("" : : "r"(copy.data()) : "memory");
  });
  double megabytes = static_cast<double>(kSize) / 1e6;
  printf("hex_read %.1f MB/s\n", megabytes / ours);
  printf("hex_read_memcpy %.1f MB/s\n", megabytes / peer);
  printf("hex_read_ratio %.4f\n", peer / ours);
  return 0;
}
