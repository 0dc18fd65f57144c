#include "app/LauncherApp.h"

#include <cstdio>
#include <utility>

#include "base/Log.h"
#include "flash/CTransparentFlashPlayerControlWnd.h"
#include "flash/FlashRuntime.h"
#include "login/LoginDlg.h"
#include "platform/MainLoop.h"
#include "platform/Processes.h"
#include "platform/TopLevelWindows.h"
#include "platform/Window.h"

CLauncherApp theApp;

namespace {

constexpr int kExitNoDisplay = 1;

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
  m_config.Load();
  m_gameWindowSettings = {m_config.LauncherType, m_config.LauncherCaption, m_config.SwfUrl, m_config.ShowBorder,
                          m_config.Width,        m_config.Height,          m_config.MoreHttpLog};
  ProcessStartArguments();
  if (!CheckSingleInstance()) return false;

  m_httpMgr.SetVerifyTls(m_config.VerifyTls);
  m_httpMgr.SetProxy(m_config.Proxy);
  m_httpMgr.SetMaxReceiveBytesPerSecond(m_config.MaxDownloadBytesPerSecond);
  m_httpMgr.Start(m_config.HttpThreadCount);
  StartSiteCheck();
  if (!platform::InitGui()) {
    WriteLog("No display: windows cannot be shown");
    // Without windows there is nothing to wait for: end at once and free the lock.
    if (m_config.LauncherType >= 1 && m_config.LauncherType <= 3) {
      std::fputs("brimtale-launcher: no display, windows cannot be shown\n", stderr);
      m_exitCode = kExitNoDisplay;
      return false;
    }
  }
  InitFlashInBox();

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

bool CLauncherApp::RunLoginThenCreateMainWindow() {
  LoginDlgSettings settings{m_config.LauncherCaption, m_config.LoginUrl, nullptr};
  if (m_config.LauncherType == 3)
    settings.onPortalUserSignedIn = [this](std::string userId) { RequestPortalUserLoginAnalysis(std::move(userId)); };
  LoginDlg dialog(std::move(settings), m_accessToken);
  // The movie's URL is fetched while the player signs in.
  if (m_config.LauncherType == 3) RequestSwfUrl();
  if (dialog.DoModal() != IDOK || !EnsureSiteVerified()) return false;
  m_pMainWnd = CreateFlashPlayerWindow(*this);
  return true;
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
  m_hMutex.Release();
  return m_exitCode;
}

bool CLauncherApp::CheckSingleInstance() {
  std::string name = "ZELQ_LAUNCHER_MUTEX_" + GetExeVersion(nullptr);
  if (name.size() > 118) name.resize(118);
  switch (m_hMutex.Acquire(name)) {
    case platform::InstanceLock::Result::kHeldElsewhere: {
      platform::InitGui();
      if (auto window = platform::FindTopLevelWindow(m_config.LauncherCaption))
        platform::BringWindowToForeground(window);
      return false;
    }
    case platform::InstanceLock::Result::kAcquired:
    case platform::InstanceLock::Result::kFailed:  // runs without the lock
      return true;
  }
  return true;
}

void CLauncherApp::OnGameWindowDestroyed(CWnd* window) {
  // Only the main window's end ends the message loop.
  if (window != m_pMainWnd) return;
  m_pMainWnd = nullptr;
  platform::QuitMainLoop();
}
