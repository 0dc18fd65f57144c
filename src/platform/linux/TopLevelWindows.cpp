#include "platform/TopLevelWindows.h"

#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdlib>

#include "platform/DisplayConnection.h"

namespace platform {
namespace {

// A connection of our own: windows of any process are looked at, not only GDK's.
Display* SharedDisplay() {
  static Display* display = XOpenDisplay(nullptr);
  return display;
}

// The time of the user's action in a startup id ("..._TIME<decimal>"); 0 when it carries none.
guint32 TimeFromStartupId(const std::string& startupId) {
  size_t at = startupId.rfind("_TIME");
  if (at == std::string::npos) return 0;
  const char* digits = startupId.c_str() + at + 5;
  char* end = nullptr;
  unsigned long time = strtoul(digits, &end, 10);
  return end != digits ? static_cast<guint32>(time) : 0;
}

GtkWindow* OwnWindowTitled(const std::string& caption) {
  GtkWindow* found = nullptr;
  GList* windows = gtk_window_list_toplevels();
  for (GList* item = windows; item != nullptr && found == nullptr; item = item->next) {
    GtkWindow* window = GTK_WINDOW(item->data);
    const char* title = gtk_window_get_title(window);
    if (title != nullptr && caption == title) found = window;
  }
  g_list_free(windows);
  return found;
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

bool PresentOwnWindow(const std::string& caption, const std::string& startupId) {
  if (gdk_display_get_default() == nullptr) return false;
  GtkWindow* window = OwnWindowTitled(caption);
  if (window == nullptr) return false;
  guint32 time = TimeFromStartupId(startupId);
  // The id sets the window's user time and ends the launch feedback the desktop shows for it.
  if (!startupId.empty()) gtk_window_set_startup_id(window, startupId.c_str());
  GdkWindow* native = gtk_widget_get_window(GTK_WIDGET(window));
  // Without a time the request would look older than the user's last action, and a window manager
  // that prevents focus stealing would refuse it; the one who started the later copy asked for it now.
  if (time == 0 && native != nullptr && GDK_IS_X11_WINDOW(native)) time = gdk_x11_get_server_time(native);
  gtk_window_present_with_time(window, time);
  return true;
}

}  // namespace platform
