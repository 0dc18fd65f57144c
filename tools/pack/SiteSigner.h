#pragma once
// The publisher's side of a signed patch site: the signing key and SITE/index.json, in the format
// that ops/SiteIndex.h describes and the launcher verifies.
//
// A key file holds an Ed25519 private key in PEM (PKCS #8), readable by its owner alone. The
// index lists every file of the site with its size and SHA-256, except index.json itself and
// hidden entries (names starting with "."), which a site's web server does not serve. A site's
// index.json is replaced only when it is an index in that format: anything else there is the
// game maker's and stays.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ops/SiteIndex.h"
#include "platform/FileTree.h"

struct SigningOptions {
  std::string keyFile;
  int expiresDays = 30;
  // (path of a site file, a query a URL of it may carry): the movie URL's query.
  std::vector<std::pair<std::string, std::string>> movieQueries;
  // (absolute http or https URL of a file on another host, a local copy of that file).
  std::vector<std::pair<std::string, std::string>> urls;
  std::string nextKey;  // the base64 public key of the key that signs next; empty for none
  int64_t now = 0;      // the run's time, seconds since the epoch; 0 for the clock's
};

// What a signature says, for the report.
struct SignatureSummary {
  int64_t version = 0;  // 0 when nothing was signed
  int64_t expires = 0;
  std::string fingerprint;
  size_t files = 0;
};

struct KeyResult {
  std::string publicKey;  // base64, one line
  std::string error;      // empty on success
};

// Makes a new key into `path`: created with mode 0600, never over an existing file.
KeyResult GenerateSiteKey(const std::string& path);
// The public key of the private key in `path`.
KeyResult ReadSitePublicKey(const std::string& path);

struct evp_pkey_st;

// A key loaded and the options checked, before anything of a site is written: what cannot be
// signed is known before the site changes.
class SiteSigner {
 public:
  // nullopt with `error` when the key cannot be read, an option is wrong or a local copy of a
  // file on another host cannot be read.
  static std::optional<SiteSigner> Prepare(const SigningOptions& options, std::string& error);

  ~SiteSigner();
  SiteSigner(SiteSigner&&) noexcept;
  SiteSigner& operator=(SiteSigner&&) noexcept;

  // index.json for a site of `files` (site path -> size and digest), with a version above
  // `previousVersion`. Empty with `error` when a movie query names a file that is not listed.
  std::string SignIndex(const std::map<std::string, SiteIndexEntry>& files, int64_t previousVersion,
                        SignatureSummary& summary, std::string& error) const;

 private:
  SiteSigner() = default;

  struct KeyFree {
    void operator()(evp_pkey_st* key) const;
  };
  std::unique_ptr<evp_pkey_st, KeyFree> m_key;
  std::string m_fingerprint;
  SigningOptions m_options;
  std::map<std::string, SiteIndexEntry> m_urls;
  std::optional<SitePublicKey> m_nextKey;
};

// The version of the site's index.json, 0 when there is none. false with `error` when something
// other than an index in this format stands there (it is never replaced).
bool ReadPreviousIndexVersion(const platform::Folder& site, int64_t& version, std::string& error);

// The site's files for its index: `known` ones as given, whether they stand in the site yet or
// not (what a run is writing), every other file read and digested, except those in `leaving` (about to be removed), index.json and hidden
// entries. Links and other kinds of entries are not listed, each with a line in `notes`.
bool ListSiteFiles(const platform::Folder& site, const std::map<std::string, SiteIndexEntry>& known,
                   const std::vector<std::string>& leaving, std::map<std::string, SiteIndexEntry>& files,
                   std::vector<std::string>& notes, std::string& error);

// Signs the site folder `siteFolder` as it stands (brimtale-pack sign).
SignatureSummary SignSite(const std::string& siteFolder, const SigningOptions& options, std::vector<std::string>& notes,
                          std::string& error);
