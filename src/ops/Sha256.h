#pragma once
// SHA-256 (FIPS 180-4), computed by libcrypto: the digest that signed site indexes hold for every
// file, and from which key fingerprints are made.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

using Sha256Digest = std::array<uint8_t, 32>;

struct evp_md_ctx_st;

// Incremental SHA-256, fed in pieces of any size while a body streams in. Final takes the digest
// and starts the context over. libcrypto's default provider always has SHA-256; should a call
// fail, the process ends with a message on standard error (an installation fault, not an input
// one). Move-only; one thread at a time.
class Sha256Context {
 public:
  Sha256Context();
  ~Sha256Context();
  Sha256Context(Sha256Context&&) noexcept;
  Sha256Context& operator=(Sha256Context&&) noexcept;

  void Update(std::span<const uint8_t> bytes);
  Sha256Digest Final();

 private:
  void Start();

  struct ContextFree {
    void operator()(evp_md_ctx_st* context) const;
  };
  std::unique_ptr<evp_md_ctx_st, ContextFree> m_context;
};

Sha256Digest Sha256Of(std::span<const uint8_t> bytes);

// 64 lower-case hexadecimal digits.
std::string FormatSha256Digest(const Sha256Digest& digest);
// The digest of a text of 64 hexadecimal digits (either case); nullopt for anything else.
std::optional<Sha256Digest> ParseSha256Digest(std::string_view text);
