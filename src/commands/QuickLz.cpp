#include "commands/QuickLz.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>
#include <utility>

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

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};

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

std::optional<size_t> DecompressBuffer(std::span<const uint8_t> stream, std::span<uint8_t> output) {
  std::optional<QuickLzHeader> header = ReadQuickLzHeader(stream);
  if (!header || header->compressedSize > stream.size() || header->decompressedSize > output.size()) {
    return std::nullopt;
  }
  const size_t total = header->compressedSize;
  const size_t size = header->decompressedSize;
  const uint8_t* source = stream.data();
  uint8_t* target = output.data();

  if (!header->compressed) {
    if (stream.size() - header->headerSize < size) return std::nullopt;
    if (size != 0) memcpy(target, source + header->headerSize, size);
    return size;
  }

  // Signed so that the limits below are plain comparisons also when N is under 11.
  const int64_t signedSize = static_cast<int64_t>(size);
  size_t in = header->headerSize;
  size_t out = 0;
  uint32_t word = 1;
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

bool ByteBuffer::Allocate(size_t size) {
  m_data.reset(new (std::nothrow) uint8_t[size]);
  m_size = m_data ? size : 0;
  return m_data != nullptr;
}

DecompressStatus DecompressToMemory(std::span<const uint8_t> stream, ByteBuffer& output) {
  std::optional<QuickLzHeader> header = ReadQuickLzHeader(stream);
  if (!header || header->compressedSize > stream.size()) return DecompressStatus::kStreamInvalid;
  const uint64_t size = header->decompressedSize;
  if (header->compressed ? size > kMaxExpansion * header->compressedSize : size > stream.size() - header->headerSize) {
    return DecompressStatus::kStreamInvalid;
  }
  ByteBuffer buffer;
  if (!buffer.Allocate(size)) return DecompressStatus::kOutOfMemory;
  if (!DecompressBuffer(stream, buffer.span())) return DecompressStatus::kStreamInvalid;
  output = std::move(buffer);
  return DecompressStatus::kOk;
}

DecompressStatus DecompressFileToMemory(const char* source, ByteBuffer& output) {
  // fopen succeeds on a directory here, where the original platform refuses it.
  std::error_code error;
  if (std::filesystem::is_directory(source, error)) return DecompressStatus::kSourceUnreadable;
  std::unique_ptr<FILE, FileCloser> file(fopen(source, "rb"));
  if (!file || fseek(file.get(), 0, SEEK_END) != 0) return DecompressStatus::kSourceUnreadable;
  long length = ftell(file.get());
  if (length < 0 || fseek(file.get(), 0, SEEK_SET) != 0) return DecompressStatus::kSourceUnreadable;
  ByteBuffer stream;
  if (!stream.Allocate(static_cast<size_t>(length))) return DecompressStatus::kOutOfMemory;
  if (fread(stream.data(), 1, stream.size(), file.get()) != stream.size()) return DecompressStatus::kSourceUnreadable;
  file.reset();
  return DecompressToMemory(stream.span(), output);
}

int DecompressFile(const char* source, const char* destination) {
  ByteBuffer bytes;
  DecompressStatus status = DecompressFileToMemory(source, bytes);
  if (status != DecompressStatus::kOk) return static_cast<int>(status);
  platform::StagedFile staged;
  if (!staged.Open(destination)) return static_cast<int>(DecompressStatus::kDestinationUnwritable);
  if (bytes.size() != 0 && fwrite(bytes.data(), 1, bytes.size(), staged.stream()) != bytes.size()) {
    return static_cast<int>(DecompressStatus::kDestinationUnwritable);  // the staged file is discarded
  }
  if (!staged.Commit()) return static_cast<int>(DecompressStatus::kDestinationUnwritable);
  return static_cast<int>(DecompressStatus::kOk);
}
