#include "platform/Window.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/MainLoop.h"

// A window is a BrimtaleWindow: its class, its attached CWnd, its geometry and, when a display is
// open, its widgets. Every window has a GtkOverlay as its widget (the place for the class's
// contents); a top-level window puts that overlay into a GtkWindow, a child window is an overlay
// child of its parent's overlay. Without a display a window has no widgets and keeps its geometry
// in `rect` alone, so the window layer can be driven by tests that have no screen.
struct BrimtaleWindow {
  uint64_t serial = 0;
  uint32_t classAtom = 0;
  uint32_t style = 0;
  uint32_t exStyle = 0;
  HWND parent = nullptr;
  std::vector<HWND> children;
  CWnd* attached = nullptr;
  GtkWidget* toplevel = nullptr;  // the GtkWindow of a top-level window; null for a child
  GtkWidget* widget = nullptr;    // the GtkOverlay holding the contents
  RECT rect;                      // screen coordinates for top-level windows, parent client for children
  std::string title;
  bool visible = false;
  bool iconic = false;
  bool destroying = false;
  int dispatchDepth = 0;   // messages of this window on the stack; freed only when it is 0
  cairo_t* paint = nullptr;  // the context of the draw in progress (GetDC)
  int paintRefs = 0;
};

namespace {

struct WindowClass {
  std::string name;
  WNDPROC procedure = nullptr;
  WindowCreateHook create = nullptr;
  uint32_t classStyle = 0;
};

// Registered classes get atoms from 0xC000 up, as registered classes do on Windows.
constexpr uint32_t kFirstAtom = 0xC000;

struct WindowLayer {
  std::vector<WindowClass> classes;  // index = atom - kFirstAtom; an unregistered slot has no name
  // Live windows with their serials. Guarded by `liveLock` because PostMessage reads it from any
  // thread; written only on the GUI thread.
  std::mutex liveLock;
  std::unordered_map<HWND, uint64_t> live;
  uint64_t nextSerial = 1;
  HWND captured = nullptr;
};

// Never destroyed: libraries that registered classes may still call in while the process exits.
WindowLayer& Layer() {
  static WindowLayer& layer = *new WindowLayer;
  return layer;
}

const WindowClass* ClassOf(uint32_t atom) {
  auto& classes = Layer().classes;
  if (atom < kFirstAtom || atom - kFirstAtom >= classes.size()) return nullptr;
  const WindowClass& found = classes[atom - kFirstAtom];
  return found.name.empty() ? nullptr : &found;
}

bool IsLive(HWND window) {
  if (window == nullptr) return false;
  WindowLayer& layer = Layer();
  std::lock_guard lock(layer.liveLock);
  return layer.live.contains(window);
}

void FreeWindow(HWND window) { delete window; }

// Holds a window alive across a message: a window destroyed while one of its messages runs is
// freed when the outermost of them returns.
class DispatchScope {
 public:
  explicit DispatchScope(HWND window) : m_window(window) { ++m_window->dispatchDepth; }
  ~DispatchScope() {
    if (--m_window->dispatchDepth == 0 && m_window->destroying && !IsLive(m_window)) FreeWindow(m_window);
  }
  DispatchScope(const DispatchScope&) = delete;
  DispatchScope& operator=(const DispatchScope&) = delete;

 private:
  HWND m_window;
};

LRESULT CallClassProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const WindowClass* windowClass = window != nullptr ? ClassOf(window->classAtom) : nullptr;
  if (windowClass != nullptr && windowClass->procedure != nullptr)
    return windowClass->procedure(window, message, wParam, lParam);
  return DefWindowProc(window, message, wParam, lParam);
}

GdkWindow* NativeWindowOf(HWND window) {
  if (window == nullptr) return nullptr;
  GtkWidget* top = window->toplevel;
  if (top == nullptr && window->widget != nullptr) top = gtk_widget_get_toplevel(window->widget);
  if (top == nullptr || !gtk_widget_get_realized(top)) return nullptr;
  return gtk_widget_get_window(top);
}

HWND TopLevelOf(HWND window) {
  while (window != nullptr && window->parent != nullptr) window = window->parent;
  return window;
}

