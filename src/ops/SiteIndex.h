#pragma once
// The signed index of a patch site: what brimtale-pack writes as SITE/index.json, and what the
// launcher checks every byte it fetches against. Pure functions over text and bytes; any thread.
//
// index.json is one JSON object of three strings:
//
//   {"payload": "<the signed part: a JSON text, as a JSON string>",
//    "key": "<fingerprint of the signing key>",
//    "signature": "<base64 of the Ed25519 signature over the payload's bytes>"}
//
// The signature covers the payload's bytes exactly as the string holds them once unescaped
// (UTF-8), so the payload is never parsed before it is verified and no JSON is ever re-encoded to
// be checked. One file means one request, and one rename puts it in place: a reader never sees an
// index without its signature.
//
// Keys are Ed25519. A public key travels as the base64 of its 32 raw bytes (one line, as
// config.txt holds it); its fingerprint is the SHA-256 of those 32 bytes in 64 lower-case
// hexadecimal digits. The payload:
//
//   {"format": 1,
//    "version": 1767225600,                  seconds since the epoch when signed; only grows
//    "expires": "2026-01-31T00:00:00Z",      RFC 3339, UTC, whole seconds
//    "files": {"manifest.txt": {"size": 1234, "sha256": "<64 hex>"},
//              "DemoMovie.swf": {"size": 5678, "sha256": "<64 hex>",
//                                "queries": ["server=http%3A%2F%2Fexample.org"]}},
//    "urls": {"https://cdn.example.org/intro.flv": {"size": 9, "sha256": "<64 hex>"}},
//    "next_key": "<base64 public key>"}
//
// "files" are keyed by their path relative to the site ("/" between folders, no "." or ".."
// parts, no leading "/"); "queries" lists the exact query texts (without "?") that a URL of that
// file may carry. "urls" lists files on other hosts by absolute http or https URL. "urls",
// "queries" and "next_key" may be missing. "next_key" names the key that signs the indexes after
// this one: a reader that trusts this index's key trusts that key from then on, which is how a
// site moves to a new key. Unknown members are ignored; an unknown "format" is refused.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ops/Sha256.h"

using SitePublicKey = std::array<uint8_t, 32>;
using SiteSignature = std::array<uint8_t, 64>;

// Standard base64 with padding, no line breaks.
std::string EncodeBase64(std::span<const uint8_t> bytes);
// Strict: only the standard alphabet, padding required, no blanks; nullopt for anything else.
std::optional<std::vector<uint8_t>> DecodeBase64(std::string_view text);

// A public key from its base64 line; nullopt unless it is exactly 32 bytes.
std::optional<SitePublicKey> ParseSitePublicKey(std::string_view base64);
std::string FormatSitePublicKey(const SitePublicKey& key);
std::string SiteKeyFingerprint(const SitePublicKey& key);

// Whether `path` is a path relative to a site as the index holds it: "/" between non-empty parts,
// none of them "." or "..", no control characters.
bool IsSitePath(std::string_view path);

// RFC 3339 in UTC with whole seconds ("2026-01-31T00:00:00Z"), years 1970 to 9999.
std::string FormatUtcTime(int64_t secondsSinceEpoch);
std::optional<int64_t> ParseUtcTime(std::string_view text);

struct SiteIndexEntry {
  uint64_t size = 0;
  Sha256Digest sha256{};
  std::vector<std::string> queries;
  bool operator==(const SiteIndexEntry&) const = default;
};

struct SiteIndex {
  int64_t version = 0;
  int64_t expires = 0;  // seconds since the epoch
  std::map<std::string, SiteIndexEntry> files;  // by path relative to the site
  std::map<std::string, SiteIndexEntry> urls;   // by absolute URL, as written
  std::optional<SitePublicKey> nextKey;

  // Null when the path or URL is not listed. Compared as given: the caller normalises first.
  const SiteIndexEntry* FindFile(std::string_view path) const;
  const SiteIndexEntry* FindUrl(std::string_view url) const;
  // Whether a URL of the listed file `path` may carry `query` (without "?"). A URL without a
  // query (`query` empty) is allowed when the file lists no queries or lists the empty one.
  bool AllowsQuery(std::string_view path, std::string_view query) const;
  // Expired from the second `expires` on.
  bool IsExpired(int64_t now) const { return now >= expires; }

  bool operator==(const SiteIndex&) const = default;
};

// The payload text of `index` (members in the order shown above).
std::string FormatSiteIndexPayload(const SiteIndex& index);
// index.json around a payload signed by the key with `fingerprint`.
std::string FormatSignedSiteIndex(std::string_view payload, std::string_view fingerprint,
                                  const SiteSignature& signature);

enum class SiteIndexCheck {
  kOk,
  kMalformed,     // not an index of this format, or larger than kMaxSiteIndexBytes
  kUnknownKey,    // signed by a key that is not among the trusted ones
  kBadSignature,  // the signature does not match the payload
  kExpired,       // genuine, but past its "expires"
};

inline constexpr size_t kMaxSiteIndexBytes = 64u << 20;

struct SiteIndexResult {
  SiteIndexCheck check = SiteIndexCheck::kMalformed;
  std::string detail;       // what was wrong, in a few words, for a log line or a window
  std::string fingerprint;  // the key the index names ("key"), when it could be read
  SiteIndex index;          // filled for kOk and kExpired
};

// Reads index.json, takes among `trustedKeys` the one whose fingerprint it names, verifies the
// signature over the payload, reads the payload and checks it against `now` (seconds since the
// epoch). Every failure says why in `detail`. Whether the version is new enough is the caller's
// to judge: it alone knows the versions it accepted before.
SiteIndexResult VerifySiteIndex(std::string_view text, std::span<const SitePublicKey> trustedKeys, int64_t now);

// The payload of index.json read without checking its signature or its time: for the publisher,
// who reads the last version of its own site. nullopt with `error` set when it is not an index of
// this format.
std::optional<SiteIndex> ReadSiteIndexUnverified(std::string_view text, std::string* error);
