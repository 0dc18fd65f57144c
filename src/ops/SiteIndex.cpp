#include "ops/SiteIndex.h"

#include <cjson/cJSON.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kFormat = 1;
// The largest whole number a JSON number (a double) holds exactly.
constexpr double kLargestExactNumber = 9007199254740992.0;

struct JsonFree {
  void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using Json = std::unique_ptr<cJSON, JsonFree>;

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

int Base64Value(char c) {
  const char* at = std::find(kBase64Alphabet, kBase64Alphabet + 64, c);
  return at == kBase64Alphabet + 64 ? -1 : static_cast<int>(at - kBase64Alphabet);
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

struct CivilDate {
  int64_t year;
  unsigned month, day;
};

CivilDate CivilFromDays(int64_t days) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
  const unsigned day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
  const unsigned month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
  return {static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2), month, day};
}

// Digits at `text[at, at + count)` as a number; nullopt unless all are digits.
std::optional<unsigned> Digits(std::string_view text, size_t at, size_t count) {
  unsigned value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
  }
  return value;
}

bool IsWebUrl(std::string_view url) {
  for (std::string_view scheme : {"http://", "https://"})
    if (url.size() > scheme.size() && url.substr(0, scheme.size()) == scheme) return true;
  return false;
}

std::optional<uint64_t> WholeNumber(const cJSON* item) {
  if (!cJSON_IsNumber(item)) return std::nullopt;
  const double value = item->valuedouble;
  if (!(value >= 0 && value <= kLargestExactNumber) || std::floor(value) != value) return std::nullopt;
  return static_cast<uint64_t>(value);
}

const char* StringMember(const cJSON* object, const char* name) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
  return cJSON_IsString(item) ? item->valuestring : nullptr;
}

bool ReadEntry(const cJSON* item, bool withQueries, SiteIndexEntry& entry, std::string& error) {
  const std::optional<uint64_t> size = WholeNumber(cJSON_GetObjectItemCaseSensitive(item, "size"));
  const char* sha256 = StringMember(item, "sha256");
  const std::optional<Sha256Digest> digest = sha256 ? ParseSha256Digest(sha256) : std::nullopt;
  if (!cJSON_IsObject(item) || !size || !digest) {
    error = "an entry without a size and a SHA-256";
    return false;
  }
  entry.size = *size;
  entry.sha256 = *digest;
  const cJSON* queries = cJSON_GetObjectItemCaseSensitive(item, "queries");
  if (queries == nullptr) return true;
  if (!withQueries || !cJSON_IsArray(queries)) {
    error = "\"queries\" that is not a list of texts of a site file";
    return false;
  }
  const cJSON* query = nullptr;
  cJSON_ArrayForEach(query, queries) {
    if (!cJSON_IsString(query)) {
      error = "a query that is not a text";
      return false;
    }
    entry.queries.emplace_back(query->valuestring);
  }
  return true;
}

// The members of "files" or "urls" into `entries`, each name checked by `validName`.
bool ReadEntries(const cJSON* object, bool sitePaths, std::map<std::string, SiteIndexEntry>& entries,
                 std::string& error) {
  if (object == nullptr && !sitePaths) return true;
  if (!cJSON_IsObject(object)) {
    error = sitePaths ? "no \"files\"" : "\"urls\" that is not an object";
    return false;
  }
  const cJSON* item = nullptr;
  cJSON_ArrayForEach(item, object) {
    const std::string name = item->string;
    if (sitePaths ? !IsSitePath(name) : !IsWebUrl(name)) {
      error = (sitePaths ? "a file path that is not relative to the site: " : "an address that is not http or https: ") + name;
      return false;
    }
    SiteIndexEntry entry;
    if (!ReadEntry(item, sitePaths, entry, error)) {
      error += " (" + name + ")";
      return false;
    }
    if (!entries.emplace(name, std::move(entry)).second) {
      error = "a name listed twice: " + name;
      return false;
    }
  }
  return true;
}

std::optional<SiteIndex> ReadPayload(std::string_view payload, std::string& error) {
  Json json(cJSON_ParseWithLength(payload.data(), payload.size()));
  if (!cJSON_IsObject(json.get())) {
    error = "the signed part is not a JSON object";
    return std::nullopt;
  }
  const std::optional<uint64_t> format = WholeNumber(cJSON_GetObjectItemCaseSensitive(json.get(), "format"));
  if (format != static_cast<uint64_t>(kFormat)) {
    error = "an index format this launcher does not know";
    return std::nullopt;
  }
  SiteIndex index;
  const std::optional<uint64_t> version = WholeNumber(cJSON_GetObjectItemCaseSensitive(json.get(), "version"));
  const char* expiresText = StringMember(json.get(), "expires");
  const std::optional<int64_t> expires = expiresText ? ParseUtcTime(expiresText) : std::nullopt;
  if (!version || !expires) {
    error = "no version or expiry date";
    return std::nullopt;
  }
  index.version = static_cast<int64_t>(*version);
  index.expires = *expires;
  if (!ReadEntries(cJSON_GetObjectItemCaseSensitive(json.get(), "files"), true, index.files, error) ||
      !ReadEntries(cJSON_GetObjectItemCaseSensitive(json.get(), "urls"), false, index.urls, error))
    return std::nullopt;
  const cJSON* nextKey = cJSON_GetObjectItemCaseSensitive(json.get(), "next_key");
  if (nextKey != nullptr) {
    index.nextKey = cJSON_IsString(nextKey) ? ParseSitePublicKey(nextKey->valuestring) : std::nullopt;
    if (!index.nextKey) {
      error = "a next key that is not a public key";
      return std::nullopt;
    }
  }
  return index;
}

