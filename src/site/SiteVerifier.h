#pragma once
// The launcher's check of a signed patch site, when config.txt names its key (SiteKey) and address
// (SiteUrl). At start the application fetches the site's index.json and hands it here; it is taken
// only when its signature is good, it has not expired and it is not older than an index accepted
// before. From then on every file the launcher fetches from the site is checked against it: a
// download must be a file of the index (or an address it lists), and the movie must have the
// index's size and SHA-256.
//
// Time is this computer's clock. A clock set ahead makes a current index look expired (the
// refusal says what the clock reads); a clock set back makes an expired one look current, but an
// index older than the newest one accepted before is refused whatever the clock says.
//
// Offline: when index.json cannot be fetched at all, the index accepted last time stands in. While
// it has not expired, it serves as a fetched one would. Once expired, it vouches only for what is
// on this computer already (the kept copy of the movie): nothing is downloaded and no fetched movie
// plays until the site can be verified again.
//
// Keys: the configured key is trusted first. An accepted index that names a next key makes that
// key trusted as well, also when later indexes of the old key no longer name it; once an index
// signed by the next key has been accepted, the keys before it are trusted no more. The state
// (site/SiteState.h) keeps this between runs.
//
// GUI thread only.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ops/SiteIndex.h"
#include "site/SiteState.h"
#include "site/WebAddress.h"

class SiteVerifier {
 public:
  // `siteUrl` and `siteKey` as configured; the state is kept in `stateFolder` (empty: nothing is
  // kept, and nothing is known of earlier runs). A key or address that cannot be used leaves the
  // verifier refused from the start.
  SiteVerifier(const std::string& siteUrl, const std::string& siteKey, const std::string& stateFolder);
  SiteVerifier(const SiteVerifier&) = delete;  // it holds pointers into its own index
  SiteVerifier& operator=(const SiteVerifier&) = delete;

  enum class Standing {
    kUnchecked,    // no index taken yet
    kVerified,     // the index fetched now
    kKept,         // index.json could not be fetched: the one accepted last time, not expired
    kKeptExpired,  // the same, expired: only what is on this computer already
    kRefused,      // the site cannot be verified; refusal() says why
  };
  Standing standing() const { return m_standing; }
  bool IsSettled() const { return m_standing != Standing::kUnchecked; }
  // Why the site cannot be verified, in words a player can read; empty unless refused.
  const std::string& refusal() const { return m_refusal; }
  // The address of the site's index.json; empty when SiteUrl is not usable.
  const std::string& IndexUrl() const { return m_indexUrl; }

  enum class IndexAnswer {
    kAccepted,
    kAskAgain,  // older than an index accepted before, expired or signed by a key no longer
                // trusted: a cache on the way may hold a stale copy; ask once more, past caches
    kRefused,
  };
  // Takes the text fetched from IndexUrl() at `now` (seconds since the epoch); `askedAgain` for the
  // answer to the second request, which is never asked again.
  IndexAnswer TakeFetchedIndex(std::string_view text, int64_t now, bool askedAgain);
  // index.json could not be fetched (`why`): the index accepted last time stands in, if any.
  void TakeUnfetchedIndex(const std::string& why, int64_t now);
  // Forgets the outcome of the check (a refused one, say) for another try.
  void Restart();

  // A download of `url`: the file it must be, or why it is refused (entry null).
  struct FileCheck {
    const SiteIndexEntry* entry = nullptr;
    std::string refusal;
  };
  FileCheck CheckDownload(const std::string& url) const;

  enum class MovieOrigin { kFetched, kKeptCopy };
  // Whether `bytes` may play as the movie of `url`, fetched now or kept from an earlier run; false
  // with the reason in `refusal`.
  bool CheckMovie(const std::string& url, std::string_view bytes, MovieOrigin origin, std::string* refusal) const;

 private:
  IndexAnswer Refuse(std::string why);
  void Accept(const SiteIndexResult& result, std::string_view text, int64_t now);
  void TakeIndex(SiteIndex index);
  // The listed file `url` names, or why none.
  FileCheck Find(const std::string& url) const;
  // Why nothing of the site may be fetched in the present standing; empty when files may be.
  std::string FetchRefusal() const;

  std::optional<SitePublicKey> m_configuredKey;
  std::optional<WebAddress> m_base;
  std::string m_indexUrl;
  std::string m_statePath;
  SiteState m_state;
  Standing m_standing = Standing::kUnchecked;
  std::string m_refusal;
  SiteIndex m_index;
  std::vector<std::pair<WebAddress, const SiteIndexEntry*>> m_listedUrls;  // into m_index.urls
};
