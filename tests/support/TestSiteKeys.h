#pragma once
// Signing keys for tests of signed site indexes: the key pairs of RFC 8032's test vectors, and
// index.json texts signed with them here (OpenSSL's Ed25519). Header only.

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "ops/SiteIndex.h"

namespace testing_support {

inline std::span<const uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

inline std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

// A key pair of RFC 8032, section 7.1.
struct TestKey {
  std::string secretHex;
  SitePublicKey publicKey;
};

inline TestKey MakeKey(const std::string& secretHex, const std::string& publicHex) {
  TestKey key{secretHex, {}};
  const std::vector<uint8_t> publicBytes = FromHex(publicHex);
  std::copy(publicBytes.begin(), publicBytes.end(), key.publicKey.begin());
  return key;
}

inline const TestKey kOldKey = MakeKey("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
                                       "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
inline const TestKey kNewKey = MakeKey("4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
                                       "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c");
inline const TestKey kStrangerKey = MakeKey("c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
                                            "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025");

inline SiteSignature Sign(const TestKey& key, const std::string& message) {
  const std::vector<uint8_t> secret = FromHex(key.secretHex);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> privateKey(
      EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, secret.data(), secret.size()), EVP_PKEY_free);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  SiteSignature signature{};
  size_t length = signature.size();
  EXPECT_EQ(EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, privateKey.get()), 1);
  EXPECT_EQ(EVP_DigestSign(context.get(), signature.data(), &length, Bytes(message).data(), message.size()), 1);
  return signature;
}

// index.json around `payload`, signed by `signer` and naming `named` as its key.
inline std::string SignedIndex(const std::string& payload, const TestKey& signer, const TestKey& named) {
  return FormatSignedSiteIndex(payload, SiteKeyFingerprint(named.publicKey), Sign(signer, payload));
}
inline std::string SignedIndex(const std::string& payload, const TestKey& signer = kOldKey) {
  return SignedIndex(payload, signer, signer);
}

}  // namespace testing_support
