// libFuzzer target: the signed site index as a hostile server or a careless publisher may write
// it. Whatever parses must write back to a payload that parses to the same index, and
// verification must answer without a trusted key's signature being forged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ops/SiteIndex.h"

namespace {

void Require(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const SitePublicKey trusted[] = {SitePublicKey{1, 2, 3}};
  const SiteIndexResult result = VerifySiteIndex(text, trusted, 1767225600);
  Require(result.check != SiteIndexCheck::kOk && result.check != SiteIndexCheck::kExpired);

  // The same bytes as a payload: what reads must survive being written and read again.
  const std::string wrapped = FormatSignedSiteIndex(text, "", SiteSignature{});
  if (std::optional<SiteIndex> index = ReadSiteIndexUnverified(wrapped, nullptr)) {
    const std::string again = FormatSignedSiteIndex(FormatSiteIndexPayload(*index), "", SiteSignature{});
    const std::optional<SiteIndex> reread = ReadSiteIndexUnverified(again, nullptr);
    Require(reread && *reread == *index);
  }
  return 0;
}
