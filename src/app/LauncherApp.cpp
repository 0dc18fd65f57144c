#include "app/LauncherApp.h"

#include <cstdio>
#include <utility>

#include "app/FailureDialog.h"
#include "base/Log.h"
#include "flash/CTransparentFlashPlayerControlWnd.h"
#include "flash/FlashRuntime.h"
#include "login/LoginDlg.h"
#include "platform/DisplayConnection.h"
#include "platform/Environment.h"
#include "platform/MainLoop.h"
#include "platform/Processes.h"
#include "platform/Window.h"
#include "res/EmbeddedBinaries.h"

CLauncherApp theApp;

namespace {

constexpr int kExitNoDisplay = 1;

// Where the configuration came from, for a player.
std::string ConfigurationName(const CConfig& config) {
  return config.SourcePath().empty() ? "the launcher's built-in configuration" : config.SourcePath();
}

// Logs why no display could be opened and, when windows were needed, says so on standard error.
// Returns `windowsNeeded`.
bool ReportNoDisplay(bool windowsNeeded) {
  std::string why;
  switch (platform::WhyNoDisplay()) {
    case platform::MissingDisplay::kNone:
      why = "no display";
      break;
    case platform::MissingDisplay::kWaylandOnly:
      why = "needs X11 or XWayland, but DISPLAY is unset (only WAYLAND_DISPLAY is set)";
      break;
    case platform::MissingDisplay::kUnreachable:
      why = "cannot open the X display " + platform::GetEnvironmentVariable("DISPLAY").value_or("");
      break;
  }
  if (why == "no display")
    WriteLog("No display: windows cannot be shown");
  else
    WriteLog("No display: windows cannot be shown (%s)", why.c_str());
  if (windowsNeeded) std::fprintf(stderr, "brimtale-launcher: %s, windows cannot be shown\n", why.c_str());
  return windowsNeeded;
}

}  // namespace

CLauncherApp::CLauncherApp() = default;
CLauncherApp::~CLauncherApp() = default;

int CLauncherApp::Run() {
  if (!InitInstance()) return ExitInstance();
  // The loop lives as long as the main window; a window that could not be made ends the run.
  if (m_pMainWnd != nullptr) platform::RunMainLoop([this] { OnIdle(0); });
  return ExitInstance();
}

bool CLauncherApp::InitInstance() {
  platform::RaiseDescriptorLimit();
  m_hFPC = 0;
  m_offlineMovies = OfflineMovieStore(OfflineMovieStore::UserFolder());
  m_config.Load();
  if (!EnsureConfigurationParses()) return false;
  TakeGameWindowSettings();
  ProcessStartArguments();
  if (!CheckSingleInstance()) return false;

  m_httpMgr.SetVerifyTls(m_config.VerifyTls);
  m_httpMgr.SetProxy(m_config.Proxy);
  m_httpMgr.SetMaxReceiveBytesPerSecond(m_config.MaxDownloadBytesPerSecond);
  m_httpMgr.Start(m_config.HttpThreadCount);
  StartSiteCheck();
  if (!platform::InitGui()) {
    // Without windows there is nothing to wait for: end at once and free the lock.
    if (ReportNoDisplay(m_config.LauncherType >= 1 && m_config.LauncherType <= 3)) {
      m_exitCode = kExitNoDisplay;
      return false;
    }
  }
  InitFlashInBox();
  if (!EnsureKnownLauncherType() || !EnsurePlayerLoaded()) return false;

  switch (m_config.LauncherType) {
    case 1:
      if (!EnsureSiteVerified()) return false;
      m_pMainWnd = CreateFlashPlayerWindow(*this);
      return true;
    case 2:
    case 3:
      return RunLoginThenCreateMainWindow();
    default:
      return false;
  }
}

void CLauncherApp::TakeGameWindowSettings() {
  const std::string& configuredMovie = m_config.LauncherType == 3 ? m_config.GetSwfUrl : m_config.SwfUrl;
  m_gameWindowSettings = {m_config.LauncherType, m_config.LauncherCaption, m_config.SwfUrl,
                          m_config.ShowBorder,   m_config.Width,           m_config.Height,
                          m_config.MoreHttpLog,  OfflineMovieKey(m_config.LauncherType, configuredMovie)};
}

bool CLauncherApp::AskToTryAgain(const FailureNotice& notice) {
  if (!platform::InitGui()) return false;
  FailureDialog dialog(m_config.LauncherCaption);
  const bool again = dialog.DoModal(notice) == IDRETRY;
  WriteLog(again ? "Failure page: trying again" : "Failure page: the player quits");
  return again;
}

bool CLauncherApp::EnsureConfigurationParses() {
  while (m_config.LoadFailed()) {
    if (!AskToTryAgain({"The launcher's configuration cannot be read", m_config.SourcePath(),
                        "reading it failed: " + m_config.LoadError() + "; correct it and try again"})) {
      m_exitCode = kExitConfiguration;
      return false;
    }
    m_config.Load();
  }
  return true;
}

