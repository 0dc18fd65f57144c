#pragma once
// The compressed file format that DECOMPRESS reads: one stream per file, a 3- or 9-byte header
// (flags; compressed size T, the whole stream's length; decompressed size N) and a body that is
// either stored or a sequence of control words and literal and match tokens (level 3, no
// streaming history). Decoding is a pure function over bytes; every read is bounds-tested against
// T, every write against N, and a stream that breaks a rule is reported, never trusted.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

// Flag bits of the stream's first byte. Other bits are not examined.
inline constexpr uint8_t kQuickLzCompressedFlag = 0x01;  // clear: the body is the N bytes as they are
inline constexpr uint8_t kQuickLzLongHeaderFlag = 0x02;  // size fields of 4 bytes (9-byte header)

struct QuickLzHeader {
  bool compressed = false;
  size_t headerSize = 0;        // 3 or 9
  size_t compressedSize = 0;    // T
  size_t decompressedSize = 0;  // N
};

// The header of `stream`; nullopt when `stream` is shorter than the header its flags announce.
// The sizes are not checked against anything here.
std::optional<QuickLzHeader> ReadQuickLzHeader(std::span<const uint8_t> stream);

// Decodes the stream at the start of `stream` into `output`; returns N, or nullopt when the
// stream does not decode. `stream` is all the bytes available: the stream's size field T must
// not exceed it, and a compressed body is never read beyond T. `output` must hold at least N
// bytes, of which exactly the first N are written on success. On failure `output` holds partial, meaningless
// bytes (never any beyond its first N). Both stored and compressed bodies are accepted; a stored
// body is copied from `stream`, which must hold its N bytes after the header. Never reads or
// writes out of bounds, never loops: the work is linear in T + N. Any thread.
std::optional<size_t> DecompressBuffer(std::span<const uint8_t> stream, std::span<uint8_t> output);

// DecompressBuffer without its fast path: every token checked on its own. Same contract and the
// same answer for every input (also the same output bytes on success); the yardstick that the
// fast path is fuzzed and measured against.
std::optional<size_t> DecompressBufferChecked(std::span<const uint8_t> stream, std::span<uint8_t> output);

// Heap bytes allocated without zero-filling and without throwing (a declared size that cannot be
// allocated is a failure the caller sees, not an exception). A large buffer is aligned for huge
// pages and asks for them. Move-only.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  // Returns false, leaving the buffer empty, when `size` bytes cannot be allocated.
  bool Allocate(size_t size);
  uint8_t* data() { return m_data.get(); }
  const uint8_t* data() const { return m_data.get(); }
  size_t size() const { return m_size; }
  std::span<uint8_t> span() { return {m_data.get(), m_size}; }
  std::span<const uint8_t> span() const { return {m_data.get(), m_size}; }

 private:
  struct Release {
    size_t alignment;  // 0: allocated without extra alignment
    void operator()(uint8_t* data) const;
  };
  std::unique_ptr<uint8_t[], Release> m_data;
  size_t m_size = 0;
};

// Why a decompression failed; DecompressFile returns these numbers (0 is success).
enum class DecompressStatus : int {
  kOk = 0,
  kSourceUnreadable = 1,       // the source cannot be opened or read
  kStreamInvalid = 2,          // short header, a size field beyond the source, a broken body
  kOutOfMemory = 3,            // the source or the declared output size cannot be allocated
  kDestinationUnwritable = 4,  // the destination cannot be written or put in place
  kNoRoom = 5,                 // the output would leave its disk with less than 256 MiB free
};

// Decodes a stream held in memory into a new buffer of exactly N bytes. A declared N that no
// valid stream of this length could produce (more than 65 output bytes per stream byte) is
// rejected before anything is allocated. Returns kOk, kStreamInvalid or kOutOfMemory; `output`
// is set only on kOk. Any thread.
DecompressStatus DecompressToMemory(std::span<const uint8_t> stream, ByteBuffer& output);

// The DECOMPRESS operation. Reads the header of `source` (a regular file, used as given) and
// checks the sizes it declares against the file; opens a staged file beside `destination`
// (platform::StagedFile: a destination that is a symbolic link is replaced at the file it names;
// a path through a link and ".." is refused) and reserves N bytes for it, refusing an N that would
// leave the disk with less than 256 MiB free; then copies a stored body, or reads the T bytes of a
// compressed stream and decodes them, into the staged file a piece at a time, and puts it in
// place. Memory holds the compressed stream and a window of about 8 MiB of output, never the
// whole output: a match reaches back at most 131,071 bytes. Returns 0 when `destination` holds
// the decompressed data, else a DecompressStatus number; on failure `destination` is left exactly
// as it was (absent, or with its old content). The source is never changed. Nothing is logged.
// Any thread; blocks for the whole operation.
int DecompressFile(const char* source, const char* destination);
