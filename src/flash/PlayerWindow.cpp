// The main window: its creation in the two forms, the drag, the movie's loading, its end.
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

}  // namespace

CWnd* CreateFlashPlayerWindow(GameWindowHost& host, MovieStart start) {
  const GameWindowSettings& config = host.GameSettings();
  HWND mainWindow = nullptr;
  HWND playerWindow = nullptr;
  if (config.showBorder) {
    WindowClassInfo mainClass{"MainWClass", nullptr, nullptr, kClassStyleRedrawOnResize};
    uint32_t mainAtom = RegisterWindowClass(&mainClass);
    mainWindow = CreateWindowEx(0, mainAtom, nullptr, WS_POPUP | WS_VISIBLE | WS_THICKFRAME, 0, 0, config.width,
                                config.height, nullptr);
    if (mainWindow != nullptr) {
      playerWindow = CreateWindowEx(0, flash::FPC_GetClassAtomA(host.PlayerRuntime()), nullptr, WS_CHILD | kPlayerStyleBits, 0,
                                    0, config.width, config.height, mainWindow);
    }
    if (playerWindow != nullptr) SetForegroundWindow(playerWindow);
  } else {
    WriteLog("Before CreateWindowEx: %u", platform::GetTickCount());
    mainWindow = CreateWindowEx(WS_EX_LAYERED, flash::FPC_GetClassAtomA(host.PlayerRuntime()), nullptr, WS_POPUP | WS_VISIBLE,
                                0, 0, config.width, config.height, nullptr);
    WriteLog("After CreateWindowEx: %u", platform::GetTickCount());
    playerWindow = mainWindow;
  }
  // Without a player (no runtime loaded, no display) there is nothing to show: the run ends.
  if (playerWindow == nullptr) {
    WriteLog("CreateFlashPlayerWindow: the player window cannot be created");
    if (mainWindow != nullptr) DestroyWindow(mainWindow);
    return nullptr;
  }

  auto* window = new CTransparentFlashPlayerControlWnd(host);
  window->SubclassWindow(mainWindow);
  window->m_hFlashWnd = playerWindow;
  // The title bar is not shown; a second copy of the launcher finds this one by this text.
  window->SetWindowText(config.caption);
  window->CenterWindow();
  window->ShowWindow(SW_SHOW);
  window->UpdateWindow();
  flash::FPC_PutStandardMenu(playerWindow, 0);
  flash::FPCSetEventListener(playerWindow, &CTransparentFlashPlayerControlWnd::FlashEventListener, window);
  // With a signed site every movie comes through the launcher, checked; the player fetches nothing.
  if (host.SignedSite() != nullptr) flash::FPC_LoadMovieA(playerWindow, 0, BRIMTALE_SEALED_PLAYER_URL);
  if (start == MovieStart::kConfigured) {
    window->StartMovie();
  } else if (!window->PlayOfflineCopy("the player chose to play offline")) {
    window->ShowFailurePage({"The game cannot be played offline", "", "no copy of the game's movie is kept here"});
  }
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
  WriteLog("*Load SwfUrl: %s", loaded.c_str());
  if (window != nullptr) window->LoadMovieFrom(url, loaded);
}
