#pragma once
// The launcher's application object: start-up, the idle hook that delivers HTTP events, and exit.
// Everything here runs on the GUI thread.

#include <cstdint>
#include <memory>
#include <random>
#include <string>

#include "app/Config.h"
#include "app/RetryPacing.h"
#include "base/FailurePage.h"
#include "base/StoredStrings.h"
#include "brimtale/runtime_api.h"
#include "flash/GameWindowHost.h"
#include "flash/MovieSource.h"
#include "http/HttpMgr.h"
#include "platform/InstanceLock.h"
#include "platform/MainLoop.h"
#include "site/SiteVerifier.h"

class CTransparentFlashPlayerControlWnd;
class CWnd;

class CLauncherApp : public GameWindowHost {
 public:
  CLauncherApp();
  virtual ~CLauncherApp();
  CLauncherApp(const CLauncherApp&) = delete;
  CLauncherApp& operator=(const CLauncherApp&) = delete;

  // The framework's part: InitInstance, the message loop while the main window lives, then
  // ExitInstance. Returns the process's exit code.
  int Run();

  // The start-up sequence. false: no main window, the process goes to ExitInstance.
  virtual bool InitInstance();
  // Delivers the HTTP events the worker has queued; runs each time the loop has drained.
  virtual bool OnIdle(long count);
  // Stops the HTTP worker, unloads the runtime, releases the lock. Returns the exit code: 0, or 1
  // when windows were needed and no display could be opened.
  virtual int ExitInstance();

  // Takes the single-instance lock and serves later copies' requests to present this copy's
  // window. false when another copy of this version runs (it is asked to present its window, else
  // its window found by caption is brought forward), or when no lock can be made at all; standard
  // error says which.
  bool CheckSingleInstance();

  // Start arguments and the start-up requests (launcher type 1 and 3).
  void ProcessStartArguments();
  void OnGetSwfUrl(HttpTaskEvent* event);
  void ScheduleSwfUrlRetry(const std::string& url, const std::string& cause);
  // The URL query has failed and the game window waits for its movie: the offline copy plays, or
  // the window's failure page says why and when the next try comes.
  void ReportSwfUrlFailure();
  void OnQQUserLoginAnalysis(HttpTaskEvent* event);
  void RequestPortalUserLoginAnalysis(std::string userId);
  void OnPortalUserLoginAnalysis(HttpTaskEvent* event);

  // The signed site (SiteKey): its index fetched at start, while the player signs in; the game
  // window is made only once the site is settled. false (with the exit code set) when it cannot
  // be verified.
  void StartSiteCheck();
  void RequestSiteIndex(bool pastCaches);
  void OnSiteIndex(HttpTaskEvent* event);
  bool EnsureSiteVerified();

  // Loads the player runtime and sets m_hFPC; true when loaded with transparent windows.
  bool InitFlashInBox();
  bool InitFlashInBox_External();
  bool InitFlashInBox_Resource();
  bool InitFlashInBox_Installed();

  // What the game window is given (flash/GameWindowHost.h).
  const GameWindowSettings& GameSettings() const override { return m_gameWindowSettings; }
  HFPC PlayerRuntime() const override { return m_hFPC; }
  HttpMgr& Http() override { return m_httpMgr; }
  const std::string& AccessToken() const override { return m_accessToken; }
  StoredStrings& MovieStrings() override { return m_setConfig; }
  const std::string& ResolvedSwfUrl() const override { return m_config.ResolvedSwfUrl; }
  void RequestSwfUrl() override;
  void OnGameWindowDestroyed(CWnd* window) override;
  const SiteVerifier* SignedSite() const override { return m_site.get(); }
  OfflineMovieStore& OfflineMovies() override { return m_offlineMovies; }
  void OnFailureQuit(FailureQuit why) override {
    m_exitCode = why == FailureQuit::kSiteNotVerified ? kExitSiteNotVerified : kExitFailed;
  }

  // Exit codes besides 0: windows were needed and none could be shown, or the player quit at a
  // failure page (1); the configuration cannot be used (2); the signed site cannot be verified (3).
  static constexpr int kExitFailed = 1;
  static constexpr int kExitConfiguration = 2;
  static constexpr int kExitSiteNotVerified = 3;

  HttpMgr m_httpMgr;
  CConfig m_config;
  platform::InstanceLock m_hMutex;
  HFPC m_hFPC = 0;
  std::string m_accessToken;
  // The three strings the movie stores (SETCONFIG); index 0 is also read by the hall's thread.
  StoredStrings m_setConfig;
  CWnd* m_pMainWnd = nullptr;
  // The game window made ready, hidden, while the player signs in (launcher types 2 and 3); null
  // outside the login and when it could not be made.
  CTransparentFlashPlayerControlWnd* m_preparedWnd = nullptr;
  // The configuration's part that the game window reads, taken once the configuration is loaded.
  GameWindowSettings m_gameWindowSettings;

  // The paced repetition of a failing movie URL query.
  platform::LoopTimer m_swfUrlRetry;
  uint32_t m_swfUrlRetryDueMs = 0;  // tick count when the pending retry runs
  uint32_t m_swfUrlFailures = 0;
  std::string m_swfUrlFailure;  // why the last query failed
  LogThrottle m_swfUrlLogThrottle;
  std::minstd_rand m_random{std::random_device{}()};

  std::unique_ptr<SiteVerifier> m_site;  // null without a SiteKey
  bool m_siteAskedPastCaches = false;     // the index request in flight is the second one
  // Movies kept for an offline start; the game window plays the copy of its configuration
  // (m_gameWindowSettings.offlineKey) when it cannot fetch its movie. Once that copy plays, the
  // URL query is not asked again.
  OfflineMovieStore m_offlineMovies;
  bool m_playsOffline = false;

 private:
  bool RunLoginThenCreateMainWindow();
  // The part of the configuration the game window reads, taken again after each reading.
  void TakeGameWindowSettings();
  // A configuration file that does not parse, or a launcher type there is none of: the failure
  // page says so until the file reads well (Try again reads it again) or the player quits.
  // false: the run ends (the exit code is set).
  bool EnsureConfigurationParses();
  bool EnsureKnownLauncherType();
  // The player control could not be loaded: the failure page until it loads or the player quits.
  bool EnsurePlayerLoaded();
  // Shows the failure page in a window of its own; true when the player asks to try again.
  bool AskToTryAgain(const FailureNotice& notice);
  // The later copy's part of CheckSingleInstance; sets the exit code when the first stays unseen.
  void RaiseFirstCopy();

  int m_exitCode = 0;  // what ExitInstance returns
};

// The one application object.
extern CLauncherApp theApp;

