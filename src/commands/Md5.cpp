#include "commands/Md5.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

namespace {

// Per-step left rotations and sines of RFC 1321, round by round.
constexpr uint32_t kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

constexpr uint32_t RotateLeft(uint32_t value, uint32_t count) { return (value << count) | (value >> (32 - count)); }

uint32_t LoadLittleEndian(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

void StoreLittleEndian(uint32_t value, uint8_t* bytes) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Chunk size of the file digest: large reads, one buffer, whatever the file's size.
constexpr size_t kFileChunk = 1 << 16;

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};

// One round of 16 steps. Unrolled, the step's shift, word and sine are constants and the
// rotation of a, b, c and d costs nothing.
template <int Round>
inline void RunRound(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, const uint32_t* x) {
#pragma GCC unroll 16
  for (uint32_t step = 0; step < 16; ++step) {
    uint32_t i = Round * 16 + step;
    uint32_t f;
    uint32_t word;
    if constexpr (Round == 0) {
      f = d ^ (b & (c ^ d));
      word = i;
    } else if constexpr (Round == 1) {
      f = c ^ (d & (b ^ c));
      word = (5 * i + 1) % 16;
    } else if constexpr (Round == 2) {
      f = b ^ c ^ d;
      word = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      word = (7 * i) % 16;
    }
    uint32_t rotated = b + RotateLeft(a + f + kSine[i] + x[word], kShift[Round][step % 4]);
    a = d;
    d = c;
    c = b;
    b = rotated;
  }
}

}  // namespace

Md5Context::Md5Context() { Reset(); }

void Md5Context::Reset() {
  m_state = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  m_length = 0;
}

void Md5Context::Transform(const uint8_t* block) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = LoadLittleEndian(block + 4 * i);
  uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
  RunRound<0>(a, b, c, d, x);
  RunRound<1>(a, b, c, d, x);
  RunRound<2>(a, b, c, d, x);
  RunRound<3>(a, b, c, d, x);
  m_state[0] += a;
  m_state[1] += b;
  m_state[2] += c;
  m_state[3] += d;
}

void Md5Context::Update(std::span<const uint8_t> bytes) {
  size_t buffered = m_length % 64;
  m_length += bytes.size();
  size_t used = 0;
  if (buffered != 0) {
    size_t take = std::min(bytes.size(), 64 - buffered);
    memcpy(m_block.data() + buffered, bytes.data(), take);
    used = take;
    if (buffered + take < 64) return;
    Transform(m_block.data());
  }
  for (; bytes.size() - used >= 64; used += 64) Transform(bytes.data() + used);
  if (used < bytes.size()) memcpy(m_block.data(), bytes.data() + used, bytes.size() - used);
}

Md5Digest Md5Context::Final() {
  uint64_t bitLength = m_length * 8;
  // 0x80, then zeros up to 56 bytes into a block, then the length: 1 to 64 bytes of padding.
  uint8_t padding[72] = {0x80};
  size_t buffered = m_length % 64;
  size_t padLength = buffered < 56 ? 56 - buffered : 120 - buffered;
  for (int i = 0; i < 8; ++i) padding[padLength + i] = static_cast<uint8_t>(bitLength >> (8 * i));
  Update({padding, padLength + 8});
  Md5Digest digest;
  for (int i = 0; i < 4; ++i) StoreLittleEndian(m_state[i], digest.data() + 4 * i);
  Reset();
  return digest;
}

Md5Digest Md5Of(std::span<const uint8_t> bytes) {
  Md5Context context;
  context.Update(bytes);
  return context.Final();
}

std::string FormatMd5Digest(const Md5Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(32, '0');
  for (size_t i = 0; i < digest.size(); ++i) {
    text[2 * i] = kDigits[digest[i] >> 4];
    text[2 * i + 1] = kDigits[digest[i] & 15];
  }
  return text;
}

std::optional<Md5Digest> Md5OfFile(const char* path) {
  // fopen succeeds on a directory here, where the original platform refuses it; a directory is
  // no file to digest.
  std::error_code error;
  bool isDirectory = std::filesystem::is_directory(path, error);
  std::unique_ptr<FILE, FileCloser> file(isDirectory ? nullptr : fopen(path, "rb"));
  if (!file) {
    if (isDirectory) errno = EISDIR;
    perror("Can not find the file!");
    return std::nullopt;
  }
  Md5Context context;
  std::vector<uint8_t> chunk(kFileChunk);
  while (!feof(file.get())) {
    size_t count = fread(chunk.data(), 1, chunk.size(), file.get());
    if (ferror(file.get())) {
      perror("Read error");
      break;
    }
    context.Update({chunk.data(), count});
  }
  return context.Final();
}

std::string CalcMd5(const char* path) {
  std::optional<Md5Digest> digest = Md5OfFile(path);
  return digest ? FormatMd5Digest(*digest) : std::string(kUnopenableFileDigestText);
}
