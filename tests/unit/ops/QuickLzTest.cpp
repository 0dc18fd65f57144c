// The stream decoder on hand-made streams, on every reference vector and on broken streams; the
// compressor by round trips; DECOMPRESS's file work on real files.

#include "ops/QuickLz.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ops/QuickLzCompress.h"
#include "support/TestSupport.h"

namespace {

using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

using Bytes = std::vector<uint8_t>;

const std::string kVectorDir = BRIMTALE_TESTDATA_DIR "/qlz";

Bytes FromHex(const std::string& hex) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < hex.size();) {
    if (hex[i] == ' ') {
      ++i;
      continue;
    }
    bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return bytes;
}

Bytes FromString(const std::string& text) { return Bytes(text.begin(), text.end()); }
std::string ToString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Decodes with an output buffer larger than N whose spare bytes must stay untouched, and a stream
// buffer of exactly the stream's bytes (so a sanitizer sees any read beyond it). The plain checked
// decoder must give the same answer, so every stream here also tests the fast path against it.
std::optional<Bytes> Decode(const Bytes& stream, size_t spare = 64) {
  std::optional<QuickLzHeader> header = ReadQuickLzHeader(stream);
  // A damaged N may be huge; no stream of this length can fill more than 65 bytes per byte.
  size_t size = header ? std::min<size_t>(header->decompressedSize, 65 * stream.size()) : 0;
  Bytes output(size + spare, 0xEE);
  std::optional<size_t> decoded = DecompressBuffer(stream, output);
  for (size_t i = size; i < output.size(); ++i) {
    if (output[i] != 0xEE) {
      ADD_FAILURE() << "byte " << i << " written beyond N = " << size;
      break;
    }
  }
  Bytes checkedOutput(size);
  std::optional<size_t> checked = DecompressBufferChecked(stream, checkedOutput);
  EXPECT_EQ(decoded.has_value(), checked.has_value()) << "the fast and the checked decoder disagree";
  if (!decoded) return std::nullopt;
  EXPECT_EQ(*decoded, size);
  output.resize(*decoded);
  EXPECT_TRUE(output == checkedOutput) << "the fast and the checked decoder wrote different bytes";
  return output;
}

struct StreamCase {
  const char* name;
  const char* stream;                  // hex
  std::optional<std::string> decoded;  // nullopt: the stream must not decode
};

// 01 17 14 | control word 08 00 00 80 | 'aaa' | match CE 00 (offset 3, length 6) | eleven 'a'.
#define EXAMPLE_HEAD "01 17 14 08 00 00 80 61 61 61 "
#define ELEVEN_A "61 61 61 61 61 61 61 61 61 61 61"
// 320 literals, enough for the fast path: 'a' to 'p' twenty times.
#define SIXTEEN_LETTERS "61 62 63 64 65 66 67 68 69 6A 6B 6C 6D 6E 6F 70 "
#define EIGHTY_LETTERS SIXTEEN_LETTERS SIXTEEN_LETTERS SIXTEEN_LETTERS SIXTEEN_LETTERS SIXTEEN_LETTERS
#define LETTERS_320 EIGHTY_LETTERS EIGHTY_LETTERS EIGHTY_LETTERS EIGHTY_LETTERS

// The text that LETTERS_320 spells.
#define LETTERS_PLAIN                                                                                     \
  "abcdefghijklmnopabcdefghijklmnopabcdefghijklmnopabcdefghijklmnopabcdefghijklmnopabcdefghijklmnop" \
  "abcdefghijklmnopabcdefghijklmnopabcdefghijklmnopabcdefghijklmnopabcdefghijklmnopabcdefghijklmnop" \
  "abcdefghijklmnopabcdefghijklmnopabcdefghijklmnopabcdefghijklmnopabcdefghijklmnopabcdefghijklmnop" \
  "abcdefghijklmnopabcdefghijklmnop"

