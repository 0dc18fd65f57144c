// The main window: its creation in the two forms (at once, or hidden behind the login and shown
// after it), the drag, the movie's loading, its end.
// GUI thread only.
#include <string>

#include "base/Log.h"
#include "flash/CTransparentFlashPlayerControlWnd.h"
#include "flash/FlashRuntime.h"
#include "flash/MovieSource.h"
#include "platform/Clock.h"
#include "platform/Window.h"

namespace {

constexpr uint32_t kClassStyleRedrawOnResize = 0x0003;  // CS_HREDRAW | CS_VREDRAW
// The player class's own style bits, passed through unchanged in the bordered form.
constexpr uint32_t kPlayerStyleBits = 0x0009;

struct GameWindows {
  HWND main = nullptr;
  HWND player = nullptr;  // the main window itself in the borderless form
};

// Creates the main and the player window, the main one shown or not (`shown` is WS_VISIBLE or 0);
// logs the borderless creation's timings when asked. Nothing (logged) when the player window
// cannot be created.
GameWindows CreateGameWindows(const GameWindowHost& host, uint32_t shown, bool logCreation) {
  const GameWindowSettings& config = host.GameSettings();
  GameWindows windows;
  if (config.showBorder) {
    WindowClassInfo mainClass{"MainWClass", nullptr, nullptr, kClassStyleRedrawOnResize};
    uint32_t mainAtom = RegisterWindowClass(&mainClass);
    windows.main = CreateWindowEx(0, mainAtom, nullptr, WS_POPUP | shown | WS_THICKFRAME, 0, 0, config.width,
                                  config.height, nullptr);
    if (windows.main != nullptr) {
      windows.player = CreateWindowEx(0, flash::FPC_GetClassAtomA(host.PlayerRuntime()), nullptr,
                                      WS_CHILD | kPlayerStyleBits, 0, 0, config.width, config.height, windows.main);
    }
  } else {
    if (logCreation) WriteLog("Before CreateWindowEx: %u", platform::GetTickCount());
    windows.main = CreateWindowEx(WS_EX_LAYERED, flash::FPC_GetClassAtomA(host.PlayerRuntime()), nullptr,
                                  WS_POPUP | shown, 0, 0, config.width, config.height, nullptr);
    if (logCreation) WriteLog("After CreateWindowEx: %u", platform::GetTickCount());
    windows.player = windows.main;
  }
  // Without a player (no runtime loaded, no display) there is nothing to show: the run ends.
  if (windows.player == nullptr) {
    WriteLog("CreateFlashPlayerWindow: the player window cannot be created");
    if (windows.main != nullptr) DestroyWindow(windows.main);
    return {};
  }
  return windows;
}

CTransparentFlashPlayerControlWnd* AttachWindowObject(GameWindowHost& host, const GameWindows& windows) {
  auto* window = new CTransparentFlashPlayerControlWnd(host);
  window->SubclassWindow(windows.main);
  window->m_hFlashWnd = windows.player;
  return window;
}

// Gives the window its caption and shows it in the middle of the screen. The title bar is not
// shown; a second copy of the launcher finds this one by the caption.
void ShowMainWindow(CTransparentFlashPlayerControlWnd* window) {
  window->SetWindowText(window->Settings().caption);
  window->CenterWindow();
  window->ShowWindow(SW_SHOW);
  window->UpdateWindow();
}

// The player's own context menu goes; the bridge hears the movie. With a signed site every movie
// comes through the launcher, checked, and the player fetches nothing: sealed before anything else
// is loaded, since sealing starts the page afresh.
void ConnectPlayer(GameWindowHost& host, CTransparentFlashPlayerControlWnd* window) {
  flash::FPC_PutStandardMenu(window->m_hFlashWnd, 0);
  flash::FPCSetEventListener(window->m_hFlashWnd, &CTransparentFlashPlayerControlWnd::FlashEventListener, window);
  if (host.SignedSite() != nullptr) flash::FPC_LoadMovieA(window->m_hFlashWnd, 0, BRIMTALE_SEALED_PLAYER_URL);
}

}  // namespace