// The client area's origin on the screen: the top-level's origin, plus a child's offsets.
void ClientOrigin(HWND window, int* x, int* y) {
  *x = 0;
  *y = 0;
  for (HWND step = window; step != nullptr; step = step->parent) {
    if (step->parent != nullptr) {
      *x += step->rect.left;
      *y += step->rect.top;
      continue;
    }
    GdkWindow* native = NativeWindowOf(step);
    if (native != nullptr && gdk_window_is_visible(native)) {
      int originX = 0, originY = 0;
      gdk_window_get_origin(native, &originX, &originY);
      *x += originX;
      *y += originY;
    } else {
      *x += step->rect.left;
      *y += step->rect.top;
    }
  }
}

LPARAM ClientPoint(HWND window, double rootX, double rootY) {
  int originX = 0, originY = 0;
  ClientOrigin(window, &originX, &originY);
  return MAKELPARAM(static_cast<int>(rootX) - originX, static_cast<int>(rootY) - originY);
}

WPARAM MouseKeys(guint state) {
  WPARAM keys = 0;
  if (state & GDK_BUTTON1_MASK) keys |= MK_LBUTTON;
  if (state & GDK_BUTTON3_MASK) keys |= MK_RBUTTON;
  if (state & GDK_SHIFT_MASK) keys |= MK_SHIFT;
  if (state & GDK_CONTROL_MASK) keys |= MK_CONTROL;
  if (state & GDK_BUTTON2_MASK) keys |= MK_MBUTTON;
  return keys;
}

HWND WindowOfNative(GdkWindow* native) {
  if (native == nullptr) return nullptr;
  GdkWindow* top = gdk_window_get_toplevel(native);
  WindowLayer& layer = Layer();
  std::lock_guard lock(layer.liveLock);
  for (const auto& [window, serial] : layer.live) {
    if (window->toplevel != nullptr && gtk_widget_get_window(window->toplevel) == top) return window;
  }
  return nullptr;
}

// Pointer and key input of a top-level window becomes its mouse and key messages before GTK hands
// the event to the widget under the pointer or in focus, so the window's contents (a player) still
// receive it.
void TranslatePointerEvent(GdkEvent* event) {
  switch (event->type) {
    case GDK_BUTTON_PRESS:
    case GDK_BUTTON_RELEASE: {
      HWND window = WindowOfNative(event->any.window);
      if (window == nullptr) return;
      const GdkEventButton& button = event->button;
      bool press = event->type == GDK_BUTTON_PRESS;
      UINT message = 0;
      if (button.button == 1) message = press ? WM_LBUTTONDOWN : WM_LBUTTONUP;
      if (button.button == 3) message = press ? WM_RBUTTONDOWN : WM_RBUTTONUP;
      if (message != 0)
        SendMessage(window, message, MouseKeys(button.state), ClientPoint(window, button.x_root, button.y_root));
      break;
    }
    case GDK_MOTION_NOTIFY: {
      HWND window = WindowOfNative(event->any.window);
      if (window == nullptr) return;
      const GdkEventMotion& motion = event->motion;
      SendMessage(window, WM_MOUSEMOVE, MouseKeys(motion.state), ClientPoint(window, motion.x_root, motion.y_root));
      break;
    }
    case GDK_KEY_PRESS:
    case GDK_KEY_RELEASE: {
      HWND window = WindowOfNative(event->any.window);
      if (window == nullptr) return;
      SendMessage(window, event->type == GDK_KEY_PRESS ? WM_KEYDOWN : WM_KEYUP, event->key.keyval,
                  static_cast<LPARAM>(event->key.hardware_keycode));
      break;
    }
    default:
      break;
  }
}

void HandleEvent(GdkEvent* event, gpointer) {
  TranslatePointerEvent(event);
  gtk_main_do_event(event);
}

void InstallEventHandler() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  gdk_event_handler_set(HandleEvent, nullptr, nullptr);
}

gboolean OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer data) {
  auto* window = static_cast<HWND>(data);
  if (IsLive(window)) SendMessage(window, WM_CLOSE, 0, 0);
  return TRUE;  // the window layer destroys the widget, if the procedure asks for it
}