const StreamCase kStreamCases[] = {
    {"compressed example", EXAMPLE_HEAD "CE 00 " ELEVEN_A, std::string(20, 'a')},
    {"stored example", "00 06 03 61 62 63", "abc"},
    {"stored, 9-byte header", "02 0C 00 00 00 03 00 00 00 61 62 63", "abc"},
    {"stored, empty", "4C 03 00", ""},
    {"flag bits 2 to 7 ignored", "FC 06 03 61 62 63", "abc"},
    {"bytes beyond T ignored", "00 06 03 61 62 63 64 65", "abc"},
    {"compressed, empty output", "01 0B 00 00 00 00 80 00 00 00 00", ""},
    {"compressed, 9-byte header", "03 1D 00 00 00 14 00 00 00 08 00 00 80 61 61 61 CE 00 " ELEVEN_A,
     std::string(20, 'a')},
    // The longest match that leaves 4 output bytes: offset 3, length 13, then a 4-byte tail.
    {"match ends 4 before the end", EXAMPLE_HEAD "EA 00 " ELEVEN_A, std::string(20, 'a')},
    {"match ends 3 before the end", EXAMPLE_HEAD "EE 00 " ELEVEN_A, std::nullopt},
    // Nine literals, then a match at N - 11, the last place where one may start.
    {"match at the last place before the tail", "01 16 14 00 02 00 80 61 62 63 61 62 63 61 62 63 D2 00 57 58 59 5A",
     "abcabcabcabcabcaWXYZ"},
    {"match offset 1", EXAMPLE_HEAD "4E 00 " ELEVEN_A, std::nullopt},
    {"match offset 2", EXAMPLE_HEAD "8E 00 " ELEVEN_A, std::nullopt},
    {"match offset beyond the output", EXAMPLE_HEAD "0E 01 " ELEVEN_A, std::nullopt},
    {"match as the first token", "01 10 14 01 00 00 80 0C 61 61 61 61 61 61 61 61", std::nullopt},
    // A control word of ones: matches only, each needing 4 readable bytes.
    {"match token cut by T", "01 0A 14 FF FF FF FF 61 61 61", std::nullopt},
    {"T smaller than the tail needs", "01 16 14 08 00 00 80 61 61 61 CE 00 " ELEVEN_A, std::nullopt},
    {"T beyond the stream", "01 18 14 08 00 00 80 61 61 61 CE 00 " ELEVEN_A, std::nullopt},
    {"N beyond the tokens", "01 17 15 08 00 00 80 61 61 61 CE 00 " ELEVEN_A, std::nullopt},
    {"no room for a control word", "01 05 01 61 62", std::nullopt},
    {"control word without a token", "01 07 01 00 00 00 80", std::nullopt},
    // Every token needs 4 readable bytes, even where fewer would do.
    {"three bytes after the control word", "01 0A 03 00 00 00 80 61 62 63", std::nullopt},
    {"empty input", "", std::nullopt},
    {"short header", "00 03", std::nullopt},
    {"short long header", "02 09 00 00 00 00 00 00", std::nullopt},
    {"stored body short of N", "00 06 04 61 62 63", std::nullopt},
    {"stored, T beyond the stream", "00 07 03 61 62 63", std::nullopt},
    // Long enough for the fast path. A word of zeros announces literals up to the end; a word of
    // 1 announces a match and then literals.
    {"word of zeros", "03 4D 01 00 00 40 01 00 00 00 00 00 00 " LETTERS_320, std::string(LETTERS_PLAIN)},
    {"word of 1, then a match before the start", "03 4D 01 00 00 40 01 00 00 01 00 00 00 " LETTERS_320,
     std::nullopt},
    {"T smaller than the header", "03 05 00 00 00 40 01 00 00 00 00 00 00 " LETTERS_320, std::nullopt},
};

TEST(DecompressBuffer, HandMadeStreams) {
  for (const StreamCase& test : kStreamCases) {
    std::optional<Bytes> decoded = Decode(FromHex(test.stream));
    if (test.decoded) {
      ASSERT_TRUE(decoded.has_value()) << test.name;
      EXPECT_EQ(ToString(*decoded), *test.decoded) << test.name;
    } else {
      EXPECT_FALSE(decoded.has_value()) << test.name;
    }
  }
}

