#include "SiteSigner.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cerrno>
#include <set>

#include "GameListing.h"
#include "platform/Clock.h"
#include "platform/Files.h"

namespace {

constexpr char kIndexName[] = "index.json";
constexpr int kLongestExpiryDays = 36500;

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct PrivateKeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

std::optional<SitePublicKey> PublicKeyOf(EVP_PKEY* key) {
  SitePublicKey publicKey;
  size_t length = publicKey.size();
  if (EVP_PKEY_get_raw_public_key(key, publicKey.data(), &length) != 1 || length != publicKey.size())
    return std::nullopt;
  return publicKey;
}

// The Ed25519 private key in the PEM file `path`, or null with `error`.
EVP_PKEY* LoadPrivateKey(const std::string& path, std::string& error) {
  platform::ScopedFd file = platform::OpenRegularFileForReading(path);
  int readError = errno;
  std::vector<uint8_t> pem;
  if (!file.IsValid() || !platform::ReadWholeFile(file.get(), pem, readError)) {
    error = "cannot read the key " + path + ": " + platform::ErrorText(readError);
    return nullptr;
  }
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr;
  if (key == nullptr || !EVP_PKEY_is_a(key, "ED25519")) {
    EVP_PKEY_free(key);
    error = path + " is not an Ed25519 private key in PEM (brimtale-pack keygen makes one)";
    return nullptr;
  }
  return key;
}

std::optional<SiteSignature> SignBytes(EVP_PKEY* key, const std::string& message) {
  std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
  SiteSignature signature;
  size_t length = signature.size();
  if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key) != 1 ||
      EVP_DigestSign(context.get(), signature.data(), &length, reinterpret_cast<const unsigned char*>(message.data()),
                     message.size()) != 1 ||
      length != signature.size())
    return std::nullopt;
  return signature;
}

bool IsWebAddress(const std::string& url) {
  const size_t start = url.starts_with("http://") ? 7 : url.starts_with("https://") ? 8 : 0;
  return start > 0 && url.size() > start && url[start] != '/' &&
         std::none_of(url.begin(), url.end(), [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7f; });
}

std::optional<SiteIndexEntry> DigestOf(int fd, int& error) {
  std::vector<uint8_t> bytes;
  if (!platform::ReadWholeFile(fd, bytes, error)) return std::nullopt;
  return SiteIndexEntry{bytes.size(), Sha256Of(bytes), {}};
}

bool ListFolder(const platform::Folder& folder, const std::string& prefix, const std::map<std::string, SiteIndexEntry>& known,
                const std::set<std::string>& leaving, std::map<std::string, SiteIndexEntry>& files,
                std::vector<std::string>& notes, std::string& error) {
  int listError = 0;
  const std::vector<platform::FolderEntry> entries = folder.List(listError);
  if (listError != 0) {
    error = "cannot list the site folder " + (prefix.empty() ? std::string(".") : prefix) + ": " +
            platform::ErrorText(listError);
    return false;
  }
  for (const platform::FolderEntry& entry : entries) {
    const std::string path = prefix.empty() ? entry.name : prefix + "/" + entry.name;
    if (entry.name[0] == '.' || path == kIndexName || leaving.contains(path)) continue;
    int openError = 0;
    if (entry.kind == platform::EntryKind::kFolder) {
      platform::Folder child = folder.Child(entry.name, openError);
      if (!child.IsOpen()) {
        error = "cannot open the site folder " + path + ": " + platform::ErrorText(openError);
        return false;
      }
      if (!ListFolder(child, path, known, leaving, files, notes, error)) return false;
    } else if (known.contains(path)) {
      continue;
    } else if (entry.kind == platform::EntryKind::kFile) {
      platform::ScopedFd file = folder.OpenFile(entry.name, openError);
      std::optional<SiteIndexEntry> digest = file.IsValid() ? DigestOf(file.get(), openError) : std::nullopt;
      if (!digest) {
        error = "cannot read " + PrintableName(path) + " of the site: " + platform::ErrorText(openError);
        return false;
      }
      files.emplace(path, *digest);
    } else {
      notes.push_back(PrintableName(path) + ": not in the index: " +
                      (entry.kind == platform::EntryKind::kLink ? "a link" : "not a regular file"));
    }
  }
  return true;
}

}  // namespace