CWnd* CreateFlashPlayerWindow(GameWindowHost& host, MovieStart start) {
  const GameWindows windows = CreateGameWindows(host, WS_VISIBLE, true);
  if (windows.player == nullptr) return nullptr;
  if (host.GameSettings().showBorder) SetForegroundWindow(windows.player);
  auto* window = AttachWindowObject(host, windows);
  ShowMainWindow(window);
  ConnectPlayer(host, window);
  window->StartMovieOrOfflineCopy(start);
  window->SetWindowPosTop();
  return window;
}

CTransparentFlashPlayerControlWnd* PrepareFlashPlayerWindow(GameWindowHost& host) {
  const GameWindows windows = CreateGameWindows(host, 0, false);
  if (windows.player == nullptr) return nullptr;
  auto* window = AttachWindowObject(host, windows);
  ConnectPlayer(host, window);
  window->HoldMovieUntilStart();
  return window;
}

CWnd* ShowPreparedFlashPlayerWindow(CTransparentFlashPlayerControlWnd* window, MovieStart start) {
  // Where a window is made visible at once, its creation is its showing: the timings measure that.
  const bool borderless = !window->Settings().showBorder;
  if (borderless) WriteLog("Before CreateWindowEx: %u", platform::GetTickCount());
  ShowMainWindow(window);
  if (borderless) WriteLog("After CreateWindowEx: %u", platform::GetTickCount());
  if (!borderless) SetForegroundWindow(window->m_hFlashWnd);
  window->StartPreparedMovie(start);
  window->SetWindowPosTop();
  return window;
}

LRESULT CTransparentFlashPlayerControlWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (m_hFlashWnd != nullptr && m_hFlashWnd != m_hWnd) {
    LRESULT playerResult = 0;
    BOOL handled = 0;
    flash::FPC_CallWndProc(m_hFlashWnd, message, wParam, lParam, &playerResult, &handled);
  }

  switch (message) {
    case WM_PAINT: {
      HDC dc = GetDC(m_hWnd);
      flash::FPC_PaintTo(m_hFlashWnd, dc);
      ReleaseDC(m_hWnd, dc);
      break;
    }
    case WM_LBUTTONDOWN: {
      // Both ends of the drag add the client point to the window's corner, so the window follows
      // the cursor by exactly the distance it has moved since the press.
      int x = GET_X_LPARAM(lParam);
      int y = GET_Y_LPARAM(lParam);
      RECT rect;
      GetWindowRect(&rect);
      m_nDragCursorX = rect.left + x;
      m_nDragCursorY = rect.top + y;
      m_nDragWindowX = rect.left;
      m_nDragWindowY = rect.top;
      m_bDragging = 1;
      SetCapture();
      break;
    }
    case WM_MOUSEMOVE:
      if (m_bDragging) {
        int x = GET_X_LPARAM(lParam);
        int y = GET_Y_LPARAM(lParam);
        RECT rect;
        GetWindowRect(&rect);
        MoveWindow(rect.left + x + (m_nDragWindowX - m_nDragCursorX), rect.top + y + (m_nDragWindowY - m_nDragCursorY),
                   rect.right - rect.left, rect.bottom - rect.top, true);
      }
      break;
    case WM_LBUTTONUP:
      m_bDragging = 0;
      ReleaseCapture();
      break;
    case WM_SWFURL_READY:
      if (!m_host.ResolvedSwfUrl().empty()) LoadSwf(m_host.ResolvedSwfUrl(), this);
      break;
    case WM_COMMAND:
      if (OnFailurePageCommand(wParam)) return 0;  // the object is gone
      break;
    default:
      break;
  }
  return CWnd::WindowProc(message, wParam, lParam);
}

void CTransparentFlashPlayerControlWnd::PostNcDestroy() {
  m_host.OnGameWindowDestroyed(this);
  delete this;
}

void LoadSwf(const std::string& url, CTransparentFlashPlayerControlWnd* window) {
  const int launcherType = window != nullptr ? window->Settings().launcherType : 0;
  std::string loaded = MovieUrlWithTime(url, launcherType, platform::GetUnixTime());
  // A window prepared behind the login logs its load when it shows, where the log has it.
  if (window == nullptr || !window->HoldsMovie()) WriteLog("*Load SwfUrl: %s", loaded.c_str());
  if (window != nullptr) window->LoadMovieFrom(url, loaded);
}
