#include "platform/DisplayConnection.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

// XCB rather than Xlib: an XCB connection is safe to use from any thread without process-wide
// set-up, and a failed request reports its error to the caller that checks it. Xlib would send
// it to the process-wide error handler, which GDK swaps in and out on the GUI thread, and whose
// default ends the process.

namespace platform {
namespace {

template <typename T>
struct FreeDeleter {
  void operator()(T* pointer) const { free(pointer); }
};
template <typename T>
using XcbReply = std::unique_ptr<T, FreeDeleter<T>>;

xcb_connection_t* Connection(void* display) { return static_cast<xcb_connection_t*>(display); }

xcb_window_t RootWindow(xcb_connection_t* connection) {
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
  return screens.rem > 0 ? screens.data->root : static_cast<xcb_window_t>(XCB_WINDOW_NONE);
}

xcb_atom_t InternAtom(xcb_connection_t* connection, const char* name) {
  XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
      connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(strlen(name)), name), nullptr));
  return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

// The text of an 8-bit property of type `type`; nullopt when the window has none (or is gone).
std::optional<std::string> TextProperty(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t property,
                                        xcb_atom_t type) {
  XcbReply<xcb_get_property_reply_t> reply(
      xcb_get_property_reply(connection, xcb_get_property(connection, 0, window, property, type, 0, 4096), nullptr));
  if (!reply || reply->type != type || reply->format != 8) return std::nullopt;
  return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                     static_cast<size_t>(xcb_get_property_value_length(reply.get())));
}

std::vector<xcb_window_t> Children(xcb_connection_t* connection, xcb_window_t window) {
  XcbReply<xcb_query_tree_reply_t> reply(xcb_query_tree_reply(connection, xcb_query_tree(connection, window), nullptr));
  if (!reply) return {};
  const xcb_window_t* children = xcb_query_tree_children(reply.get());
  return std::vector<xcb_window_t>(children, children + xcb_query_tree_children_length(reply.get()));
}

// 0 when the request went through, else its X error code.
int CheckRequest(xcb_connection_t* connection, xcb_void_cookie_t cookie) {
  XcbReply<xcb_generic_error_t> error(xcb_request_check(connection, cookie));
  return error ? error->error_code : 0;
}

bool IsSet(const char* variable) {
  const char* value = getenv(variable);
  return value != nullptr && value[0] != '\0';
}

}  // namespace

MissingDisplay WhyNoDisplay() {
  if (IsSet("DISPLAY")) return MissingDisplay::kUnreachable;
  return IsSet("WAYLAND_DISPLAY") ? MissingDisplay::kWaylandOnly : MissingDisplay::kNone;
}

DisplayConnection::DisplayConnection() {
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);  // a failed connection is an object too
    return;
  }
  m_display = connection;
}

DisplayConnection::~DisplayConnection() {
  if (m_display != nullptr) xcb_disconnect(Connection(m_display));
}

NativeWindowId DisplayConnection::FindTopLevelWindow(const std::string& caption) {
  xcb_connection_t* connection = Connection(m_display);
  if (connection == nullptr) return 0;
  xcb_atom_t netName = InternAtom(connection, "_NET_WM_NAME");
  xcb_atom_t utf8 = InternAtom(connection, "UTF8_STRING");
  auto name = [&](xcb_window_t window) {
    if (auto text = TextProperty(connection, window, netName, utf8)) return *text;
    return TextProperty(connection, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING).value_or(std::string());
  };
  // Top-level windows, and their children where a reparenting window manager framed them, from
  // the top of the stacking order down: the server lists a window's children bottom to top, so
  // of several windows with one caption the one the user sees is found. Withdrawn windows are
  // listed too (the hall shows a hidden one again). A window that vanishes during the walk fails
  // its own requests and simply does not match.
  const std::vector<xcb_window_t> tops = Children(connection, RootWindow(connection));
  for (auto top = tops.rbegin(); top != tops.rend(); ++top) {
    if (name(*top) == caption) return *top;
    const std::vector<xcb_window_t> children = Children(connection, *top);
    for (auto child = children.rbegin(); child != children.rend(); ++child)
      if (name(*child) == caption) return *child;
  }
  return 0;
}