TEST(DecompressBuffer, OutputSmallerThanNFails) {
  Bytes stream = FromHex(EXAMPLE_HEAD "CE 00 " ELEVEN_A);
  Bytes output(19);
  EXPECT_FALSE(DecompressBuffer(stream, output).has_value());
}

struct Vector {
  std::string name;
  Bytes stream;
  Bytes raw;
};

std::vector<Vector> ReferenceVectors() {
  std::vector<Vector> vectors;
  for (const auto& entry : std::filesystem::directory_iterator(kVectorDir)) {
    if (entry.path().extension() != ".qlz") continue;
    std::filesystem::path raw = entry.path();
    raw.replace_extension(".raw");
    vectors.push_back({entry.path().stem().string(), FromString(ReadFile(entry.path().string())),
                       FromString(ReadFile(raw.string()))});
  }
  std::sort(vectors.begin(), vectors.end(),
            [](const Vector& a, const Vector& b) { return a.raw.size() < b.raw.size(); });
  return vectors;
}

TEST(DecompressBuffer, EveryReferenceVector) {
  std::vector<Vector> vectors = ReferenceVectors();
  ASSERT_GE(vectors.size(), 12u) << "vectors missing in " << kVectorDir;
  for (const Vector& vector : vectors) {
    std::optional<Bytes> decoded = Decode(vector.stream);
    ASSERT_TRUE(decoded.has_value()) << vector.name;
    EXPECT_TRUE(*decoded == vector.raw) << vector.name;
  }
}

// Whatever T claims, a cut stream either still decodes to the original (the cut took only padding)
// or fails; never anything else. Cutting 5 bytes or more always takes a literal.
TEST(DecompressBuffer, CutStreamsFail) {
  for (const Vector& vector : ReferenceVectors()) {
    if (vector.stream.size() > 70000) continue;
    std::optional<QuickLzHeader> header = ReadQuickLzHeader(vector.stream);
    ASSERT_TRUE(header.has_value());
    for (size_t cut = 1; cut <= vector.stream.size(); ++cut) {
      size_t length = vector.stream.size() - cut;
      Bytes stream(vector.stream.begin(), vector.stream.begin() + length);
      // Cut only the buffer: T now points beyond it.
      EXPECT_FALSE(Decode(stream).has_value()) << vector.name << " cut " << cut;
      if (length < header->headerSize) continue;
      // Cut and shorten T to match.
      for (size_t i = 0; i < (header->headerSize == 9 ? 4u : 1u); ++i)
        stream[1 + i] = static_cast<uint8_t>(length >> (8 * i));
      if (header->headerSize == 3 && length > 0xff) continue;
      std::optional<Bytes> decoded = Decode(stream);
      if (cut >= 5) {
        EXPECT_FALSE(decoded.has_value()) << vector.name << " cut " << cut;
      } else if (decoded) {
        EXPECT_TRUE(*decoded == vector.raw) << vector.name << " cut " << cut;
      }
      if (cut > 300) cut += cut / 16;  // the long ones at a growing stride
    }
  }
}

// Random damage to real streams: no write beyond N, no hang, and each result is either a failure
// or exactly N bytes.
Bytes Sample(size_t size, int kind, uint32_t seed);

TEST(DecompressBuffer, DamagedStreamsAreHandledSafely) {
  std::mt19937 random(1234);
  std::vector<Bytes> streams;
  for (const Vector& vector : ReferenceVectors()) {
    if (vector.stream.size() <= 70000) streams.push_back(vector.stream);
  }
  // Runs, short periods, words and longer periods, with room for the fast path.
  for (int kind = 1; kind < 5; ++kind) streams.push_back(CompressQuickLz(Sample(20000, kind, 5)));
  for (const Bytes& original : streams) {
    for (int round = 0; round < 400; ++round) {
      Bytes stream = original;
      int edits = 1 + static_cast<int>(random() % 4);
      for (int e = 0; e < edits; ++e) {
        size_t at = random() % stream.size();
        stream[at] =
            (random() % 2) ? static_cast<uint8_t>(random()) : static_cast<uint8_t>(stream[at] ^ (1u << (random() % 8)));
      }
      Decode(stream);
    }
  }
}

