// The signed site index: base64, SHA-256 and time texts against published vectors, and
// VerifySiteIndex against genuine, tampered, foreign, expired and malformed indexes, signed here
// with the keys of RFC 8032's test vectors.
#include "ops/SiteIndex.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/TestSiteKeys.h"

namespace {

using namespace testing_support;

constexpr int64_t kNow = 1767225600;  // 2026-01-01T00:00:00Z

SiteIndex ExampleIndex() {
  SiteIndex index;
  index.version = kNow;
  index.expires = kNow + 30 * 86400;
  index.files["manifest.txt"] = {120, Sha256Of(Bytes("manifest")), {}};
  index.files["DemoMovie.swf"] = {5, Sha256Of(Bytes("movie")), {"server=http%3A%2F%2F127.0.0.1%3A8080", ""}};
  index.files["files/carte-é.txt~0123456789abcdef"] = {3, Sha256Of(Bytes("map")), {}};
  index.urls["https://cdn.example.org/intro.flv?v=2"] = {9, Sha256Of(Bytes("intro.flv")), {}};
  return index;
}

TEST(SiteIndex, Base64AsRfc4648WritesItAndNothingLooser) {
  const std::pair<std::string, std::string> vectors[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}, {"\xff\xfe\xfd", "//79"}};
  for (const auto& [bytes, text] : vectors) {
    SCOPED_TRACE(text);
    EXPECT_EQ(EncodeBase64(Bytes(bytes)), text);
    const std::optional<std::vector<uint8_t>> decoded = DecodeBase64(text);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(std::string(decoded->begin(), decoded->end()), bytes);
  }
  for (const char* refused : {"Zg", "Zg=", "Zg==Zg==", "Zh==", "Zm9=", "Zm 9v", "Zm9v\n", "_-8=", "Z===", "===="}) {
    SCOPED_TRACE(refused);
    EXPECT_FALSE(DecodeBase64(refused));
  }
  // Keys are exactly 32 bytes.
  EXPECT_EQ(ParseSitePublicKey(FormatSitePublicKey(kOldKey.publicKey)), kOldKey.publicKey);
  EXPECT_FALSE(ParseSitePublicKey(EncodeBase64(std::vector<uint8_t>(31, 1))));
  EXPECT_FALSE(ParseSitePublicKey(EncodeBase64(std::vector<uint8_t>(33, 1))));
}

TEST(SiteIndex, Sha256AsFips180WritesIt) {
  const std::pair<std::string, const char*> vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}};
  for (const auto& [message, digest] : vectors) {
    SCOPED_TRACE(digest);
    EXPECT_EQ(FormatSha256Digest(Sha256Of(Bytes(message))), digest);
    // In pieces of 7 bytes, through the same context twice (Final starts it over).
    Sha256Context context;
    for (int round = 0; round < 2; ++round) {
      for (size_t at = 0; at < message.size(); at += 7) context.Update(Bytes(message.substr(at, 7)));
      EXPECT_EQ(FormatSha256Digest(context.Final()), digest);
    }
    EXPECT_EQ(ParseSha256Digest(digest), Sha256Of(Bytes(message)));
  }
  EXPECT_FALSE(ParseSha256Digest("e3b0"));
  EXPECT_FALSE(ParseSha256Digest(std::string(63, '0') + "g"));
  // A fingerprint is the SHA-256 of the raw public key.
  EXPECT_EQ(SiteKeyFingerprint(kOldKey.publicKey), FormatSha256Digest(Sha256Of(kOldKey.publicKey)));
}

TEST(SiteIndex, UtcTimesAreWholeSecondsOfRfc3339) {
  const std::pair<int64_t, const char*> times[] = {{0, "1970-01-01T00:00:00Z"},
                                                   {951782400, "2000-02-29T00:00:00Z"},
                                                   {4107542400, "2100-03-01T00:00:00Z"},
                                                   {1767225599, "2025-12-31T23:59:59Z"},
                                                   {253402300799, "9999-12-31T23:59:59Z"}};
  for (const auto& [seconds, text] : times) {
    SCOPED_TRACE(text);
    EXPECT_EQ(FormatUtcTime(seconds), text);
    EXPECT_EQ(ParseUtcTime(text), seconds);
  }
  for (const char* refused : {"2023-02-29T00:00:00Z", "2100-02-29T00:00:00Z", "2024-04-31T00:00:00Z",
                              "2024-13-01T00:00:00Z", "2024-01-01T24:00:00Z", "2024-01-01 00:00:00Z",
                              "2024-01-01T00:00:00+01:00", "2024-01-01T00:00:00.5Z", "1969-12-31T23:59:59Z",
                              "+024-01-01T00:00:00Z", ""}) {
    SCOPED_TRACE(refused);
    EXPECT_FALSE(ParseUtcTime(refused));
  }
}

