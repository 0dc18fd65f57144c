#pragma once
// Top-level windows of any process on the X11 display, found by caption.
// GUI thread only. Every function fails (returns 0 or false) when no display is open.

#include <cstdint>
#include <string>

namespace platform {

// An X11 window id; 0 is none.
using NativeWindowId = uint64_t;

// The top-most, in stacking order, of the top-level windows (or client children of a window
// manager's frame) whose _NET_WM_NAME, else WM_NAME, equals `caption` exactly: the same lookup
// as DisplayConnection's. 0 when none is found.
NativeWindowId FindTopLevelWindow(const std::string& caption);

// Raises the window and asks the window manager to activate it (_NET_ACTIVE_WINDOW).
bool BringWindowToForeground(NativeWindowId window);

// Presents this process's own top-level window titled `caption`: shown, raised and focused through
// the window manager's activation request, which carries the time of the user's action. That time
// is taken from `startupId` (a DESKTOP_STARTUP_ID, "..._TIME<time>") and the id's launch feedback
// is ended; without one, the X server's current time is used. Whether the window manager honours
// the request is its own decision. false when this process has no window of that caption or no
// display is open.
bool PresentOwnWindow(const std::string& caption, const std::string& startupId);

}  // namespace platform
