#pragma once
// Top-level windows of any process, for threads other than the GUI thread (the game hall's
// thread acts on the game window from its own thread).
//
// Each object opens an X11 connection of its own and is used by one thread at a time; the GUI
// thread's connections (GDK's, and the one behind TopLevelWindows.h) are never touched, so no
// lock and no Xlib state is shared with the GUI thread. Every request is synchronous: an X error
// it causes (a window that vanished between finding it and acting on it) is reported by the
// call's result and LastError, and never reaches Xlib's process-wide error handler.

#include <string>

#include "platform/TopLevelWindows.h"

namespace platform {

// Why no X11 display could be opened: nothing names one (kNone), only a Wayland display is named
// (kWaylandOnly: DISPLAY unset, WAYLAND_DISPLAY set; the windows need X11 or XWayland), or the one
// DISPLAY names cannot be reached (kUnreachable). Any thread.
enum class MissingDisplay { kNone, kWaylandOnly, kUnreachable };
MissingDisplay WhyNoDisplay();

class DisplayConnection {
 public:
  // Opens the default display ($DISPLAY); IsOpen() is false when it cannot.
  DisplayConnection();
  ~DisplayConnection();
  DisplayConnection(const DisplayConnection&) = delete;
  DisplayConnection& operator=(const DisplayConnection&) = delete;

  bool IsOpen() const { return m_display != nullptr; }

  // The top-most, in stacking order, of the top-level windows (or client children of a window
  // manager's frame) whose _NET_WM_NAME, else WM_NAME, equals `caption` exactly; hidden windows
  // count. 0 when none is found or not open.
  NativeWindowId FindTopLevelWindow(const std::string& caption);

  // Shows (maps and raises) or hides (withdraws) the window. Returns 1 when the window was
  // viewable before the call, else 0 (the result of ShowWindow); 0 as well on failure.
  int ShowWindow(NativeWindowId window, bool visible);

  // Whether the window is mapped and all its ancestors are (what the user could see).
  bool IsWindowViewable(NativeWindowId window);

  // Asks the window manager to activate the window (_NET_ACTIVE_WINDOW) and gives it the input
  // focus when it is viewable. false when a request failed (LastError).
  bool ActivateWindow(NativeWindowId window);

  // Puts the window at the top of the stacking order. false when the request failed (LastError).
  bool RaiseWindow(NativeWindowId window);

  // The X error code of the last failed request of this connection; 0 when none failed.
  int LastError() const { return m_lastError; }

 private:
  void* m_display = nullptr;  // xcb_connection_t*
  int m_lastError = 0;
};

}  // namespace platform