TEST(SiteIndex, WhatIsWrittenIsReadBackWhole) {
  SiteIndex index = ExampleIndex();
  index.nextKey = kNewKey.publicKey;
  const SitePublicKey trusted[] = {kOldKey.publicKey};
  const SiteIndexResult result = VerifySiteIndex(SignedIndex(FormatSiteIndexPayload(index)), trusted, kNow);
  ASSERT_EQ(result.check, SiteIndexCheck::kOk) << result.detail;
  EXPECT_EQ(result.index, index);
  EXPECT_EQ(result.fingerprint, SiteKeyFingerprint(kOldKey.publicKey));

  struct Lookup {
    std::string path, query;
    bool allowed;
  };
  const Lookup lookups[] = {
      {"DemoMovie.swf", "server=http%3A%2F%2F127.0.0.1%3A8080", true},
      {"DemoMovie.swf", "", true},  // listed as an allowed query of its own
      {"DemoMovie.swf", "server=http%3A%2F%2Fevil.example", false},
      {"DemoMovie.swf", "server=http%3A%2F%2F127.0.0.1%3A8080&x=1", false},
      {"manifest.txt", "", true},  // no queries listed: only the plain URL
      {"manifest.txt", "x=1", false},
      {"missing.swf", "", false},
      {"demomovie.swf", "", false},
  };
  for (const Lookup& lookup : lookups) {
    SCOPED_TRACE(lookup.path + "?" + lookup.query);
    EXPECT_EQ(result.index.AllowsQuery(lookup.path, lookup.query), lookup.allowed);
  }
  ASSERT_NE(result.index.FindFile("files/carte-é.txt~0123456789abcdef"), nullptr);
  EXPECT_EQ(result.index.FindFile("files/carte-é.txt~0123456789abcdef")->size, 3u);
  ASSERT_NE(result.index.FindUrl("https://cdn.example.org/intro.flv?v=2"), nullptr);
  EXPECT_EQ(result.index.FindUrl("https://cdn.example.org/intro.flv"), nullptr);
  EXPECT_EQ(result.index.FindFile("/manifest.txt"), nullptr);
}

// The next key that an index names is trusted from then on; an index signed by it verifies once
// the reader trusts it too, and not before.
TEST(SiteIndex, ASiteMovesToTheKeyItsIndexNames) {
  SiteIndex handover = ExampleIndex();
  handover.nextKey = kNewKey.publicKey;
  const SitePublicKey configured[] = {kOldKey.publicKey};
  const SiteIndexResult first = VerifySiteIndex(SignedIndex(FormatSiteIndexPayload(handover)), configured, kNow);
  ASSERT_EQ(first.check, SiteIndexCheck::kOk);
  ASSERT_TRUE(first.index.nextKey);

  SiteIndex later = ExampleIndex();
  later.version = kNow + 1;
  const std::string signedByNew = SignedIndex(FormatSiteIndexPayload(later), kNewKey);
  EXPECT_EQ(VerifySiteIndex(signedByNew, configured, kNow).check, SiteIndexCheck::kUnknownKey);
  const SitePublicKey afterHandover[] = {kOldKey.publicKey, *first.index.nextKey};
  const SiteIndexResult second = VerifySiteIndex(signedByNew, afterHandover, kNow);
  EXPECT_EQ(second.check, SiteIndexCheck::kOk) << second.detail;
  EXPECT_EQ(second.fingerprint, SiteKeyFingerprint(kNewKey.publicKey));
}