bool CLauncherApp::EnsureKnownLauncherType() {
  while (m_config.LauncherType < 1 || m_config.LauncherType > 3) {
    const std::string where = ConfigurationName(m_config);
    const std::string type = std::to_string(m_config.LauncherType);
    WriteLog("LauncherType %s is not 1, 2 or 3", type.c_str());
    std::fprintf(stderr, "brimtale-launcher: LauncherType %s in %s is not 1, 2 or 3\n", type.c_str(), where.c_str());
    if (!AskToTryAgain({"The launcher is not set up to start a game", where,
                        "its LauncherType is " + type +
                            "; it must be 1 (started by the game hall), 2 (a login page, then the game) or 3 (a "
                            "login page, with the game's address from its server)"})) {
      m_exitCode = kExitConfiguration;
      return false;
    }
    m_config.Load();
    if (!EnsureConfigurationParses()) return false;
    TakeGameWindowSettings();
    ProcessStartArguments();  // launcher type 1 reads its start arguments
  }
  return true;
}

bool CLauncherApp::EnsurePlayerLoaded() {
  // Without a display no window could show the player anyway.
  while (platform::IsGuiAvailable() && (m_hFPC == 0 || flash::FPC_GetClassAtomA(m_hFPC) == 0)) {
    WriteLog("The player cannot be loaded");
    if (!AskToTryAgain({"The game's player cannot be loaded", "",
                        "no player control could be loaded (FlashMode " + std::to_string(m_config.FlashMode) +
                            "): neither the one the launcher carries, nor flash.ocx beside it, nor an installed one"})) {
      m_exitCode = kExitFailed;
      return false;
    }
    if (m_hFPC != 0) flash::FPC_UnloadCode(m_hFPC);
    m_hFPC = 0;
    InitFlashInBox();
  }
  return true;
}

bool CLauncherApp::RunLoginThenCreateMainWindow() {
  LoginDlgSettings settings;
  settings.caption = m_config.LauncherCaption;
  settings.loginUrl = m_config.LoginUrl;
  if (m_config.LauncherType == 3)
    settings.onPortalUserSignedIn = [this](std::string userId) { RequestPortalUserLoginAnalysis(std::move(userId)); };
  settings.failurePage = res::FailurePageTemplate();
  settings.failureScript = res::FailurePageScript();
  settings.offlineCopy = m_offlineMovies.Has(m_gameWindowSettings.offlineKey);
  // Once the login page shows, the game window is made ready behind it: hidden, its player loading
  // its code, and its movie, where the URL is known, fetched and held until the login ends. Not
  // sooner: on a busy machine the player's start would hold up the page the player waits for.
  settings.onPageShown = [this] {
    if (m_preparedWnd == nullptr) m_preparedWnd = PrepareFlashPlayerWindow(*this);
  };
  LoginDlg dialog(std::move(settings), m_accessToken);
  // The movie's URL is fetched while the player signs in.
  if (m_config.LauncherType == 3) RequestSwfUrl();
  const int result = dialog.DoModal();
  CTransparentFlashPlayerControlWnd* prepared = std::exchange(m_preparedWnd, nullptr);
  // The window goes with its web view before the run ends; no loop runs in between, so its pending
  // movie fetch never reaches it.
  auto endWithoutGame = [prepared] {
    if (prepared != nullptr) prepared->DestroyWindow();
    return false;
  };
  switch (result) {
    case IDOK:
      if (!EnsureSiteVerified()) return endWithoutGame();
      m_pMainWnd = prepared != nullptr ? ShowPreparedFlashPlayerWindow(prepared) : CreateFlashPlayerWindow(*this);
      // A URL query that has failed already shows its failure (or its offline copy plays).
      if (m_config.LauncherType == 3 && m_swfUrlFailures > 0) ReportSwfUrlFailure();
      return true;
    case IDPLAYOFFLINE:
      if (!EnsureSiteVerified()) return endWithoutGame();
      m_playsOffline = true;
      m_swfUrlRetry.Cancel();
      m_pMainWnd = prepared != nullptr ? ShowPreparedFlashPlayerWindow(prepared, MovieStart::kOfflineCopy)
                                       : CreateFlashPlayerWindow(*this, MovieStart::kOfflineCopy);
      return true;
    default:
      if (dialog.QuitAtFailurePage()) m_exitCode = kExitFailed;
      return endWithoutGame();
  }
}

bool CLauncherApp::OnIdle(long) {
  m_httpMgr.DispatchEvents();
  return false;
}

int CLauncherApp::ExitInstance() {
  WriteLog("Exit Instance");
  m_swfUrlRetry.Cancel();
  m_httpMgr.Stop();
  if (m_hFPC != 0) {
    flash::FPC_UnloadCode(m_hFPC);
    m_hFPC = 0;
  }
  // No web view is left: their processes end with the run, not some time after it.
  platform::EndWebEngineProcesses();
  m_hMutex.Release();
  return m_exitCode;
}

void CLauncherApp::OnGameWindowDestroyed(CWnd* window) {
  if (window == m_preparedWnd) m_preparedWnd = nullptr;
  // Only the main window's end ends the message loop.
  if (window != m_pMainWnd) return;
  m_pMainWnd = nullptr;
  platform::QuitMainLoop();
}