// The three members of index.json.
struct SignedText {
  std::string payload;
  std::string fingerprint;
  SiteSignature signature{};
};

std::optional<SignedText> ReadSignedText(std::string_view text, std::string& error) {
  if (text.size() > kMaxSiteIndexBytes) {
    error = "the index is too large";
    return std::nullopt;
  }
  Json json(cJSON_ParseWithLength(text.data(), text.size()));
  const char* payload = StringMember(json.get(), "payload");
  const char* key = StringMember(json.get(), "key");
  const char* signatureText = StringMember(json.get(), "signature");
  if (payload == nullptr || key == nullptr || signatureText == nullptr) {
    error = "not a signed index (payload, key and signature)";
    return std::nullopt;
  }
  SignedText result{payload, key, {}};
  const std::optional<std::vector<uint8_t>> signature = DecodeBase64(signatureText);
  if (!signature || signature->size() != result.signature.size()) {
    error = "a signature that is not 64 bytes of base64";
    return std::nullopt;
  }
  std::copy(signature->begin(), signature->end(), result.signature.begin());
  return result;
}

bool VerifyEd25519(const SitePublicKey& key, std::string_view message, const SiteSignature& signature) {
  std::unique_ptr<EVP_PKEY, KeyFree> publicKey(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()));
  std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
  if (!publicKey || !context) return false;
  return EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, publicKey.get()) == 1 &&
         EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

cJSON* EntryJson(const SiteIndexEntry& entry, bool withQueries) {
  cJSON* item = cJSON_CreateObject();
  cJSON_AddNumberToObject(item, "size", static_cast<double>(entry.size));
  cJSON_AddStringToObject(item, "sha256", FormatSha256Digest(entry.sha256).c_str());
  if (withQueries && !entry.queries.empty()) {
    cJSON* queries = cJSON_AddArrayToObject(item, "queries");
    for (const std::string& query : entry.queries) cJSON_AddItemToArray(queries, cJSON_CreateString(query.c_str()));
  }
  return item;
}

std::string PrintJson(const cJSON* json) {
  std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_PrintUnformatted(json), cJSON_free);
  return text ? std::string(text.get()) : std::string();
}

}  // namespace

std::string EncodeBase64(std::span<const uint8_t> bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t count = std::min<size_t>(3, bytes.size() - i);
    uint32_t group = static_cast<uint32_t>(bytes[i]) << 16;
    if (count > 1) group |= static_cast<uint32_t>(bytes[i + 1]) << 8;
    if (count > 2) group |= bytes[i + 2];
    for (size_t j = 0; j < 4; ++j) text += j <= count ? kBase64Alphabet[(group >> (18 - 6 * j)) & 63] : '=';
  }
  return text;
}

std::optional<std::vector<uint8_t>> DecodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const size_t padding = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
    uint32_t group = 0;
    for (size_t j = 0; j < 4; ++j) {
      const int value = j >= 4 - padding ? 0 : Base64Value(text[i + j]);
      if (value < 0) return std::nullopt;
      group = group << 6 | static_cast<uint32_t>(value);
    }
    // The bits that padding leaves over must be zero, or two texts would decode alike.
    if ((padding == 1 && (group & 0xff) != 0) || (padding == 2 && (group & 0xffff) != 0)) return std::nullopt;
    for (size_t j = 0; j < 3 - padding; ++j) bytes.push_back(static_cast<uint8_t>(group >> (16 - 8 * j)));
  }
  return bytes;
}

std::optional<SitePublicKey> ParseSitePublicKey(std::string_view base64) {
  const std::optional<std::vector<uint8_t>> bytes = DecodeBase64(base64);
  SitePublicKey key;
  if (!bytes || bytes->size() != key.size()) return std::nullopt;
  std::copy(bytes->begin(), bytes->end(), key.begin());
  return key;
}

std::string FormatSitePublicKey(const SitePublicKey& key) { return EncodeBase64(key); }

std::string SiteKeyFingerprint(const SitePublicKey& key) { return FormatSha256Digest(Sha256Of(key)); }

std::string FormatUtcTime(int64_t secondsSinceEpoch) {
  const int64_t days = secondsSinceEpoch >= 0 ? secondsSinceEpoch / 86400 : (secondsSinceEpoch - 86399) / 86400;
  const int64_t second = secondsSinceEpoch - days * 86400;
  const CivilDate date = CivilFromDays(days);
  char text[64];
  snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ", static_cast<long long>(date.year), date.month,
           date.day, static_cast<long long>(second / 3600), static_cast<long long>(second / 60 % 60),
           static_cast<long long>(second % 60));
  return text;
}