// A widget destroyed from outside (GTK tearing down) takes its window with it.
void OnWidgetDestroyed(GtkWidget*, gpointer data) {
  auto* window = static_cast<HWND>(data);
  if (!IsLive(window) || window->destroying) return;
  window->widget = nullptr;
  window->toplevel = nullptr;
  DestroyWindow(window);
}

// Layered windows with an alpha channel start every frame from a clear background.
gboolean OnDrawLayeredBackground(GtkWidget*, cairo_t* cr, gpointer) {
  cairo_save(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_rgba(cr, 0, 0, 0, 0);
  cairo_paint(cr);
  cairo_restore(cr);
  return FALSE;
}

// After the widgets have drawn, the window's procedure paints (WM_PAINT) into the same context.
gboolean OnDrawAfter(GtkWidget*, cairo_t* cr, gpointer data) {
  auto* window = static_cast<HWND>(data);
  if (!IsLive(window)) return FALSE;
  window->paint = cr;
  SendMessage(window, WM_PAINT, 0, 0);
  if (IsLive(window)) window->paint = nullptr;
  return FALSE;
}

gboolean OnWindowState(GtkWidget*, GdkEventWindowState* event, gpointer data) {
  auto* window = static_cast<HWND>(data);
  if (IsLive(window)) window->iconic = (event->new_window_state & GDK_WINDOW_STATE_ICONIFIED) != 0;
  return FALSE;
}

gboolean OnConfigure(GtkWidget*, GdkEventConfigure* event, gpointer data) {
  auto* window = static_cast<HWND>(data);
  if (!IsLive(window)) return FALSE;
  int width = window->rect.right - window->rect.left;
  int height = window->rect.bottom - window->rect.top;
  window->rect = {event->x, event->y, event->x + event->width, event->y + event->height};
  if (width != event->width || height != event->height)
    SendMessage(window, WM_SIZE, 0, MAKELPARAM(event->width, event->height));
  return FALSE;
}

void PlaceChild(HWND window) {
  int width = window->rect.right - window->rect.left;
  int height = window->rect.bottom - window->rect.top;
  gtk_widget_set_margin_start(window->widget, window->rect.left);
  gtk_widget_set_margin_top(window->widget, window->rect.top);
  gtk_widget_set_size_request(window->widget, width, height);
}

void BuildWidgets(HWND window) {
  window->widget = gtk_overlay_new();
  if (window->parent != nullptr) {
    if (window->parent->widget == nullptr) return;
    gtk_widget_set_halign(window->widget, GTK_ALIGN_START);
    gtk_widget_set_valign(window->widget, GTK_ALIGN_START);
    PlaceChild(window);
    gtk_overlay_add_overlay(GTK_OVERLAY(window->parent->widget), window->widget);
    g_signal_connect(window->widget, "destroy", G_CALLBACK(OnWidgetDestroyed), window);
    return;
  }

  InstallEventHandler();
  GtkWidget* top = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  window->toplevel = top;
  GtkWindow* gtkWindow = GTK_WINDOW(top);
  int width = window->rect.right - window->rect.left;
  int height = window->rect.bottom - window->rect.top;
  if (window->style & WS_POPUP) gtk_window_set_decorated(gtkWindow, FALSE);
  // Without a sizing frame the window keeps the size it is given.
  bool resizable = (window->style & WS_THICKFRAME) != 0;
  gtk_window_set_resizable(gtkWindow, resizable);
  gtk_window_set_default_size(gtkWindow, width, height);
  if (!resizable) gtk_widget_set_size_request(window->widget, width, height);
  gtk_window_move(gtkWindow, window->rect.left, window->rect.top);
  gtk_window_set_title(gtkWindow, window->title.c_str());
  if (window->exStyle & WS_EX_LAYERED) {
    GdkScreen* screen = gtk_widget_get_screen(top);
    GdkVisual* visual = gdk_screen_get_rgba_visual(screen);
    if (visual != nullptr && gdk_screen_is_composited(screen)) {
      gtk_widget_set_visual(top, visual);
      gtk_widget_set_app_paintable(top, TRUE);
      g_signal_connect(top, "draw", G_CALLBACK(OnDrawLayeredBackground), window);
    }
  }
  gtk_container_add(GTK_CONTAINER(top), window->widget);
  gtk_widget_add_events(top, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK | GDK_POINTER_MOTION_MASK |
                                 GDK_STRUCTURE_MASK);
  g_signal_connect(top, "delete-event", G_CALLBACK(OnDeleteEvent), window);
  g_signal_connect(top, "destroy", G_CALLBACK(OnWidgetDestroyed), window);
  g_signal_connect(top, "window-state-event", G_CALLBACK(OnWindowState), window);
  g_signal_connect(top, "configure-event", G_CALLBACK(OnConfigure), window);
  g_signal_connect_after(top, "draw", G_CALLBACK(OnDrawAfter), window);
}

// What a window's side can be: GDK refuses more than 32767 pixels, and a window larger than the
// screen (the bounding box of every monitor) is never drawn, so nothing of it would show. Without
// a display only the first limit holds.
void LimitToScreen(int* width, int* height) {
  constexpr int kLargestSide = 32767;
  int maxWidth = kLargestSide, maxHeight = kLargestSide;
  if (GdkDisplay* display = platform::IsGuiAvailable() ? gdk_display_get_default() : nullptr) {
    int right = 0, bottom = 0;
    for (int i = 0; i < gdk_display_get_n_monitors(display); ++i) {
      GdkRectangle area{};
      gdk_monitor_get_geometry(gdk_display_get_monitor(display, i), &area);
      right = std::max(right, area.x + area.width);
      bottom = std::max(bottom, area.y + area.height);
    }
    if (right > 0) maxWidth = std::min(maxWidth, right);
    if (bottom > 0) maxHeight = std::min(maxHeight, bottom);
  }
  *width = std::min(*width, maxWidth);
  *height = std::min(*height, maxHeight);
}

void DisconnectWidgets(HWND window) {
  if (window->toplevel != nullptr) g_signal_handlers_disconnect_by_data(window->toplevel, window);
  if (window->widget != nullptr) g_signal_handlers_disconnect_by_data(window->widget, window);
}

}  // namespace

