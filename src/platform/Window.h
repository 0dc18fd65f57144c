#pragma once
// The window layer: windows addressed by HWND, window classes with a window procedure, messages,
// and CWnd, the object that can be attached to a window to see its messages first.
// Backed by GtkWindow on this platform. GUI thread only, unless a function says otherwise.
// Windows can be created without a display: they have no widgets then, keep their geometry and
// still receive messages, so everything here works in tests without a screen.
//
// Pointer input of a top-level window arrives as WM_LBUTTONDOWN, WM_MOUSEMOVE, ... with client
// coordinates in lParam; keys as WM_KEYDOWN and WM_KEYUP with the GDK key value in wParam and the
// hardware key code in lParam (not Windows' virtual-key codes); drawing as WM_PAINT (GetDC gives
// the context); the close button as WM_CLOSE, whose default handling destroys the window.
//
// The player runtime library registers its player class through RegisterWindowClass (exported
// from the executable) and creates its windows' contents in the class's create hook.

#include <cstdint>
#include <string>

#include "brimtale/runtime_api.h"

constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_SIZE = 0x0005;
constexpr UINT WM_PAINT = 0x000F;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_NCDESTROY = 0x0082;
constexpr UINT WM_KEYDOWN = 0x0100;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_KEYUP = 0x0101;
constexpr UINT WM_CHAR = 0x0102;
constexpr UINT WM_MOUSEMOVE = 0x0200;
constexpr UINT WM_LBUTTONDOWN = 0x0201;
constexpr UINT WM_LBUTTONUP = 0x0202;
constexpr UINT WM_RBUTTONDOWN = 0x0204;
constexpr UINT WM_RBUTTONUP = 0x0205;
constexpr UINT WM_MOUSEWHEEL = 0x020A;
constexpr UINT WM_USER = 0x0400;

constexpr uint32_t WS_POPUP = 0x80000000u;
constexpr uint32_t WS_CHILD = 0x40000000u;
constexpr uint32_t WS_VISIBLE = 0x10000000u;
constexpr uint32_t WS_THICKFRAME = 0x00040000u;
constexpr uint32_t WS_EX_LAYERED = 0x00080000u;

// The buttons of dialogs and pages, as WM_COMMAND's wParam, and the results of modal dialogs. The
// player runtime's failure page sends IDRETRY (Try again) and IDCANCEL (Quit) to the player's
// top-level window.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDRETRY = 4;

constexpr int SW_HIDE = 0;
constexpr int SW_SHOW = 5;
constexpr int SW_MINIMIZE = 6;
constexpr int SW_RESTORE = 9;

struct RECT {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
};

constexpr int16_t GET_X_LPARAM(LPARAM lParam) { return static_cast<int16_t>(lParam & 0xFFFF); }
constexpr int16_t GET_Y_LPARAM(LPARAM lParam) { return static_cast<int16_t>((lParam >> 16) & 0xFFFF); }
constexpr LPARAM MAKELPARAM(int x, int y) {
  return static_cast<LPARAM>((static_cast<uint32_t>(y & 0xFFFF) << 16) | static_cast<uint32_t>(x & 0xFFFF));
}

// The window layer's C entry points, which the executable also exports to the player runtime
// library. Their signatures are listed once, in BRIMTALE_HOST_OPERATIONS; the types they take
// (WindowClassInfo, WNDPROC, WindowCreateHook) are in brimtale/runtime_api.h.
//
// RegisterWindowClass(info): registers a class and returns its id (an atom, never 0 on success; 0
//   on failure). A name that is registered already keeps its atom and takes the new procedure and
//   hook.
// UnregisterWindowClass(name): forgets a class (its code is going away); windows of it then get
//   DefWindowProc. false when unknown.
// GetWindowWidget(window): the native widget of a window (a GtkOverlay, as GtkWidget*), the
//   container for the class's contents; null for a window that is gone and for every window while
//   no display is open.
// GetWindowStyle(window), GetWindowExStyle(window): the style and extended style the window was
//   created with; 0 for a window that is gone.
// GetParent(window): the parent of a WS_CHILD window; null for top-level windows and windows that
//   are gone.
// SendMessage(window, message, wParam, lParam): sends a message to a window's procedure (its
//   attached CWnd first) and returns the result.
// DefWindowProc(window, message, wParam, lParam): the class procedure's default handling.
// GetDC(window): the drawing context (a cairo_t*) of the window's WM_PAINT in progress; null
//   outside WM_PAINT. ReleaseDC(window, dc) gives it back.
extern "C" {
#define BRIMTALE_DECLARE_HOST_OPERATION(ret, name, params, args) ret name params;
BRIMTALE_HOST_OPERATIONS(BRIMTALE_DECLARE_HOST_OPERATION)
#undef BRIMTALE_DECLARE_HOST_OPERATION
}

// Creates a window of the class `classAtom`; null on failure. A WS_CHILD window lies inside
// `parent`; without WS_VISIBLE it stays hidden. Caption empty when `title` is null. Here and in
// MoveWindow the size is held to what can be drawn: at most the screen (every monitor's bounding
// box) and at most 32767 pixels a side.
HWND CreateWindowEx(uint32_t exStyle, uint32_t classAtom, const char* title, uint32_t style, int x, int y, int width,
                    int height, HWND parent, const void* createParameter = nullptr);
uint32_t FindWindowClass(const char* name);  // 0 when not registered
bool IsWindow(HWND window);
// Queues a message for the window's procedure; callable from any thread. false when the window is
// gone; a window destroyed before delivery does not get the message.
bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// WM_DESTROY, the children's destruction, WM_NCDESTROY (after which the attached CWnd is detached
// and its PostNcDestroy runs), then the widgets go. false for a window that is gone.
bool DestroyWindow(HWND window);
// Raises the window's top-level window and asks for the input focus.
void SetForegroundWindow(HWND window);

class CWnd {
 public:
  CWnd() = default;
  virtual ~CWnd();
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  // Attaches this object to `window`: from now on WindowProc sees its messages first.
  bool SubclassWindow(HWND window);
  HWND GetSafeHwnd() const { return m_hWnd; }

  // Every message of the attached window passes here; the default hands it on to the window's
  // previous procedure.
  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  // Called after the window is gone (WM_NCDESTROY). Objects that own themselves delete here.
  virtual void PostNcDestroy() {}

  void SetWindowText(const std::string& text);
  std::string GetWindowText() const;
  // Screen coordinates. Without a display a window keeps the geometry it was given.
  bool GetWindowRect(RECT* rect) const;
  bool MoveWindow(int x, int y, int width, int height, bool repaint = true);
  void CenterWindow();
  bool ShowWindow(int command);
  void UpdateWindow();
  bool SetWindowPosTop();  // to the top of the z-order, keeping position and size
  void SetForegroundWindow();
  // Mouse capture: the pointer is grabbed for this window until ReleaseCapture.
  void SetCapture();
  static void ReleaseCapture();
  static HWND GetCapture();  // null when no window holds the capture
  bool DestroyWindow();
  bool IsIconic() const;
  bool IsWindowVisible() const;
  // Whether the window has a taskbar entry.
  void SetShownInTaskbar(bool shown);

  HWND m_hWnd = nullptr;
};
