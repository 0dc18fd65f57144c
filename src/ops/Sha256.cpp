#include "ops/Sha256.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void FailLibcrypto(const char* call) {
  fprintf(stderr, "SHA-256: libcrypto's %s failed\n", call);
  abort();
}

struct DigestFree {
  void operator()(EVP_MD* digest) const { EVP_MD_free(digest); }
};

// Fetched once: a fetch looks the algorithm up among the providers.
const EVP_MD* Sha256Algorithm() {
  static const std::unique_ptr<EVP_MD, DigestFree> algorithm(EVP_MD_fetch(nullptr, "SHA256", nullptr));
  if (!algorithm) FailLibcrypto("EVP_MD_fetch(SHA256)");
  return algorithm.get();
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void Sha256Context::ContextFree::operator()(evp_md_ctx_st* context) const { EVP_MD_CTX_free(context); }

Sha256Context::Sha256Context() : m_context(EVP_MD_CTX_new()) {
  if (!m_context) FailLibcrypto("EVP_MD_CTX_new");
  Start();
}

Sha256Context::~Sha256Context() = default;
Sha256Context::Sha256Context(Sha256Context&&) noexcept = default;
Sha256Context& Sha256Context::operator=(Sha256Context&&) noexcept = default;

void Sha256Context::Start() {
  if (EVP_DigestInit_ex2(m_context.get(), Sha256Algorithm(), nullptr) != 1) FailLibcrypto("EVP_DigestInit_ex2");
}

void Sha256Context::Update(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  if (EVP_DigestUpdate(m_context.get(), bytes.data(), bytes.size()) != 1) FailLibcrypto("EVP_DigestUpdate");
}

Sha256Digest Sha256Context::Final() {
  Sha256Digest digest;
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(m_context.get(), digest.data(), &length) != 1 || length != digest.size())
    FailLibcrypto("EVP_DigestFinal_ex");
  Start();
  return digest;
}

Sha256Digest Sha256Of(std::span<const uint8_t> bytes) {
  Sha256Context context;
  context.Update(bytes);
  return context.Final();
}

std::string FormatSha256Digest(const Sha256Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(2 * digest.size(), '0');
  for (size_t i = 0; i < digest.size(); ++i) {
    text[2 * i] = kDigits[digest[i] >> 4];
    text[2 * i + 1] = kDigits[digest[i] & 15];
  }
  return text;
}

std::optional<Sha256Digest> ParseSha256Digest(std::string_view text) {
  Sha256Digest digest;
  if (text.size() != 2 * digest.size()) return std::nullopt;
  for (size_t i = 0; i < digest.size(); ++i) {
    int high = HexValue(text[2 * i]), low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    digest[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return digest;
}