TEST(DecompressToMemory, ImpossibleSizesAreRejectedBeforeAllocating) {
  // 20 bytes of stream cannot make 4 GiB, nor can a stored body hold more than it has.
  ByteBuffer output;
  EXPECT_EQ(DecompressToMemory(FromHex("03 14 00 00 00 FF FF FF FF 08 00 00 80 61 61 61 61 61 61 61"), output),
            DecompressStatus::kStreamInvalid);
  EXPECT_EQ(DecompressToMemory(FromHex("02 0C 00 00 00 FF FF FF 7F 61 62 63"), output),
            DecompressStatus::kStreamInvalid);
  EXPECT_EQ(output.size(), 0u);
  ASSERT_EQ(DecompressToMemory(FromHex(EXAMPLE_HEAD "CE 00 " ELEVEN_A), output), DecompressStatus::kOk);
  EXPECT_EQ(std::string(output.data(), output.data() + output.size()), std::string(20, 'a'));
}

// --- The compressor, judged by the decoder.

Bytes Sample(size_t size, int kind, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes data(size);
  static const char* kWords[] = {"launcher ", "patch ", "file ", "the ", "movie ", "digest ", "stream "};
  for (size_t i = 0; i < size;) {
    switch (kind) {
      case 0:  // noise
        data[i++] = static_cast<uint8_t>(random());
        break;
      case 1:  // one byte
        data[i++] = 'z';
        break;
      case 2:  // short periods
        data[i] = static_cast<uint8_t>("abcdefgh"[i % (2 + seed % 6)]);
        ++i;
        break;
      case 4:  // periods of 3 to 20 bytes, a new one every 1000 bytes
        data[i] = static_cast<uint8_t>('a' + i % (3 + (i / 1000 + seed) % 18));
        ++i;
        break;
      default:  // words, with now and then a stretch of noise
        if (random() % 50 == 0) {
          for (int k = 0; k < 40 && i < size; ++k) data[i++] = static_cast<uint8_t>(random());
        } else {
          for (const char* w = kWords[random() % 7]; *w != 0 && i < size; ++w) data[i++] = static_cast<uint8_t>(*w);
        }
    }
  }
  return data;
}

TEST(CompressQuickLz, RoundTripsEverySmallSizeAndKind) {
  for (int kind = 0; kind < 4; ++kind) {
    for (size_t size = 0; size <= 300; ++size) {
      Bytes data = Sample(size, kind, static_cast<uint32_t>(size));
      Bytes stream = CompressQuickLz(data);
      std::optional<QuickLzHeader> header = ReadQuickLzHeader(stream);
      ASSERT_TRUE(header.has_value());
      EXPECT_EQ(header->compressedSize, stream.size());
      EXPECT_EQ(header->headerSize, stream.size() <= 0xff && size <= 0xff ? 3u : 9u) << kind << "/" << size;
      std::optional<Bytes> decoded = Decode(stream);
      ASSERT_TRUE(decoded.has_value()) << "kind " << kind << ", size " << size;
      ASSERT_TRUE(*decoded == data) << "kind " << kind << ", size " << size;
    }
  }
}

TEST(CompressQuickLz, RoundTripsLargeInputsAndCompressesWhatRepeats) {
  struct LargeCase {
    int kind;
    size_t size;
    bool compresses;
  };
  for (LargeCase test : {LargeCase{0, 1 << 20, false}, LargeCase{1, 3 << 20, true}, LargeCase{2, 1 << 20, true},
                         LargeCase{3, 2 << 20, true}, LargeCase{4, 1 << 20, true}}) {
    Bytes data = Sample(test.size, test.kind, 7);
    Bytes stream = CompressQuickLz(data);
    EXPECT_EQ((stream[0] & kQuickLzCompressedFlag) != 0, test.compresses) << test.kind;
    EXPECT_LE(stream.size(), data.size() + 9);
    if (test.compresses) {
      EXPECT_LT(stream.size(), data.size() / 2) << test.kind;
    }
    std::optional<Bytes> decoded = Decode(stream);
    ASSERT_TRUE(decoded.has_value()) << test.kind;
    EXPECT_TRUE(*decoded == data) << test.kind;
  }
}

