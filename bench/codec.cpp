// The digest and the decompressor against their peers, in MB/s (10^6 bytes per second).
// bench-name: qlz_decode
//   decoding a 64 MiB stream of mixed data (made at start from the reference data and compressed
//   by CompressQuickLz), 64 MiB of English-like text (the text64k vector's words in random order)
//   and the runs3m reference vector, each against memcpy of the same output size; NAME_checked is the plain checked decoder, the fast path's yardstick.
// bench-name: decompress_file
//   DecompressFile (read the source, decode, staged write, rename) of a stream of 64 MiB of mixed
//   data against the cp tool copying a file of the same 64 MiB; the ratio is cp's time over ours.
//   Here and for md5 the two take turns, so that a change in the machine's load touches both.
// bench-name: md5
//   CalcMd5 of a 256 MiB file against the md5sum tool on the same file (both read it from the
//   page cache).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ops/Md5.h"
#include "ops/QuickLz.h"
#include "ops/QuickLzCompress.h"
#include "support/TestSupport.h"

#include "support/BenchTiming.h"

namespace {

using testing_support::BestSeconds;

using Bytes = std::vector<uint8_t>;

const std::string kVectorDir = BRIMTALE_TESTDATA_DIR "/qlz";

Bytes ReadBytes(const std::string& path) {
  std::string text = testing_support::ReadFile(path);
  return Bytes(text.begin(), text.end());
}


void Print(const std::string& name, double value, const char* unit) {
  printf("%s %.1f %s\n", name.c_str(), value, unit);
}

void PrintRatio(const std::string& name, double ours, double peer) {
  printf("%s_ratio %.3f\n", name.c_str(), ours / peer);
}

// NAME and NAME_PEER in MB/s for `bytes` handled in the given times, and their ratio.
void PrintAgainstPeer(const std::string& name, const std::string& peer, double bytes, double ourSeconds,
                      double peerSeconds) {
  double megabytes = bytes / 1e6;
  Print(name, megabytes / ourSeconds, "MB/s");
  Print(name + "_" + peer, megabytes / peerSeconds, "MB/s");
  PrintRatio(name, megabytes / ourSeconds, megabytes / peerSeconds);
}

// Decodes `stream` with DecompressBuffer, and with the plain checked decoder as NAME_checked,
// each against memcpy of its output size; false when it does not decode.
bool CompareDecode(const std::string& name, const Bytes& stream) {
  std::optional<QuickLzHeader> header = ReadQuickLzHeader(stream);
  if (!header) return false;
  Bytes output(header->decompressedSize);
  Bytes checked(output.size());
  Bytes copy(output.size());
  if (!DecompressBuffer(stream, output) || !DecompressBufferChecked(stream, checked) || output != checked) return false;
  // The two decoders take turns (about 30 rounds of 64 MiB, more of less); memcpy runs alone, as
  // it always has.
  const int rounds = 30 + static_cast<int>((size_t{1} << 30) / std::max<size_t>(output.size(), 1));
  auto [decode, checkedDecode] = testing_support::BestSecondsAlternating(
      rounds, [&] { DecompressBuffer(stream, output); }, [&] { DecompressBufferChecked(stream, checked); });
  double memcpyTime = BestSeconds([&] {
    memcpy(copy.data(), output.data(), output.size());
    asm volatile("" : : "r"(copy.data()) : "memory");
  });
  double megabytes = static_cast<double>(output.size()) / 1e6;
  Print(name, megabytes / decode, "MB/s");
  Print(name + "_checked", megabytes / checkedDecode, "MB/s");
  Print(name + "_memcpy", megabytes / memcpyTime, "MB/s");
  PrintRatio(name, megabytes / decode, megabytes / memcpyTime);
  PrintRatio(name + "_checked", megabytes / checkedDecode, megabytes / memcpyTime);
  return true;
}

Bytes MixedData(size_t size) {
  const char* pieces[] = {"mixed1m", "text64k", "runs3m", "random1m", "len100"};
  std::vector<Bytes> parts;
  for (const char* piece : pieces) parts.push_back(ReadBytes(kVectorDir + "/" + piece + ".raw"));
  Bytes data;
  data.reserve(size);
  for (size_t i = 0; data.size() < size; ++i) {
    const Bytes& part = parts[i % parts.size()];
    // A byte changed per copy, so that later copies are near-copies rather than exact ones.
    size_t start = data.size();
    data.insert(data.end(), part.begin(), part.begin() + std::min(part.size(), size - data.size()));
    if (data.size() > start) data[start + (i * 7919) % (data.size() - start)] ^= static_cast<uint8_t>(i);
  }
  return data;
}

// English-like text: the words of the text64k vector (with their punctuation) in random order,
// so that no stretch of it repeats the way a repeated small vector would.
Bytes TextData(size_t size) {
  Bytes source = ReadBytes(kVectorDir + "/text64k.raw");
  std::vector<Bytes> words;
  for (size_t start = 0, i = 0; i <= source.size(); ++i) {
    if (i == source.size() || source[i] == ' ') {
      if (i > start) words.emplace_back(source.begin() + start, source.begin() + i + (i < source.size()));
      start = i + 1;
    }
  }
  Bytes data;
  data.reserve(size + 64);
  uint64_t state = 88172645463325252ull;
  while (data.size() < size) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    const Bytes& word = words[state % words.size()];
    data.insert(data.end(), word.begin(), word.end());
  }
  data.resize(size);
  return data;
}