TEST(SiteIndex, RefusesWhatIsNotAGenuineCurrentIndex) {
  const std::string payload = FormatSiteIndexPayload(ExampleIndex());
  const std::string genuine = SignedIndex(payload);
  std::string tampered = genuine;
  tampered.replace(tampered.find("\\\"size\\\":120"), 13, "\\\"size\\\":121");
  SiteIndex expired = ExampleIndex();
  expired.expires = kNow;
  // Signed payloads that are not indexes of this format: the signature holds, the content not.
  auto signedPayload = [](const std::string& text) { return SignedIndex(text); };
  const std::string sha = std::string(64, 'a');
  auto withFile = [&](const std::string& entry) {
    return signedPayload(R"({"format":1,"version":1,"expires":"2027-01-01T00:00:00Z","files":{)" + entry + "}}");
  };
  struct Case {
    const char* name;
    std::string text;
    SiteIndexCheck check;
  };
  const Case cases[] = {
      {"genuine", genuine, SiteIndexCheck::kOk},
      {"a changed payload", tampered, SiteIndexCheck::kBadSignature},
      {"signed by a stranger who names the trusted key", SignedIndex(payload, kStrangerKey, kOldKey),
       SiteIndexCheck::kBadSignature},
      {"signed by a stranger under his own name", SignedIndex(payload, kStrangerKey), SiteIndexCheck::kUnknownKey},
      {"expired", SignedIndex(FormatSiteIndexPayload(expired)), SiteIndexCheck::kExpired},
      {"empty", "", SiteIndexCheck::kMalformed},
      {"not JSON", "<html>502 Bad Gateway</html>", SiteIndexCheck::kMalformed},
      {"a list", "[1,2,3]", SiteIndexCheck::kMalformed},
      {"no signature", R"({"payload":"{}","key":"x"})", SiteIndexCheck::kMalformed},
      {"a signature that is not base64",
       R"({"payload":"{}","key":")" + SiteKeyFingerprint(kOldKey.publicKey) + R"(","signature":"%%%"})",
       SiteIndexCheck::kMalformed},
      {"a short signature",
       R"({"payload":"{}","key":")" + SiteKeyFingerprint(kOldKey.publicKey) + R"(","signature":"AAAA"})",
       SiteIndexCheck::kMalformed},
      {"deeply nested", std::string(100000, '[') + std::string(100000, ']'), SiteIndexCheck::kMalformed},
      {"larger than an index may be", std::string(kMaxSiteIndexBytes + 1, ' '), SiteIndexCheck::kMalformed},
      {"a payload that is not JSON", signedPayload("files: all"), SiteIndexCheck::kMalformed},
      {"an unknown format", signedPayload(R"({"format":2,"version":1,"expires":"2027-01-01T00:00:00Z","files":{}})"),
       SiteIndexCheck::kMalformed},
      {"no files", signedPayload(R"({"format":1,"version":1,"expires":"2027-01-01T00:00:00Z"})"),
       SiteIndexCheck::kMalformed},
      {"no expiry", signedPayload(R"({"format":1,"version":1,"files":{}})"), SiteIndexCheck::kMalformed},
      {"an expiry with an offset",
       signedPayload(R"({"format":1,"version":1,"expires":"2027-01-01T00:00:00+02:00","files":{}})"),
       SiteIndexCheck::kMalformed},
      {"a negative version", signedPayload(R"({"format":1,"version":-5,"expires":"2027-01-01T00:00:00Z","files":{}})"),
       SiteIndexCheck::kMalformed},
      {"a negative size", withFile(R"("a":{"size":-1,"sha256":")" + sha + R"("})"), SiteIndexCheck::kMalformed},
      {"a fractional size", withFile(R"("a":{"size":1.5,"sha256":")" + sha + R"("})"), SiteIndexCheck::kMalformed},
      {"a size past 2^53", withFile(R"("a":{"size":1e300,"sha256":")" + sha + R"("})"), SiteIndexCheck::kMalformed},
      {"a short digest", withFile(R"("a":{"size":1,"sha256":"abc"})"), SiteIndexCheck::kMalformed},
      {"a path that climbs", withFile(R"("files/../../etc/passwd":{"size":1,"sha256":")" + sha + R"("})"),
       SiteIndexCheck::kMalformed},
      {"an absolute path", withFile(R"("/etc/passwd":{"size":1,"sha256":")" + sha + R"("})"),
       SiteIndexCheck::kMalformed},
      {"a path listed twice",
       withFile(R"("a":{"size":1,"sha256":")" + sha + R"("},"a":{"size":2,"sha256":")" + sha + R"("})"),
       SiteIndexCheck::kMalformed},
      {"queries that are not a list", withFile(R"("a":{"size":1,"sha256":")" + sha + R"(","queries":"x=1"})"),
       SiteIndexCheck::kMalformed},
      {"an address of another scheme",
       signedPayload(R"({"format":1,"version":1,"expires":"2027-01-01T00:00:00Z","files":{},"urls":{"file:///etc/passwd":{"size":1,"sha256":")" +
                     sha + R"("}}})"),
       SiteIndexCheck::kMalformed},
      {"a next key that is not a key",
       signedPayload(R"({"format":1,"version":1,"expires":"2027-01-01T00:00:00Z","files":{},"next_key":"AAAA"})"),
       SiteIndexCheck::kMalformed},
  };
  const SitePublicKey trusted[] = {kOldKey.publicKey};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SiteIndexResult result = VerifySiteIndex(c.text, trusted, kNow);
    EXPECT_EQ(result.check, c.check) << result.detail;
    EXPECT_EQ(result.detail.empty(), c.check == SiteIndexCheck::kOk) << result.detail;
  }
  // Nothing is trusted: nothing verifies.
  EXPECT_EQ(VerifySiteIndex(genuine, {}, kNow).check, SiteIndexCheck::kUnknownKey);
}

}  // namespace