extern "C" {

uint32_t RegisterWindowClass(const WindowClassInfo* info) {
  if (info == nullptr || info->name == nullptr || info->name[0] == '\0') return 0;
  auto& classes = Layer().classes;
  WindowClass entry{info->name, info->procedure, info->create, info->classStyle};
  // A class registered again (a library loaded anew) takes the new procedures under its old atom.
  for (size_t i = 0; i < classes.size(); ++i) {
    if (classes[i].name == info->name) {
      classes[i] = entry;
      return kFirstAtom + static_cast<uint32_t>(i);
    }
  }
  classes.push_back(entry);
  return kFirstAtom + static_cast<uint32_t>(classes.size() - 1);
}

BOOL UnregisterWindowClass(const char* name) {
  if (name == nullptr) return 0;
  for (WindowClass& entry : Layer().classes) {
    if (entry.name == name) {
      entry = WindowClass{};
      return 1;
    }
  }
  return 0;
}

void* GetWindowWidget(HWND window) { return IsLive(window) ? window->widget : nullptr; }

uint32_t GetWindowStyle(HWND window) { return IsLive(window) ? window->style : 0; }

uint32_t GetWindowExStyle(HWND window) { return IsLive(window) ? window->exStyle : 0; }

HWND GetParent(HWND window) { return IsLive(window) ? window->parent : nullptr; }

LRESULT SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!IsLive(window)) return 0;
  DispatchScope scope(window);
  if (window->attached != nullptr) return window->attached->WindowProc(message, wParam, lParam);
  return CallClassProcedure(window, message, wParam, lParam);
}

LRESULT DefWindowProc(HWND window, UINT message, WPARAM, LPARAM) {
  if (message == WM_CLOSE) DestroyWindow(window);
  return 0;
}

HDC GetDC(HWND window) {
  if (!IsLive(window) || window->paint == nullptr) return nullptr;
  ++window->paintRefs;
  return window->paint;
}

void ReleaseDC(HWND window, HDC dc) {
  if (IsLive(window) && dc != nullptr && window->paintRefs > 0) --window->paintRefs;
}

}  // extern "C"

