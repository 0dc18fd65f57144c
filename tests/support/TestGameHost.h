#pragma once
// The game window's host in the unit tests: what the application would give the window, held in
// plain members that the tests set and read. Header only, so that a test binary links no more
// than the libraries it tests.

#include <string>

#include "base/StoredStrings.h"
#include "flash/GameWindowHost.h"
#include "flash/MovieSource.h"
#include "http/HttpMgr.h"

namespace testing_support {

class TestGameHost : public GameWindowHost {
 public:
  const GameWindowSettings& GameSettings() const override { return settings; }
  HFPC PlayerRuntime() const override { return runtime; }
  HttpMgr& Http() override { return http; }
  const std::string& AccessToken() const override { return accessToken; }
  StoredStrings& MovieStrings() override { return movieStrings; }
  const std::string& ResolvedSwfUrl() const override { return resolvedSwfUrl; }
  void RequestSwfUrl() override { ++swfUrlRequests; }
  void OnGameWindowDestroyed(CWnd* window) override {
    if (window == mainWindow) mainWindow = nullptr;
  }
  const SiteVerifier* SignedSite() const override { return signedSite; }
  OfflineMovieStore& OfflineMovies() override { return offlineMovies; }
  void OnFailureQuit(FailureQuit why) override {
    ++failureQuits;
    lastFailureQuit = why;
  }

  GameWindowSettings settings;
  HFPC runtime = 0;
  HttpMgr http;
  std::string accessToken;
  StoredStrings movieStrings;
  std::string resolvedSwfUrl;
  int swfUrlRequests = 0;
  // Where movies are kept: nowhere until a test names a folder of its own.
  OfflineMovieStore offlineMovies;
  int failureQuits = 0;
  FailureQuit lastFailureQuit = FailureQuit::kFailed;
  CWnd* mainWindow = nullptr;  // cleared when that window's object reports its window gone
  const SiteVerifier* signedSite = nullptr;
};

}  // namespace testing_support
