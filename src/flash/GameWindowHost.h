#pragma once
// What the game window is given by the application that builds it: its settings, the player
// runtime, the HTTP manager, the token and the movie's stored strings, and the two calls it makes
// back. GUI thread only (the stored strings may be read from any thread).

#include <string>

#include "base/StoredStrings.h"
#include "brimtale/runtime_api.h"

class CWnd;
class HttpMgr;
class SiteVerifier;
class OfflineMovieStore;

// The configuration's part that the game window reads; fixed while the window lives.
struct GameWindowSettings {
  int launcherType = 0;  // 3: the movie's URL is the answer of the URL query
  std::string caption;   // the window's title: a second copy of the launcher finds it by this
  std::string swfUrl;    // the movie of the other launcher types
  bool showBorder = false;
  int width = 0;
  int height = 0;
  bool moreHttpLog = false;  // every download progress event goes to the log
  std::string offlineKey;    // the name of this configuration's offline copy (OfflineMovieKey)
};

class GameWindowHost {
 public:
  virtual const GameWindowSettings& GameSettings() const = 0;
  // The loaded player runtime; 0 when none is.
  virtual HFPC PlayerRuntime() const = 0;
  virtual HttpMgr& Http() = 0;
  // The login's result (GETACCESSTOKEN); empty when there was no login.
  virtual const std::string& AccessToken() const = 0;
  // SETCONFIG's strings.
  virtual StoredStrings& MovieStrings() = 0;
  // The movie's URL of launcher type 3: empty until the URL query has answered, after which the
  // host posts WM_SWFURL_READY to the main window.
  virtual const std::string& ResolvedSwfUrl() const = 0;
  virtual void RequestSwfUrl() = 0;
  // Called by a window object once its window is gone.
  virtual void OnGameWindowDestroyed(CWnd* window) = 0;
  // The signed site every download is checked against; null when the configuration names no
  // site key. The window is made only once the site is settled (verified, or its kept index).
  virtual const SiteVerifier* SignedSite() const = 0;
  // The kept movies: the window keeps its movie there once it has played, and plays the copy when
  // its movie cannot be fetched.
  virtual OfflineMovieStore& OfflineMovies() = 0;
  // What the failure page the player quit at was about.
  enum class FailureQuit { kFailed, kSiteNotVerified };
  // The player quits at the failure page: the run ends as one that failed. The window goes next.
  virtual void OnFailureQuit(FailureQuit why) = 0;

 protected:
  ~GameWindowHost() = default;
};