TEST(CompressQuickLz, RoundTripsTheReferenceData) {
  for (const Vector& vector : ReferenceVectors()) {
    std::optional<Bytes> decoded = Decode(CompressQuickLz(vector.raw));
    ASSERT_TRUE(decoded.has_value()) << vector.name;
    EXPECT_TRUE(*decoded == vector.raw) << vector.name;
  }
}

// --- DECOMPRESS's file work.

TEST(DecompressFile, WritesTheDecodedVector) {
  TempDir dir;
  for (const char* name : {"empty", "len100", "mixed1m", "random1m"}) {
    std::string destination = dir / (std::string(name) + ".out");
    std::string source = kVectorDir + "/" + name + ".qlz";
    ASSERT_EQ(DecompressFile(source.c_str(), destination.c_str()), 0) << name;
    EXPECT_TRUE(ReadFile(destination) == ReadFile(kVectorDir + "/" + name + ".raw")) << name;
  }
}

// Outputs larger than the window DecompressFile decodes through: matches that reach back across
// its shifts, as far as a match can (4 KiB blocks repeated from up to 31 blocks back), and a
// stored body copied in pieces.
TEST(DecompressFile, WritesOutputsLargerThanItsWindow) {
  std::mt19937_64 random(20240611);
  Bytes repeats;
  std::vector<Bytes> blocks;
  while (repeats.size() < (size_t{20} << 20)) {
    Bytes block(4096);
    if (blocks.size() > 31 && random() % 4 != 0) {
      block = blocks[blocks.size() - 1 - random() % 31];
      block[random() % block.size()] ^= 0x5A;
    } else {
      for (uint8_t& byte : block) byte = static_cast<uint8_t>(random() % 7);
    }
    blocks.push_back(block);
    repeats.insert(repeats.end(), block.begin(), block.end());
  }
  Bytes noise(size_t{18} << 20);
  for (uint8_t& byte : noise) byte = static_cast<uint8_t>(random());
  TempDir dir;
  for (const Bytes* data : {&repeats, &noise}) {
    Bytes stream = CompressQuickLz(*data);
    ASSERT_FALSE(stream.empty());
    WriteFile(dir / "source.qlz", ToString(stream));
    ASSERT_EQ(DecompressFile((dir / "source.qlz").c_str(), (dir / "out").c_str()), 0) << (stream[0] & 1);
    EXPECT_TRUE(ReadFile(dir / "out") == ToString(*data)) << "compressed: " << (stream[0] & 1);
  }
}

TEST(DecompressFile, ReplacesAnExistingDestination) {
  TempDir dir;
  WriteFile(dir / "out", std::string(5000, 'x'));
  ASSERT_EQ(DecompressFile((kVectorDir + "/len11.qlz").c_str(), (dir / "out").c_str()), 0);
  EXPECT_EQ(ReadFile(dir / "out"), "Hello, QLZ!");
}

TEST(DecompressFile, FailureLeavesTheDestinationAsItWas) {
  TempDir dir;
  WriteFile(dir / "broken.qlz", ToString(FromHex(EXAMPLE_HEAD "4E 00 " ELEVEN_A)));
  WriteFile(dir / "short.qlz", ToString(FromHex("03 17 00")));
  WriteFile(dir / "cut.qlz", ReadFile(kVectorDir + "/text64k.qlz").substr(0, 20000));
  std::filesystem::create_directory(dir / "folder");
  struct FailureCase {
    std::string source;
    int status;
  };
  for (const FailureCase& test :
       {FailureCase{dir / "missing.qlz", 1}, FailureCase{dir / "folder", 1}, FailureCase{dir / "broken.qlz", 2},
        FailureCase{dir / "short.qlz", 2}, FailureCase{dir / "cut.qlz", 2}}) {
    WriteFile(dir / "out", "old contents");
    EXPECT_EQ(DecompressFile(test.source.c_str(), (dir / "out").c_str()), test.status) << test.source;
    EXPECT_EQ(ReadFile(dir / "out"), "old contents") << test.source;
    EXPECT_EQ(DecompressFile(test.source.c_str(), (dir / "absent").c_str()), test.status) << test.source;
    EXPECT_FALSE(std::filesystem::exists(dir / "absent")) << test.source;
  }
  // Nothing left behind: no temporary files, the sources unchanged.
  size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) ++entries, (void)entry;
  EXPECT_EQ(entries, 5u);
  EXPECT_EQ(ReadFile(dir / "short.qlz"), ToString(FromHex("03 17 00")));
}