bool DisplayConnection::IsWindowViewable(NativeWindowId window) {
  xcb_connection_t* connection = Connection(m_display);
  if (connection == nullptr || window == 0) return false;
  xcb_generic_error_t* error = nullptr;
  XcbReply<xcb_get_window_attributes_reply_t> reply(xcb_get_window_attributes_reply(
      connection, xcb_get_window_attributes(connection, static_cast<xcb_window_t>(window)), &error));
  if (error != nullptr) {
    m_lastError = error->error_code;
    free(error);
  }
  return reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
}

int DisplayConnection::ShowWindow(NativeWindowId window, bool visible) {
  xcb_connection_t* connection = Connection(m_display);
  if (connection == nullptr || window == 0) return 0;
  auto id = static_cast<xcb_window_t>(window);
  bool wasViewable = IsWindowViewable(window);
  if (visible) {
    const uint32_t above[] = {XCB_STACK_MODE_ABOVE};
    m_lastError =
        CheckRequest(connection, xcb_configure_window_checked(connection, id, XCB_CONFIG_WINDOW_STACK_MODE, above));
    if (m_lastError == 0) m_lastError = CheckRequest(connection, xcb_map_window_checked(connection, id));
  } else {
    // Withdrawn, not only unmapped: the synthetic UnmapNotify tells a window manager to forget
    // the window rather than wait for it to come back (what XWithdrawWindow does).
    m_lastError = CheckRequest(connection, xcb_unmap_window_checked(connection, id));
    if (m_lastError == 0) {
      xcb_unmap_notify_event_t event{};
      event.response_type = XCB_UNMAP_NOTIFY;
      event.event = RootWindow(connection);
      event.window = id;
      event.from_configure = 0;
      m_lastError = CheckRequest(
          connection, xcb_send_event_checked(connection, 0, event.event,
                                             XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                                             reinterpret_cast<const char*>(&event)));
    }
  }
  if (m_lastError != 0) return 0;
  return wasViewable ? 1 : 0;
}

bool DisplayConnection::ActivateWindow(NativeWindowId window) {
  xcb_connection_t* connection = Connection(m_display);
  if (connection == nullptr || window == 0) return false;
  auto id = static_cast<xcb_window_t>(window);
  bool viewable = IsWindowViewable(window);
  xcb_client_message_event_t event{};
  event.response_type = XCB_CLIENT_MESSAGE;
  event.format = 32;
  event.window = id;
  event.type = InternAtom(connection, "_NET_ACTIVE_WINDOW");
  event.data.data32[0] = 2;  // a request from a pager-like tool, honoured by most managers
  event.data.data32[1] = XCB_CURRENT_TIME;
  m_lastError = CheckRequest(
      connection, xcb_send_event_checked(connection, 0, RootWindow(connection),
                                         XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                                         reinterpret_cast<const char*>(&event)));
  // Without a window manager nobody answers the request; the focus then comes from here.
  // Focusing a window that is not viewable would fail (BadMatch).
  if (m_lastError == 0 && viewable)
    m_lastError =
        CheckRequest(connection, xcb_set_input_focus_checked(connection, XCB_INPUT_FOCUS_PARENT, id, XCB_CURRENT_TIME));
  return m_lastError == 0;
}

bool DisplayConnection::RaiseWindow(NativeWindowId window) {
  xcb_connection_t* connection = Connection(m_display);
  if (connection == nullptr || window == 0) return false;
  const uint32_t above[] = {XCB_STACK_MODE_ABOVE};
  m_lastError = CheckRequest(connection, xcb_configure_window_checked(connection, static_cast<xcb_window_t>(window),
                                                                      XCB_CONFIG_WINDOW_STACK_MODE, above));
  return m_lastError == 0;
}

}  // namespace platform