HWND CreateWindowEx(uint32_t exStyle, uint32_t classAtom, const char* title, uint32_t style, int x, int y, int width,
                    int height, HWND parent, const void* createParameter) {
  const WindowClass* windowClass = ClassOf(classAtom);
  if (windowClass == nullptr) return nullptr;
  if ((style & WS_CHILD) && !IsLive(parent)) return nullptr;
  if (!(style & WS_CHILD)) parent = nullptr;

  WindowLayer& layer = Layer();
  auto* window = new BrimtaleWindow;
  window->classAtom = classAtom;
  window->style = style;
  window->exStyle = exStyle;
  window->parent = parent;
  LimitToScreen(&width, &height);
  window->rect = {x, y, x + width, y + height};
  window->title = title != nullptr ? title : "";
  {
    std::lock_guard lock(layer.liveLock);
    window->serial = layer.nextSerial++;
    layer.live.emplace(window, window->serial);
  }
  if (parent != nullptr) parent->children.push_back(window);
  if (platform::IsGuiAvailable()) BuildWidgets(window);

  WindowCreateHook create = windowClass->create;
  if (create != nullptr) create(window, window->widget, createParameter);
  if (!IsLive(window)) return nullptr;
  SendMessage(window, WM_CREATE, 0, reinterpret_cast<LPARAM>(createParameter));
  if (!IsLive(window)) return nullptr;

  if (style & WS_VISIBLE) {
    window->visible = true;
    if (window->widget != nullptr) {
      gtk_widget_show_all(window->widget);
      if (window->toplevel != nullptr) gtk_widget_show(window->toplevel);
    }
  }
  return window;
}

uint32_t FindWindowClass(const char* name) {
  if (name == nullptr) return 0;
  auto& classes = Layer().classes;
  for (size_t i = 0; i < classes.size(); ++i)
    if (classes[i].name == name) return kFirstAtom + static_cast<uint32_t>(i);
  return 0;
}

bool IsWindow(HWND window) { return IsLive(window); }

bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  uint64_t serial = 0;
  {
    WindowLayer& layer = Layer();
    std::lock_guard lock(layer.liveLock);
    auto found = layer.live.find(window);
    if (found == layer.live.end()) return false;
    serial = found->second;
  }
  // A window destroyed (and its address perhaps reused) before delivery does not get the message.
  platform::PostToMainLoop([window, serial, message, wParam, lParam] {
    {
      WindowLayer& layer = Layer();
      std::lock_guard lock(layer.liveLock);
      auto found = layer.live.find(window);
      if (found == layer.live.end() || found->second != serial) return;
    }
    SendMessage(window, message, wParam, lParam);
  });
  return true;
}

bool DestroyWindow(HWND window) {
  if (!IsLive(window) || window->destroying) return false;
  window->destroying = true;
  DispatchScope scope(window);
  if (Layer().captured == window) CWnd::ReleaseCapture();

  SendMessage(window, WM_DESTROY, 0, 0);
  // Children go after their parent's WM_DESTROY and before its WM_NCDESTROY, as on Windows.
  std::vector<HWND> children = window->children;
  for (HWND child : children) DestroyWindow(child);
  SendMessage(window, WM_NCDESTROY, 0, 0);

  if (window->parent != nullptr && IsLive(window->parent)) {
    auto& siblings = window->parent->children;
    std::erase(siblings, window);
  }
  DisconnectWidgets(window);
  GtkWidget* doomed = window->toplevel != nullptr ? window->toplevel : window->widget;
  window->toplevel = nullptr;
  window->widget = nullptr;
  if (doomed != nullptr) gtk_widget_destroy(doomed);

  CWnd* attached = window->attached;
  window->attached = nullptr;
  {
    WindowLayer& layer = Layer();
    std::lock_guard lock(layer.liveLock);
    layer.live.erase(window);
  }
  if (attached != nullptr) {
    attached->m_hWnd = nullptr;
    attached->PostNcDestroy();
  }
  return true;
}

CWnd::~CWnd() {
  if (IsLive(m_hWnd) && m_hWnd->attached == this) m_hWnd->attached = nullptr;
}

