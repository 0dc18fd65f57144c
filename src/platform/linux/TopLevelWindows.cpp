#include "platform/TopLevelWindows.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "platform/DisplayConnection.h"

namespace platform {
namespace {

// A connection of our own: windows of any process are looked at, not only GDK's.
Display* SharedDisplay() {
  static Display* display = XOpenDisplay(nullptr);
  return display;
}

}  // namespace

NativeWindowId FindTopLevelWindow(const std::string& caption) {
  // One lookup for the GUI thread and the hall's thread alike; a connection of its own for it.
  DisplayConnection connection;
  return connection.FindTopLevelWindow(caption);
}

bool BringWindowToForeground(NativeWindowId window) {
  Display* display = SharedDisplay();
  if (display == nullptr || window == 0) return false;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = 2;  // a request from a pager-like tool, honoured by most managers
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, DefaultRootWindow(display), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
  XMapRaised(display, window);
  XFlush(display);
  return true;
}


}  // namespace platform
