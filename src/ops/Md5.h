#pragma once
// The MD5 message digest of RFC 1321, computed by libcrypto, and the digest text of a file that
// CALCULATE_MD5 answers.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

using Md5Digest = std::array<uint8_t, 16>;

struct evp_md_ctx_st;

// Incremental MD5. Feed the message in pieces of any size with Update, then take the digest once
// with Final; after Final the context starts over as if newly made. libcrypto's default provider
// always has MD5; should it be missing or refuse a call, the process ends with a message on
// standard error (an installation fault, not an input one). Move-only; not thread-safe, a context
// belongs to one thread at a time.
class Md5Context {
 public:
  Md5Context();
  ~Md5Context();
  Md5Context(Md5Context&&) noexcept;
  Md5Context& operator=(Md5Context&&) noexcept;

  void Update(std::span<const uint8_t> bytes);
  // The 16 digest bytes in RFC 1321 order.
  Md5Digest Final();

 private:
  void Start();

  struct ContextFree {
    void operator()(evp_md_ctx_st* context) const;
  };
  std::unique_ptr<evp_md_ctx_st, ContextFree> m_context;
};

// The digest of one whole message.
Md5Digest Md5Of(std::span<const uint8_t> bytes);

// The digest text: each of the 16 bytes as "%02x", in order (32 lower-case characters).
std::string FormatMd5Digest(const Md5Digest& digest);

// What CALCULATE_MD5 answers for a file that cannot be opened: 32 "0" characters.
inline constexpr const char* kUnopenableFileDigestText = "00000000000000000000000000000000";

// The digest of the file at `path` (used as given; relative to the current directory), read in
// large chunks. nullopt when the file cannot be opened: it does not exist, or it is a directory
// (which cannot be opened as a file on the original platform either); the C library's perror then
// writes "Can not find the file!" to standard error. A read error after a successful open writes
// "Read error" through perror and yields the digest of the bytes read before it. Nothing is
// logged. Any thread; blocks for the whole read.
std::optional<Md5Digest> Md5OfFile(const char* path);

// The digest text of the file at `path`, always 32 characters: FormatMd5Digest of Md5OfFile,
// or kUnopenableFileDigestText when the file cannot be opened.
std::string CalcMd5(const char* path);