bool CWnd::SubclassWindow(HWND window) {
  if (!IsLive(window) || window->attached != nullptr || m_hWnd != nullptr) return false;
  window->attached = this;
  m_hWnd = window;
  return true;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (m_hWnd == nullptr) return 0;
  return CallClassProcedure(m_hWnd, message, wParam, lParam);
}

void CWnd::SetWindowText(const std::string& text) {
  if (!IsLive(m_hWnd)) return;
  m_hWnd->title = text;
  if (m_hWnd->toplevel != nullptr) gtk_window_set_title(GTK_WINDOW(m_hWnd->toplevel), text.c_str());
}

std::string CWnd::GetWindowText() const { return IsLive(m_hWnd) ? m_hWnd->title : std::string(); }

bool CWnd::GetWindowRect(RECT* rect) const {
  if (!IsLive(m_hWnd) || rect == nullptr) return false;
  int width = m_hWnd->rect.right - m_hWnd->rect.left;
  int height = m_hWnd->rect.bottom - m_hWnd->rect.top;
  GdkWindow* native = m_hWnd->toplevel != nullptr ? NativeWindowOf(m_hWnd) : nullptr;
  if (native != nullptr && gdk_window_is_visible(native)) {
    // With a window manager's frame around it, the rectangle is the frame's, as on Windows.
    GdkRectangle frame{};
    gdk_window_get_frame_extents(native, &frame);
    *rect = {frame.x, frame.y, frame.x + frame.width, frame.y + frame.height};
    return true;
  }
  int left = 0, top = 0;
  if (m_hWnd->parent != nullptr) {
    ClientOrigin(m_hWnd, &left, &top);
  } else {
    left = m_hWnd->rect.left;
    top = m_hWnd->rect.top;
  }
  *rect = {left, top, left + width, top + height};
  return true;
}

bool CWnd::MoveWindow(int x, int y, int width, int height, bool repaint) {
  if (!IsLive(m_hWnd)) return false;
  int oldWidth = m_hWnd->rect.right - m_hWnd->rect.left;
  int oldHeight = m_hWnd->rect.bottom - m_hWnd->rect.top;
  LimitToScreen(&width, &height);
  m_hWnd->rect = {x, y, x + width, y + height};
  if (m_hWnd->toplevel != nullptr) {
    GtkWindow* gtkWindow = GTK_WINDOW(m_hWnd->toplevel);
    gtk_window_move(gtkWindow, x, y);
    if (oldWidth != width || oldHeight != height) {
      if (!gtk_window_get_resizable(gtkWindow)) gtk_widget_set_size_request(m_hWnd->widget, width, height);
      gtk_window_resize(gtkWindow, width, height);
    }
    if (repaint) gtk_widget_queue_draw(m_hWnd->toplevel);
  } else if (m_hWnd->widget != nullptr) {
    PlaceChild(m_hWnd);
  }
  if ((oldWidth != width || oldHeight != height) && m_hWnd->toplevel == nullptr)
    SendMessage(m_hWnd, WM_SIZE, 0, MAKELPARAM(width, height));
  return true;
}

void CWnd::CenterWindow() {
  if (!IsLive(m_hWnd) || m_hWnd->parent != nullptr) return;
  int width = m_hWnd->rect.right - m_hWnd->rect.left;
  int height = m_hWnd->rect.bottom - m_hWnd->rect.top;
  GdkRectangle area{0, 0, 0, 0};
  GdkDisplay* display = m_hWnd->toplevel != nullptr ? gtk_widget_get_display(m_hWnd->toplevel) : nullptr;
  if (display == nullptr) return;
  GdkMonitor* monitor = nullptr;
  if (GdkWindow* native = NativeWindowOf(m_hWnd)) monitor = gdk_display_get_monitor_at_window(display, native);
  if (monitor == nullptr) monitor = gdk_display_get_primary_monitor(display);
  if (monitor == nullptr) monitor = gdk_display_get_monitor(display, 0);
  if (monitor == nullptr) return;
  gdk_monitor_get_workarea(monitor, &area);
  MoveWindow(area.x + (area.width - width) / 2, area.y + (area.height - height) / 2, width, height, false);
}

