#include "ops/Md5.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include "base/ScopedFile.h"
#include "platform/Files.h"

namespace {

// Chunk size of the file digest: large reads, one buffer, whatever the file's size.
constexpr size_t kFileChunk = 1 << 20;

[[noreturn]] void FailLibcrypto(const char* call) {
  fprintf(stderr, "MD5: libcrypto's %s failed\n", call);
  abort();
}

struct DigestFree {
  void operator()(EVP_MD* digest) const { EVP_MD_free(digest); }
};

// Fetched once: a fetch looks the algorithm up among the providers, which is not free.
const EVP_MD* Md5Algorithm() {
  static const std::unique_ptr<EVP_MD, DigestFree> algorithm(EVP_MD_fetch(nullptr, "MD5", nullptr));
  if (!algorithm) FailLibcrypto("EVP_MD_fetch(MD5)");
  return algorithm.get();
}

// A buffer of the file's size where that is smaller than a chunk (a patch check digests thousands
// of small files, and a buffer of a whole chunk, mapped, zeroed and unmapped for each, cost more
// than their digests), one more byte to see the end in the same read.
size_t ChunkFor(FILE* file) {
  std::optional<uint64_t> size = platform::FileSize(file);
  return size && *size < kFileChunk ? static_cast<size_t>(*size) + 1 : kFileChunk;
}

}  // namespace

void Md5Context::ContextFree::operator()(evp_md_ctx_st* context) const { EVP_MD_CTX_free(context); }

Md5Context::Md5Context() : m_context(EVP_MD_CTX_new()) {
  if (!m_context) FailLibcrypto("EVP_MD_CTX_new");
  Start();
}

Md5Context::~Md5Context() = default;
Md5Context::Md5Context(Md5Context&&) noexcept = default;
Md5Context& Md5Context::operator=(Md5Context&&) noexcept = default;

void Md5Context::Start() {
  if (EVP_DigestInit_ex2(m_context.get(), Md5Algorithm(), nullptr) != 1) FailLibcrypto("EVP_DigestInit_ex2");
}

void Md5Context::Update(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  if (EVP_DigestUpdate(m_context.get(), bytes.data(), bytes.size()) != 1) FailLibcrypto("EVP_DigestUpdate");
}

Md5Digest Md5Context::Final() {
  Md5Digest digest;
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(m_context.get(), digest.data(), &length) != 1 || length != digest.size()) {
    FailLibcrypto("EVP_DigestFinal_ex");
  }
  Start();
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
  // Only a regular file is digested: a directory has no bytes, a FIFO or a device would block or
  // never end.
  ScopedFile file(platform::OpenRegularFileStream(path));
  if (!file) {
    perror("Can not find the file!");
    return std::nullopt;
  }
  Md5Context context;
  std::vector<uint8_t> chunk(ChunkFor(file.get()));
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