int BenchDecode() {
  Bytes runs = ReadBytes(kVectorDir + "/runs3m.qlz");
  Bytes mixed = CompressQuickLz(MixedData(64u << 20));
  fprintf(stderr, "64 MiB mixed data compressed to %zu bytes\n", mixed.size());
  Bytes text = CompressQuickLz(TextData(64u << 20));
  fprintf(stderr, "64 MiB of text compressed to %zu bytes\n", text.size());
  if (!CompareDecode("qlz_decode", mixed) || !CompareDecode("qlz_decode_text", text) ||
      !CompareDecode("qlz_decode_runs3m", runs)) {
    fprintf(stderr, "a benchmark stream does not decode\n");
    return 1;
  }
  return 0;
}

int BenchDecompressFile() {
  testing_support::TempDir dir;
  const std::string source = dir / "source.qlz";
  const std::string plain = dir / "plain";
  {
    Bytes data = MixedData(64u << 20);
    Bytes stream = CompressQuickLz(data);
    testing_support::WriteFile(source, std::string(stream.begin(), stream.end()));
    testing_support::WriteFile(plain, std::string(data.begin(), data.end()));
  }
  const std::string ours = dir / "decompressed";
  const std::string copy = dir / "copied";
  int status = 0;
  auto [our, peer] = testing_support::BestSecondsAlternating(
      7, [&] { status |= DecompressFile(source.c_str(), ours.c_str()); },
      [&] { testing_support::RunProcess({"/usr/bin/env", "cp", plain, copy}); });
  if (status != 0 || testing_support::ReadFile(ours) != testing_support::ReadFile(plain)) {
    fprintf(stderr, "DecompressFile failed or wrote other bytes\n");
    return 1;
  }
  PrintAgainstPeer("decompress_file", "cp", 64u << 20, our, peer);
  return 0;
}

int BenchMd5() {
  testing_support::TempDir dir;
  std::string path = dir / "data";
  {
    Bytes data(256u << 20);
    uint64_t state = 88172645463325252ull;
    for (size_t i = 0; i + 8 <= data.size(); i += 8) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      memcpy(data.data() + i, &state, 8);
    }
    testing_support::WriteFile(path, std::string(data.begin(), data.end()));
  }
  std::string ours;
  std::string theirs;
  auto [our, peer] = testing_support::BestSecondsAlternating(
      5, [&] { ours = CalcMd5(path.c_str()); },
      [&] { theirs = testing_support::RunProcess({"/usr/bin/env", "md5sum", path}).output; });
  if (theirs.compare(0, 32, ours) != 0) {
    fprintf(stderr, "digests differ: %s, %s\n", ours.c_str(), theirs.c_str());
    return 1;
  }
  PrintAgainstPeer("md5", "md5sum", 256u << 20, our, peer);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string name = argc > 1 ? argv[1] : "";
  if (name == "qlz_decode") return BenchDecode();
  if (name == "decompress_file") return BenchDecompressFile();
  if (name == "md5") return BenchMd5();
  if (name.empty()) return BenchDecode() | BenchDecompressFile() | BenchMd5();
  fprintf(stderr, "unknown benchmark: %s\n", name.c_str());
  return 2;
}