bool CWnd::ShowWindow(int command) {
  if (!IsLive(m_hWnd)) return false;
  bool wasVisible = m_hWnd->visible;
  GtkWidget* shown = m_hWnd->toplevel != nullptr ? m_hWnd->toplevel : m_hWnd->widget;
  switch (command) {
    case SW_HIDE:
      m_hWnd->visible = false;
      if (shown != nullptr) gtk_widget_hide(shown);
      break;
    case SW_MINIMIZE:
      m_hWnd->visible = true;
      m_hWnd->iconic = true;
      if (m_hWnd->toplevel != nullptr) {
        gtk_widget_show_all(m_hWnd->toplevel);
        gtk_window_iconify(GTK_WINDOW(m_hWnd->toplevel));
      }
      break;
    case SW_RESTORE:
      m_hWnd->iconic = false;
      if (m_hWnd->toplevel != nullptr) gtk_window_deiconify(GTK_WINDOW(m_hWnd->toplevel));
      [[fallthrough]];
    default:
      m_hWnd->visible = true;
      if (shown != nullptr) {
        if (m_hWnd->widget != nullptr) gtk_widget_show_all(m_hWnd->widget);
        gtk_widget_show(shown);
      }
      break;
  }
  return wasVisible;
}

void CWnd::UpdateWindow() {
  if (!IsLive(m_hWnd)) return;
  GtkWidget* top = m_hWnd->toplevel != nullptr ? m_hWnd->toplevel : m_hWnd->widget;
  if (top != nullptr) gtk_widget_queue_draw(top);
}

bool CWnd::SetWindowPosTop() {
  GdkWindow* native = IsLive(m_hWnd) ? NativeWindowOf(m_hWnd) : nullptr;
  if (native == nullptr) return IsLive(m_hWnd);
  gdk_window_raise(native);
  return true;
}

void SetForegroundWindow(HWND window) {
  HWND top = TopLevelOf(IsLive(window) ? window : nullptr);
  if (top == nullptr || top->toplevel == nullptr) return;
  gtk_window_present(GTK_WINDOW(top->toplevel));
}

void CWnd::SetForegroundWindow() { ::SetForegroundWindow(m_hWnd); }

void CWnd::SetCapture() {
  if (!IsLive(m_hWnd)) return;
  WindowLayer& layer = Layer();
  if (layer.captured != nullptr && layer.captured != m_hWnd) ReleaseCapture();
  layer.captured = m_hWnd;
  GdkWindow* native = NativeWindowOf(m_hWnd);
  if (native == nullptr || !gdk_window_is_visible(native)) return;
  GdkSeat* seat = gdk_display_get_default_seat(gdk_window_get_display(native));
  gdk_seat_grab(seat, native, GDK_SEAT_CAPABILITY_ALL_POINTING, TRUE, nullptr, nullptr, nullptr, nullptr);
}

void CWnd::ReleaseCapture() {
  WindowLayer& layer = Layer();
  HWND captured = layer.captured;
  layer.captured = nullptr;
  if (!IsLive(captured) || NativeWindowOf(captured) == nullptr) return;
  GdkDisplay* display = gdk_window_get_display(NativeWindowOf(captured));
  gdk_seat_ungrab(gdk_display_get_default_seat(display));
}

HWND CWnd::GetCapture() { return IsLive(Layer().captured) ? Layer().captured : nullptr; }

bool CWnd::DestroyWindow() { return ::DestroyWindow(m_hWnd); }

bool CWnd::IsIconic() const { return IsLive(m_hWnd) && m_hWnd->iconic; }

bool CWnd::IsWindowVisible() const { return IsLive(m_hWnd) && m_hWnd->visible; }

void CWnd::SetShownInTaskbar(bool shown) {
  if (!IsLive(m_hWnd) || m_hWnd->toplevel == nullptr) return;
  gtk_window_set_skip_taskbar_hint(GTK_WINDOW(m_hWnd->toplevel), !shown);
  gtk_window_set_skip_pager_hint(GTK_WINDOW(m_hWnd->toplevel), !shown);
}