std::optional<int64_t> ParseUtcTime(std::string_view text) {
  // YYYY-MM-DDTHH:MM:SSZ
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z')
    return std::nullopt;
  const auto year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2);
  const auto hour = Digits(text, 11, 2), minute = Digits(text, 14, 2), second = Digits(text, 17, 2);
  if (!year || !month || !day || !hour || !minute || !second || *year < 1970 || *month < 1 || *month > 12 ||
      *day < 1 || *hour > 23 || *minute > 59 || *second > 59)
    return std::nullopt;
  const int64_t days = DaysFromCivil(*year, *month, *day);
  // A day past its month's end (February 30th) would land in the next month.
  if (CivilFromDays(days).day != *day) return std::nullopt;
  return days * 86400 + *hour * 3600 + *minute * 60 + *second;
}

bool IsSitePath(std::string_view path) {
  if (path.empty()) return false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = std::min(path.find('/', start), path.size());
    std::string_view part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return std::none_of(path.begin(), path.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

const SiteIndexEntry* SiteIndex::FindFile(std::string_view path) const {
  auto found = files.find(std::string(path));
  return found == files.end() ? nullptr : &found->second;
}

const SiteIndexEntry* SiteIndex::FindUrl(std::string_view url) const {
  auto found = urls.find(std::string(url));
  return found == urls.end() ? nullptr : &found->second;
}

bool SiteIndex::AllowsQuery(std::string_view path, std::string_view query) const {
  const SiteIndexEntry* entry = FindFile(path);
  if (entry == nullptr) return false;
  if (query.empty() && entry->queries.empty()) return true;
  return std::find(entry->queries.begin(), entry->queries.end(), query) != entry->queries.end();
}

std::string FormatSiteIndexPayload(const SiteIndex& index) {
  Json json(cJSON_CreateObject());
  cJSON_AddNumberToObject(json.get(), "format", kFormat);
  cJSON_AddNumberToObject(json.get(), "version", static_cast<double>(index.version));
  cJSON_AddStringToObject(json.get(), "expires", FormatUtcTime(index.expires).c_str());
  cJSON* files = cJSON_AddObjectToObject(json.get(), "files");
  for (const auto& [path, entry] : index.files) cJSON_AddItemToObject(files, path.c_str(), EntryJson(entry, true));
  if (!index.urls.empty()) {
    cJSON* urls = cJSON_AddObjectToObject(json.get(), "urls");
    for (const auto& [url, entry] : index.urls) cJSON_AddItemToObject(urls, url.c_str(), EntryJson(entry, false));
  }
  if (index.nextKey) cJSON_AddStringToObject(json.get(), "next_key", FormatSitePublicKey(*index.nextKey).c_str());
  return PrintJson(json.get());
}

std::string FormatSignedSiteIndex(std::string_view payload, std::string_view fingerprint,
                                  const SiteSignature& signature) {
  Json json(cJSON_CreateObject());
  cJSON_AddStringToObject(json.get(), "payload", std::string(payload).c_str());
  cJSON_AddStringToObject(json.get(), "key", std::string(fingerprint).c_str());
  cJSON_AddStringToObject(json.get(), "signature", EncodeBase64(signature).c_str());
  return PrintJson(json.get()) + "\n";
}

SiteIndexResult VerifySiteIndex(std::string_view text, std::span<const SitePublicKey> trustedKeys, int64_t now) {
  SiteIndexResult result;
  std::optional<SignedText> signedText = ReadSignedText(text, result.detail);
  if (!signedText) return result;
  result.fingerprint = signedText->fingerprint;
  auto key = std::find_if(trustedKeys.begin(), trustedKeys.end(),
                          [&](const SitePublicKey& trusted) { return SiteKeyFingerprint(trusted) == result.fingerprint; });
  if (key == trustedKeys.end()) {
    result.check = SiteIndexCheck::kUnknownKey;
    result.detail = "signed by a key that is not trusted (" + result.fingerprint + ")";
    return result;
  }
  if (!VerifyEd25519(*key, signedText->payload, signedText->signature)) {
    result.check = SiteIndexCheck::kBadSignature;
    result.detail = "the signature does not match";
    return result;
  }
  std::optional<SiteIndex> index = ReadPayload(signedText->payload, result.detail);
  if (!index) return result;
  result.index = std::move(*index);
  if (result.index.IsExpired(now)) {
    result.check = SiteIndexCheck::kExpired;
    result.detail = "expired on " + FormatUtcTime(result.index.expires);
    return result;
  }
  result.check = SiteIndexCheck::kOk;
  return result;
}

std::optional<SiteIndex> ReadSiteIndexUnverified(std::string_view text, std::string* error) {
  std::string detail;
  std::optional<SignedText> signedText = ReadSignedText(text, detail);
  std::optional<SiteIndex> index = signedText ? ReadPayload(signedText->payload, detail) : std::nullopt;
  if (!index && error != nullptr) *error = detail;
  return index;
}
