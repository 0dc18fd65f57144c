#include "site/SiteVerifier.h"

#include <algorithm>
#include <cctype>

#include "base/Log.h"

namespace {

std::string Trimmed(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

std::string Shortened(const std::string& fingerprint) { return fingerprint.substr(0, 16); }

}  // namespace

SiteVerifier::SiteVerifier(const std::string& siteUrl, const std::string& siteKey, const std::string& stateFolder) {
  m_configuredKey = ParseSitePublicKey(Trimmed(siteKey));
  const std::string url = Trimmed(siteUrl);
  std::string why;
  m_base = ParseWebAddress(url, &why);
  if (!m_configuredKey) {
    Refuse("the configuration's SiteKey is not a public key (the base64 line that brimtale-pack keygen prints)");
    return;
  }
  if (!m_base || !m_base->query.empty() || url.find('#') != std::string::npos) {
    Refuse("the configuration's SiteUrl is not the http or https address of the site's folder" +
           (why.empty() ? std::string() : " (" + why + ")"));
    return;
  }
  m_indexUrl = url + (url.back() == '/' ? "" : "/") + "index.json";

  m_state.keys = {*m_configuredKey};
  if (stateFolder.empty()) return;
  m_statePath = SiteStatePath(stateFolder, SiteKeyFingerprint(*m_configuredKey));
  SiteState kept;
  switch (LoadSiteState(m_statePath, &kept)) {
    case SiteStateRead::kRead:
      m_state = std::move(kept);
      break;
    case SiteStateRead::kDamaged:
      WriteLog("Site: the state %s cannot be read; nothing is known of earlier runs", m_statePath.c_str());
      break;
    case SiteStateRead::kNone:
      break;
  }
}

SiteVerifier::IndexAnswer SiteVerifier::TakeFetchedIndex(std::string_view text, int64_t now, bool askedAgain) {
  if (m_standing == Standing::kRefused) return IndexAnswer::kRefused;
  SiteIndexResult result = VerifySiteIndex(text, m_state.keys, now);
  const bool older = result.check == SiteIndexCheck::kOk && result.index.version < m_state.version;
  const bool maybeStale = older || result.check == SiteIndexCheck::kExpired || result.check == SiteIndexCheck::kUnknownKey;
  if (maybeStale && !askedAgain) {
    WriteLog("Site: %s is %s; asking again past any cache", m_indexUrl.c_str(),
             older ? "older than the index accepted before" : result.detail.c_str());
    return IndexAnswer::kAskAgain;
  }
  switch (result.check) {
    case SiteIndexCheck::kOk:
      if (older)
        return Refuse("the site's index is older than one accepted before (version " +
                      std::to_string(result.index.version) + ", accepted before: " + std::to_string(m_state.version) +
                      "): an old index is being served again");
      Accept(result, text, now);
      return IndexAnswer::kAccepted;
    case SiteIndexCheck::kExpired:
      return Refuse("the site's index " + result.detail + ", and this computer's clock reads " +
                    FormatUtcTime(now) + " (if the clock is wrong, set it right)");
    case SiteIndexCheck::kUnknownKey:
      return Refuse("the site's index is " + result.detail);
    case SiteIndexCheck::kBadSignature:
      return Refuse("the site's index does not match its signature: it was changed after it was signed");
    case SiteIndexCheck::kMalformed:
      break;
  }
  return Refuse("the site's index.json is not a signed index: " + result.detail);
}

void SiteVerifier::TakeUnfetchedIndex(const std::string& why, int64_t now) {
  if (m_standing == Standing::kRefused) return;
  if (m_state.index.empty()) {
    Refuse("the site's index cannot be fetched (" + why + "), and none of this site was accepted before");
    return;
  }
  SiteIndexResult result = VerifySiteIndex(m_state.index, m_state.keys, now);
  if (result.check != SiteIndexCheck::kOk && result.check != SiteIndexCheck::kExpired) {
    Refuse("the site's index cannot be fetched (" + why + "), and the one kept from before is not valid: " +
           result.detail);
    return;
  }
  const bool expired = result.check == SiteIndexCheck::kExpired;
  TakeIndex(std::move(result.index));
  m_standing = expired ? Standing::kKeptExpired : Standing::kKept;
  WriteLog("Site: %s cannot be fetched (%s); the index accepted on %s stands in (version %lld%s)", m_indexUrl.c_str(),
           why.c_str(), FormatUtcTime(m_state.accepted).c_str(), static_cast<long long>(m_index.version),
           expired ? ", expired: only what is on this computer already is vouched for" : "");
}

void SiteVerifier::Restart() {
  // A configuration that cannot be used stays refused.
  if (!m_configuredKey || m_indexUrl.empty()) return;
  m_standing = Standing::kUnchecked;
  m_refusal.clear();
}

SiteVerifier::IndexAnswer SiteVerifier::Refuse(std::string why) {
  m_standing = Standing::kRefused;
  m_refusal = std::move(why);
  m_index = {};
  m_listedUrls.clear();
  WriteLog("Site: the game's files cannot be verified: %s", m_refusal.c_str());
  return IndexAnswer::kRefused;
}

void SiteVerifier::Accept(const SiteIndexResult& result, std::string_view text, int64_t now) {
  // The first key is the one in use; those after it were handed over to. An index signed by a key
  // handed over to makes that key the one in use, and the keys before it are trusted no more.
  std::vector<SitePublicKey> keys = m_state.keys;
  auto signer = std::find_if(keys.begin(), keys.end(),
                             [&](const SitePublicKey& key) { return SiteKeyFingerprint(key) == result.fingerprint; });
  if (signer != keys.begin()) keys = {*signer};
  if (result.index.nextKey && std::find(keys.begin(), keys.end(), *result.index.nextKey) == keys.end())
    keys.push_back(*result.index.nextKey);
  SiteState state{result.index.version, now, std::move(keys), std::string(text)};
  const bool changed = state.version != m_state.version || state.keys != m_state.keys || state.index != m_state.index;
  if (changed && !m_statePath.empty() && !SaveSiteState(m_statePath, state))
    WriteLog("Site: the state %s cannot be written; the next start knows only the runs before", m_statePath.c_str());
  if (changed) m_state = std::move(state);
  TakeIndex(result.index);
  m_standing = Standing::kVerified;
  WriteLog("Site: %s verified: version %lld, expires %s, signed by key %s%s", m_indexUrl.c_str(),
           static_cast<long long>(m_index.version), FormatUtcTime(m_index.expires).c_str(),
           Shortened(result.fingerprint).c_str(), m_index.nextKey ? ", which hands over to a next key" : "");
}

void SiteVerifier::TakeIndex(SiteIndex index) {
  m_index = std::move(index);
  m_listedUrls.clear();
  for (const auto& [url, entry] : m_index.urls)
    if (std::optional<WebAddress> address = ParseWebAddress(url, nullptr))
      m_listedUrls.emplace_back(std::move(*address), &entry);
}

std::string SiteVerifier::FetchRefusal() const {
  switch (m_standing) {
    case Standing::kVerified:
    case Standing::kKept:
      return {};
    case Standing::kUnchecked:
      return "the site has not been verified yet";
    case Standing::kKeptExpired:
      return "the site's index cannot be fetched and the one kept from before expired on " +
             FormatUtcTime(m_index.expires) + ": nothing is fetched until the site can be verified again";
    case Standing::kRefused:
      break;
  }
  return "the site cannot be verified: " + m_refusal;
}

SiteVerifier::FileCheck SiteVerifier::CheckDownload(const std::string& url) const {
  std::string refusal = FetchRefusal();
  if (!refusal.empty()) return {nullptr, std::move(refusal)};
  return Find(url);
}

SiteVerifier::FileCheck SiteVerifier::Find(const std::string& url) const {
  std::string why;
  std::optional<WebAddress> address = ParseWebAddress(url, &why);
  if (!address) return {nullptr, why};
  std::string relative;
  const bool beneath = m_base && IsBeneath(*address, *m_base, &relative);
  if (beneath && IsSitePath(relative)) {
    if (const SiteIndexEntry* entry = m_index.FindFile(relative)) {
      if (m_index.AllowsQuery(relative, address->query)) return {entry, {}};
      return {nullptr, "the query \"" + address->query + "\" is not one the site's index lists for " + relative};
    }
  }
  // Files elsewhere, and any the maker chose to list by their whole address, are compared whole.
  for (const auto& [listed, entry] : m_listedUrls)
    if (listed == *address) return {entry, {}};
  if (beneath) return {nullptr, "\"" + relative + "\" is not a file of the site's index"};
  return {nullptr, "the address is neither beneath SiteUrl nor listed in the site's index"};
}

bool SiteVerifier::CheckMovie(const std::string& url, std::string_view bytes, MovieOrigin origin,
                              std::string* refusal) const {
  const bool kept = origin == MovieOrigin::kKeptCopy && m_standing == Standing::kKeptExpired;
  FileCheck check = kept ? FileCheck{} : FileCheck{nullptr, FetchRefusal()};
  if (check.refusal.empty()) check = Find(url);
  if (check.entry != nullptr && check.entry->size != bytes.size())
    check.refusal = "the movie's size is not the one the site's index gives";
  else if (check.entry != nullptr &&
           Sha256Of({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}) != check.entry->sha256)
    check.refusal = "the movie's SHA-256 is not the one the site's index gives: it was changed on the way";
  if (check.refusal.empty()) return true;
  if (refusal != nullptr) *refusal = check.refusal;
  return false;
}
