#include "platform/DisplayConnection.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <mutex>
#include <vector>

// libX11 1.8 and later initialise Xlib's thread support themselves, so a connection opened on
// the hall's thread is safe beside GDK's connection on the GUI thread without an XInitThreads
// call at the start of main. Each connection here is still used by one thread at a time.

namespace platform {
namespace {

// The connection whose requests the calling thread is running, and where its errors go.
struct ErrorScopeState {
  Display* display = nullptr;
  int* lastError = nullptr;
};
thread_local ErrorScopeState t_errorScope;

XErrorHandler g_previousHandler = nullptr;

// Installed once for the process. Errors of a connection of this file, raised on the thread that
// runs its request, are recorded; every other error goes to the handler installed before (GDK's
// or Xlib's default), as if this one were not there.
int RecordOrForwardError(Display* display, XErrorEvent* error) {
  if (t_errorScope.display == display && t_errorScope.lastError != nullptr) {
    *t_errorScope.lastError = error->error_code;
    return 0;
  }
  return g_previousHandler != nullptr ? g_previousHandler(display, error) : 0;
}

void InstallErrorHandlerOnce() {
  static std::once_flag once;
  std::call_once(once, [] { g_previousHandler = XSetErrorHandler(RecordOrForwardError); });
}

// For the duration of one request: errors of `display` on this thread land in `lastError`.
class ErrorScope {
 public:
  ErrorScope(Display* display, int* lastError) : m_saved(t_errorScope) {
    t_errorScope = {display, lastError};
    *lastError = 0;
  }
  ~ErrorScope() { t_errorScope = m_saved; }
  ErrorScope(const ErrorScope&) = delete;
  ErrorScope& operator=(const ErrorScope&) = delete;

 private:
  ErrorScopeState m_saved;
};

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

DisplayConnection::DisplayConnection() {
  InstallErrorHandlerOnce();
  m_display = XOpenDisplay(nullptr);
}

DisplayConnection::~DisplayConnection() {
  if (m_display != nullptr) XCloseDisplay(static_cast<Display*>(m_display));
}

NativeWindowId DisplayConnection::FindTopLevelWindow(const std::string& caption) {
  auto* display = static_cast<Display*>(m_display);
  if (display == nullptr) return 0;
  ErrorScope scope(display, &m_lastError);
  // A window that vanishes during the walk fails its own requests and simply does not match.
  for (Window top : Children(display, DefaultRootWindow(display))) {
    if (WindowName(display, top) == caption) return top;
    for (Window child : Children(display, top))
      if (WindowName(display, child) == caption) return child;
  }
  return 0;
}

bool DisplayConnection::IsWindowViewable(NativeWindowId window) {
  auto* display = static_cast<Display*>(m_display);
  if (display == nullptr || window == 0) return false;
  ErrorScope scope(display, &m_lastError);
  XWindowAttributes attributes{};
  if (!XGetWindowAttributes(display, window, &attributes)) return false;
  return attributes.map_state == IsViewable;
}

int DisplayConnection::ShowWindow(NativeWindowId window, bool visible) {
  auto* display = static_cast<Display*>(m_display);
  if (display == nullptr || window == 0) return 0;
  bool wasViewable = IsWindowViewable(window);
  ErrorScope scope(display, &m_lastError);
  if (visible)
    XMapRaised(display, window);
  else
    XWithdrawWindow(display, window, DefaultScreen(display));  // tells the window manager too
  XSync(display, False);
  if (m_lastError != 0) return 0;
  return wasViewable ? 1 : 0;
}

bool DisplayConnection::ActivateWindow(NativeWindowId window) {
  auto* display = static_cast<Display*>(m_display);
  if (display == nullptr || window == 0) return false;
  bool viewable = IsWindowViewable(window);
  ErrorScope scope(display, &m_lastError);
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = 2;  // a request from a pager-like tool, honoured by most managers
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, DefaultRootWindow(display), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
  // Without a window manager nobody answers the request; focus then comes from here. Focusing
  // a window that is not viewable would fail (BadMatch).
  if (viewable) XSetInputFocus(display, window, RevertToParent, CurrentTime);
  XSync(display, False);
  return m_lastError == 0;
}

bool DisplayConnection::RaiseWindow(NativeWindowId window) {
  auto* display = static_cast<Display*>(m_display);
  if (display == nullptr || window == 0) return false;
  ErrorScope scope(display, &m_lastError);
  XRaiseWindow(display, window);
  XSync(display, False);
  return m_lastError == 0;
}

}  // namespace platform