void SiteSigner::KeyFree::operator()(evp_pkey_st* key) const { EVP_PKEY_free(key); }

SiteSigner::~SiteSigner() = default;
SiteSigner::SiteSigner(SiteSigner&&) noexcept = default;
SiteSigner& SiteSigner::operator=(SiteSigner&&) noexcept = default;

KeyResult GenerateSiteKey(const std::string& path) {
  KeyResult result;
  std::unique_ptr<EVP_PKEY, PrivateKeyFree> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  std::unique_ptr<BIO, BioFree> pem(BIO_new(BIO_s_mem()));
  std::optional<SitePublicKey> publicKey = key ? PublicKeyOf(key.get()) : std::nullopt;
  char* text = nullptr;
  long length = 0;
  if (!publicKey || !pem || PEM_write_bio_PrivateKey(pem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
      (length = BIO_get_mem_data(pem.get(), &text)) <= 0) {
    result.error = "libcrypto could not make an Ed25519 key";
    return result;
  }
  int error = 0;
  if (!platform::CreatePrivateFile(path, {reinterpret_cast<const uint8_t*>(text), static_cast<size_t>(length)}, error)) {
    result.error = "cannot create the key file " + path + ": " + platform::ErrorText(error) +
                   (error == EEXIST ? " (an existing key is never replaced)" : "");
    return result;
  }
  result.publicKey = FormatSitePublicKey(*publicKey);
  return result;
}

KeyResult ReadSitePublicKey(const std::string& path) {
  KeyResult result;
  std::unique_ptr<EVP_PKEY, PrivateKeyFree> key(LoadPrivateKey(path, result.error));
  std::optional<SitePublicKey> publicKey = key ? PublicKeyOf(key.get()) : std::nullopt;
  if (publicKey)
    result.publicKey = FormatSitePublicKey(*publicKey);
  else if (result.error.empty())
    result.error = "cannot read the public part of " + path;
  return result;
}

std::optional<SiteSigner> SiteSigner::Prepare(const SigningOptions& options, std::string& error) {
  if (options.expiresDays < 1 || options.expiresDays > kLongestExpiryDays) {
    error = "--expires takes a number of days from 1 to " + std::to_string(kLongestExpiryDays);
    return std::nullopt;
  }
  SiteSigner signer;
  signer.m_options = options;
  signer.m_key.reset(LoadPrivateKey(options.keyFile, error));
  std::optional<SitePublicKey> publicKey = signer.m_key ? PublicKeyOf(signer.m_key.get()) : std::nullopt;
  if (!publicKey) {
    if (error.empty()) error = "cannot read the public part of " + options.keyFile;
    return std::nullopt;
  }
  signer.m_fingerprint = SiteKeyFingerprint(*publicKey);
  if (!options.nextKey.empty() && !(signer.m_nextKey = ParseSitePublicKey(options.nextKey))) {
    error = "--next-key takes a public key: the base64 line that brimtale-pack keygen printed";
    return std::nullopt;
  }
  for (const auto& [url, localCopy] : options.urls) {
    if (!IsWebAddress(url)) {
      error = "--url " + url + ": not an absolute http or https address";
      return std::nullopt;
    }
    platform::ScopedFd file = platform::OpenRegularFileForReading(localCopy);
    int readError = errno;
    std::optional<SiteIndexEntry> digest = file.IsValid() ? DigestOf(file.get(), readError) : std::nullopt;
    if (!digest) {
      error = "--url " + url + ": cannot read " + localCopy + ": " + platform::ErrorText(readError);
      return std::nullopt;
    }
    if (!signer.m_urls.emplace(url, *digest).second) {
      error = "--url " + url + " is given twice";
      return std::nullopt;
    }
  }
  return signer;
}

std::string SiteSigner::SignIndex(const std::map<std::string, SiteIndexEntry>& files, int64_t previousVersion,
                                  SignatureSummary& summary, std::string& error) const {
  const int64_t now = m_options.now != 0 ? m_options.now : platform::GetUnixTime();
  SiteIndex index;
  index.version = std::max(now, previousVersion + 1);
  index.expires = now + static_cast<int64_t>(m_options.expiresDays) * 86400;
  index.files = files;
  index.urls = m_urls;
  index.nextKey = m_nextKey;
  for (const auto& [path, query] : m_options.movieQueries) {
    auto listed = index.files.find(path);
    if (listed == index.files.end()) {
      error = "--movie-query names " + path + ", which is not in the site";
      return {};
    }
    std::vector<std::string>& queries = listed->second.queries;
    const std::string bare = query.starts_with("?") ? query.substr(1) : query;
    if (std::find(queries.begin(), queries.end(), bare) == queries.end()) queries.push_back(bare);
  }
  const std::string payload = FormatSiteIndexPayload(index);
  const std::optional<SiteSignature> signature = SignBytes(m_key.get(), payload);
  if (!signature) {
    error = "libcrypto could not sign the index";
    return {};
  }
  summary = {index.version, index.expires, m_fingerprint, index.files.size()};
  return FormatSignedSiteIndex(payload, m_fingerprint, *signature);
}

bool ReadPreviousIndexVersion(const platform::Folder& site, int64_t& version, std::string& error) {
  version = 0;
  int openError = 0;
  platform::ScopedFd file = site.OpenFile(kIndexName, openError);
  if (!file.IsValid() && openError == ENOENT) return true;
  std::vector<uint8_t> text;
  std::string why = file.IsValid() ? "" : platform::ErrorText(openError);
  std::optional<SiteIndex> previous;
  if (file.IsValid() && platform::ReadWholeFile(file.get(), text, openError))
    previous = ReadSiteIndexUnverified({reinterpret_cast<const char*>(text.data()), text.size()}, &why);
  if (!previous) {
    error = std::string(kIndexName) + " of the site is not an index brimtale-pack signed (" + why +
            "): it is never replaced; move it away";
    return false;
  }
  version = previous->version;
  return true;
}

bool ListSiteFiles(const platform::Folder& site, const std::map<std::string, SiteIndexEntry>& known,
                   const std::vector<std::string>& leaving, std::map<std::string, SiteIndexEntry>& files,
                   std::vector<std::string>& notes, std::string& error) {
  const std::set<std::string> leavingSet(leaving.begin(), leaving.end());
  if (!ListFolder(site, "", known, leavingSet, files, notes, error)) return false;
  // What the run is about to write is listed whether or not it stands in the site yet.
  files.insert(known.begin(), known.end());
  return true;
}

SignatureSummary SignSite(const std::string& siteFolder, const SigningOptions& options, std::vector<std::string>& notes,
                          std::string& error) {
  SignatureSummary summary;
  int openError = 0;
  platform::Folder site = platform::Folder::Open(siteFolder, openError);
  if (!site.IsOpen()) {
    error = "cannot open the site folder " + siteFolder + ": " + platform::ErrorText(openError);
    return summary;
  }
  if (!site.TryLock(openError)) {
    error = "another brimtale-pack is writing " + siteFolder;
    return summary;
  }
  int64_t previousVersion = 0;
  std::optional<SiteSigner> signer = SiteSigner::Prepare(options, error);
  std::map<std::string, SiteIndexEntry> files;
  if (!signer || !ReadPreviousIndexVersion(site, previousVersion, error) ||
      !ListSiteFiles(site, {}, {}, files, notes, error))
    return summary;
  const std::string index = signer->SignIndex(files, previousVersion, summary, error);
  if (index.empty()) return {};
  if (!site.WriteFile(kIndexName, {reinterpret_cast<const uint8_t*>(index.data()), index.size()},
                      platform::Replace::kAlways, openError)) {
    error = "cannot write " + siteFolder + "/" + kIndexName + ": " + platform::ErrorText(openError);
    return {};
  }
  return summary;
}
