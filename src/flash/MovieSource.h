#pragma once
// Where the game window's movie comes from: the URL it is loaded from, which URLs the launcher
// fetches itself, the check every movie passes before the player gets it, and the offline copy
// of the last movie that played. Pure functions and file work; any thread unless said otherwise.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The URL the movie is loaded from: `url` unchanged when it names a local file (file:, in any
// case, blanks around it allowed) or the launcher type is 3 (the server's answer is used as it
// is); otherwise `url` without blanks around it and the time `unixTime` as a query, so that no
// cache on the way serves an old movie: "?<time>", or "&<time>" when the URL holds a query, before
// a fragment.
std::string MovieUrlWithTime(const std::string& url, int launcherType, int64_t unixTime);

// Whether the launcher fetches the movie at `url` itself (http and https, in any case) rather than
// leaving the player to load it (local files and the player's own forms).
bool IsFetchedByLauncher(std::string_view url);

// The one gate between the bytes of a movie and the player: every movie the launcher fetches,
// and every offline copy, passes here first. True when `bytes` may be played as the movie of
// `url`; otherwise false with the reason in `refusal`, in words a player can read. `contentType`
// is the server's Content-Type, empty when unknown (offline copies).
bool AcceptFetchedMovie(const std::string& url, std::string_view bytes, const std::string& contentType,
                        std::string* refusal);

// A movie kept for an offline start: the URL it was loaded from as configured (before the time
// query), when it was kept (seconds since 1970) and its bytes.
struct OfflineMovie {
  std::string url;
  int64_t keptAt = 0;
  std::string bytes;
};

// The name under which the movie of a configuration is kept: launcher type 3 fetches its movie's
// URL from `GetSwfUrl`, the others play `SwfUrl`, so a launcher configured for another game (or
// the demo) never plays this one's copy.
std::string OfflineMovieKey(int launcherType, const std::string& configuredUrl);

// The kept movies, one file per key in `folder` (created when needed). GUI thread.
class OfflineMovieStore {
 public:
  // Movies kept in `folder`; with none, nothing is kept or found.
  explicit OfflineMovieStore(std::string folder = {}) : m_folder(std::move(folder)) {}
  // The user's: $XDG_CACHE_HOME/brimtale (~/.cache/brimtale); none without a home folder.
  static std::string UserFolder();

  // Keeps `movie` under `key`, replacing the copy kept before in one step: a reader finds the
  // old copy or the new one, never a part. false (logged) when it cannot be written.
  bool Keep(const std::string& key, const OfflineMovie& movie);
  // The copy kept under `key`; nothing when none is, or when the file is not one this store wrote.
  std::optional<OfflineMovie> Find(const std::string& key) const;
  // Whether a copy seems kept under `key` (its file begins as this store writes them); cheap.
  bool Has(const std::string& key) const;

  const std::string& Folder() const { return m_folder; }

 private:
  std::string PathOf(const std::string& key) const;
  std::string m_folder;
};

// The kept file's text and back (its header and the bytes after it). Parsing fails (nothing) on
// anything but a whole file in this format.
std::string FormatOfflineMovie(const OfflineMovie& movie);
std::optional<OfflineMovie> ParseOfflineMovie(std::string_view text);
