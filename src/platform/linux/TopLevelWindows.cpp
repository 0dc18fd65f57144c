#include "platform/TopLevelWindows.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstring>
#include <vector>

namespace platform {
namespace {

// A connection of our own: windows of any process are looked at, not only GDK's.
Display* SharedDisplay() {
  static Display* display = XOpenDisplay(nullptr);
  return display;
}

std::string WindowName(Display* display, Window window) {
  Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* value = nullptr;
  std::string name;
  if (XGetWindowProperty(display, window, netName, 0, 4096, False, utf8, &type, &format, &count, &after, &value) ==
          Success &&
      value != nullptr && type == utf8) {
    name.assign(reinterpret_cast<char*>(value), count);
    XFree(value);
    return name;
  }
  if (value != nullptr) XFree(value);
  char* legacy = nullptr;
  if (XFetchName(display, window, &legacy) && legacy != nullptr) {
    name = legacy;
    XFree(legacy);
  }
  return name;
}

std::vector<Window> Children(Display* display, Window window) {
  Window root = 0, parent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  std::vector<Window> result;
  if (XQueryTree(display, window, &root, &parent, &children, &count) && children != nullptr) {
    result.assign(children, children + count);
    XFree(children);
  }
  return result;
}

}  // namespace

NativeWindowId FindTopLevelWindow(const std::string& caption) {
  Display* display = SharedDisplay();
  if (display == nullptr) return 0;
  // Top-level windows, and their children where a reparenting window manager framed them.
  for (Window top : Children(display, DefaultRootWindow(display))) {
    if (WindowName(display, top) == caption) return top;
    for (Window child : Children(display, top))
      if (WindowName(display, child) == caption) return child;
  }
  return 0;
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

bool SetTopLevelWindowVisible(NativeWindowId window, bool visible) {
  Display* display = SharedDisplay();
  if (display == nullptr || window == 0) return false;
  if (visible)
    XMapRaised(display, window);
  else
    XWithdrawWindow(display, window, DefaultScreen(display));
  XFlush(display);
  return true;
}

}  // namespace platform