// A field of /proc/self/status in bytes ("VmHWM:  1234 kB"); 0 when it is missing.
uint64_t StatusBytes(const std::string& field) {
  std::string status = ReadFile("/proc/self/status");
  size_t at = status.find("\n" + field + ":");
  return at == std::string::npos ? 0 : std::stoull(status.substr(at + field.size() + 2)) * 1024;
}

// A decompression reserves its output on the disk before it starts, keeping 256 MiB of it free as
// downloads do, and writes the output there without holding it in memory: the zeros of a tiny
// stream can no longer fill the memory or the disk.
TEST(DecompressFile, OutputMustLeaveItsDiskRoomAndNeverPassesThroughMemory) {
  struct Case {
    size_t size;  // decompressed: zeros
    int status;
  };
  // A disk of 320 MiB: room for 48 MiB above the reserve, not for 100 MiB.
  const Case cases[] = {{size_t{1} << 20, 0}, {size_t{48} << 20, 0}, {size_t{100} << 20, 5}};
  std::vector<Bytes> streams;
  for (const Case& c : cases) streams.push_back(CompressQuickLz(Bytes(c.size, 0)));

  int status = testing_support::RunWithTmpfsAsRoot(
      [&] {
        if (mkdir("/proc", 0555) != 0 || mount("proc", "/proc", "proc", 0, nullptr) != 0) return 1;
        for (size_t i = 0; i < std::size(cases); ++i) {
          WriteFile("/source.qlz", ToString(streams[i]));
          WriteFile("/out", "old");
          WriteFile("/proc/self/clear_refs", "5");  // the peak is measured from here
          const uint64_t before = StatusBytes("VmRSS");
          const int result = DecompressFile("/source.qlz", "/out");
          const uint64_t peak = StatusBytes("VmHWM");
          if (result != cases[i].status) return 10 + static_cast<int>(i);
          // The compressed stream and a window of the output: a few MiB.
          if (before == 0 || peak > before + (size_t{24} << 20)) return 20 + static_cast<int>(i);
          const std::string out = ReadFile("/out");
          const bool expected = result == 0 ? out == std::string(cases[i].size, '\0') : out == "old";
          if (!expected) return 30 + static_cast<int>(i);
          std::vector<std::string> names;
          for (const auto& entry : std::filesystem::directory_iterator("/")) names.push_back(entry.path().filename());
          std::sort(names.begin(), names.end());
          if (names != std::vector<std::string>{"out", "proc", "source.qlz"}) return 40 + static_cast<int>(i);
        }
        return 0;
      },
      "size=320m");
  if (status == testing_support::kNoPrivateRoot) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(status, 0) << "case i: 10 + i wrong status, 20 + i too much memory, 30 + i wrong output, "
                          "40 + i something left behind";
}

TEST(DecompressFile, DestinationThatCannotBeWritten) {
  TempDir dir;
  std::filesystem::create_directory(dir / "folder");
  std::string source = kVectorDir + "/len11.qlz";
  for (std::string destination : {dir / "folder", dir / "no/such/folder/out", std::string("/proc/version")}) {
    EXPECT_EQ(DecompressFile(source.c_str(), destination.c_str()), 4) << destination;
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir / "folder"));
}

}  // namespace
