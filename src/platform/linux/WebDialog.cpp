#include "platform/WebDialog.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <sys/random.h>

#include <cstdio>
#include <cstring>
#include <utility>

namespace platform {
namespace {

constexpr char kMessageHandler[] = "external";
// The least time between two snapshots of the page for the window's shape: repaints come in
// bursts (animations, typing) and a snapshot renders the whole visible page.
constexpr guint kShapeIntervalMs = 40;
// How long a page opened by Navigate may take to answer before it counts as failed.
constexpr guint kLoadTimeoutSeconds = 30;

// Why a certificate does not verify, for a player.
std::string CertificateProblem(GTlsCertificateFlags errors) {
  if (errors & G_TLS_CERTIFICATE_UNKNOWN_CA) return "the server's certificate is not signed by an authority this system trusts";
  if (errors & G_TLS_CERTIFICATE_BAD_IDENTITY) return "the server's certificate is made out to another host";
  if (errors & G_TLS_CERTIFICATE_NOT_ACTIVATED) return "the server's certificate is not valid yet";
  if (errors & G_TLS_CERTIFICATE_EXPIRED) return "the server's certificate has expired";
  if (errors & G_TLS_CERTIFICATE_REVOKED) return "the server's certificate has been revoked";
  if (errors & G_TLS_CERTIFICATE_INSECURE) return "the server's certificate uses an insecure algorithm";
  return "the server's certificate cannot be verified";
}


// The script that runs first in every frame of every page: window.external with the native
// methods (arguments converted as the header states), and, in the top document, the click targets
// bound when the document is complete. The message handler is captured before the page's own
// script runs, so a page that replaces window.webkit still reaches the native side. Each message
// starts with the call key in frames of the trusted origin and with an empty text elsewhere: the
// key lives only in this function's scope, which no page script can read, and a file: URL trusts
// file: frames (their origin is opaque, as every data: and sandboxed frame's is).
std::string BootstrapScript(const std::vector<ExternalMethod>& methods, const std::vector<std::string>& clickTargets,
                            const std::string& trustedUrl, const std::string& callKey) {
  std::string methodList = "[";
  for (const ExternalMethod& method : methods) {
    std::string kinds;
    for (ScriptParameter parameter : method.parameters) kinds += parameter == ScriptParameter::kInt16 ? 'i' : 't';
    methodList += "[" + ScriptStringLiteral(method.name) + "," + ScriptStringLiteral(kinds) + "],";
  }
  methodList += "]";
  std::string targetList = "[";
  for (const std::string& id : clickTargets) targetList += ScriptStringLiteral(id) + ",";
  targetList += "]";

  return R"JS((function () {
  'use strict';
  const handler = window.webkit.messageHandlers.)JS" +
         std::string(kMessageHandler) + R"JS(;
  const post = handler.postMessage.bind(handler);
  const methods = )JS" + methodList + R"JS(;
  const key = (function () {
    function originOf(url) {
      const parsed = new URL(url);
      return parsed.protocol === 'file:' ? 'file:' : parsed.origin;
    }
    try {
      const trusted = originOf()JS" + ScriptStringLiteral(trustedUrl) + R"JS();
      return trusted !== 'null' && originOf(window.location.href) === trusted ? )JS" + ScriptStringLiteral(callKey) + R"JS( : '';
    } catch (error) {
      return '';
    }
  })();
  const targets = )JS" + targetList + R"JS(;
  function toText(value, name) {
    if (value === null || value === undefined) throw new TypeError(name + ': a text argument is missing');
    return String(value);
  }
  function toInt16(value, name) {
    const number = Number(value);
    if (!Number.isFinite(number)) throw new TypeError(name + ': an integer argument is not a number');
    let rounded = Math.round(number);
    if (Math.abs(number % 1) === 0.5) rounded = 2 * Math.round(number / 2);
    if (rounded < -32768 || rounded > 32767) throw new RangeError(name + ': an integer argument is out of range');
    return rounded;
  }
  const external = {};
  methods.forEach(function (method, index) {
    const name = method[0], kinds = method[1];
    external[name] = function () {
      if (arguments.length !== kinds.length)
        throw new TypeError(name + ' takes ' + kinds.length + ' arguments, not ' + arguments.length);
      const message = [key, index];
      for (let i = 0; i < kinds.length; ++i)
        message.push(kinds[i] === 'i' ? toInt16(arguments[i], name) : toText(arguments[i], name));
      post(message);
    };
  });
  Object.freeze(external);
  Object.defineProperty(window, 'external', {value: external, writable: false, configurable: false, enumerable: true});
  if (window !== window.top) return;
  function bindTargets() {
    targets.forEach(function (id) {
      const element = document.getElementById(id);
      if (element) element.addEventListener('click', function () { post([key, 'click', id]); });
    });
  }
  if (document.readyState === 'complete') bindTargets();
  else window.addEventListener('load', bindTargets, {once: true});
})();)JS";
}

// Windows virtual-key codes of the keys a key filter can name.
unsigned VirtualKeyOf(guint keyval) {
  guint upper = gdk_keyval_to_upper(keyval);
  if ((upper >= 'A' && upper <= 'Z') || (upper >= '0' && upper <= '9')) return upper;
  if (keyval >= GDK_KEY_F1 && keyval <= GDK_KEY_F24) return 0x70 + (keyval - GDK_KEY_F1);
  if (keyval >= GDK_KEY_KP_0 && keyval <= GDK_KEY_KP_9) return 0x60 + (keyval - GDK_KEY_KP_0);
  switch (keyval) {
    case GDK_KEY_BackSpace: return 0x08;
    case GDK_KEY_Tab: case GDK_KEY_ISO_Left_Tab: return 0x09;
    case GDK_KEY_Return: case GDK_KEY_KP_Enter: return 0x0D;
    case GDK_KEY_Shift_L: case GDK_KEY_Shift_R: return 0x10;
    case GDK_KEY_Control_L: case GDK_KEY_Control_R: return 0x11;
    case GDK_KEY_Alt_L: case GDK_KEY_Alt_R: case GDK_KEY_Meta_L: case GDK_KEY_Meta_R: return 0x12;
    case GDK_KEY_Escape: return 0x1B;
    case GDK_KEY_space: return 0x20;
    case GDK_KEY_Page_Up: case GDK_KEY_KP_Page_Up: return 0x21;
    case GDK_KEY_Page_Down: case GDK_KEY_KP_Page_Down: return 0x22;
    case GDK_KEY_End: case GDK_KEY_KP_End: return 0x23;
    case GDK_KEY_Home: case GDK_KEY_KP_Home: return 0x24;
    case GDK_KEY_Left: case GDK_KEY_KP_Left: return 0x25;
    case GDK_KEY_Up: case GDK_KEY_KP_Up: return 0x26;
    case GDK_KEY_Right: case GDK_KEY_KP_Right: return 0x27;
    case GDK_KEY_Down: case GDK_KEY_KP_Down: return 0x28;
    case GDK_KEY_Insert: case GDK_KEY_KP_Insert: return 0x2D;
    case GDK_KEY_Delete: case GDK_KEY_KP_Delete: return 0x2E;
    case GDK_KEY_KP_Multiply: return 0x6A;
    case GDK_KEY_KP_Add: return 0x6B;
    case GDK_KEY_KP_Subtract: return 0x6D;
    case GDK_KEY_KP_Decimal: return 0x6E;
    case GDK_KEY_KP_Divide: return 0x6F;
    case GDK_KEY_equal: case GDK_KEY_plus: return 0xBB;
    case GDK_KEY_comma: case GDK_KEY_less: return 0xBC;
    case GDK_KEY_minus: case GDK_KEY_underscore: return 0xBD;
    case GDK_KEY_period: case GDK_KEY_greater: return 0xBE;
    default: return 0;
  }
}

bool IsOpaqueMagenta(uint32_t pixel) { return pixel == 0xFFFF00FFu; }

// The origin of a URL as the bootstrap script compares it: "file:" for every file: URL, empty for
// an opaque origin or what is no URL.
std::string OriginOf(const char* uri) {
  if (uri == nullptr || uri[0] == '\0') return {};
  if (g_ascii_strncasecmp(uri, "file:", 5) == 0) return "file:";
  WebKitSecurityOrigin* origin = webkit_security_origin_new_for_uri(uri);
  gchar* text = origin != nullptr ? webkit_security_origin_to_string(origin) : nullptr;
  std::string result = text != nullptr ? text : "";
  g_free(text);
  if (origin != nullptr) webkit_security_origin_unref(origin);
  return result == "null" ? std::string() : result;
}

// 128 random bits as hexadecimal; empty when the system has no randomness to give.
std::string NewCallKey() {
  uint8_t bytes[16];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return {};
  std::string key;
  for (uint8_t byte : bytes) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", byte);
    key += hex;
  }
  return key;
}

}  // namespace

std::string ScriptStringLiteral(std::string_view text) {
  std::string literal = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      literal += '\\';
      literal += static_cast<char>(c);
    } else if (c < 0x20 || c == '<' || c == '>' || c == '&' || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      literal += escaped;
    } else {
      literal += static_cast<char>(c);
    }
  }
  return literal + "\"";
}


struct WebDialog::Impl {
  explicit Impl(WebDialogDelegate& owner) : delegate(owner) {}

  WebDialogDelegate& delegate;
  GtkWidget* window = nullptr;  // owned by GTK's toplevel list until gtk_widget_destroy
  WebKitWebView* view = nullptr;  // a child of `window`
  WebKitUserContentManager* contentManager = nullptr;  // our reference
  gulong messageHandlerId = 0;
  size_t methodCount = 0;
  std::vector<std::string> clickTargets;
  std::string trustedOrigin;  // empty: no call is trusted
  std::string callKey;        // what trusted frames put first in each message

  guint loadTimer = 0;  // a page opened by Navigate that has not answered yet
  bool showsOwnHtml = false;  // ShowHtml's document is up: its load is not checked
  std::string navigationTarget;  // the page Navigate asked for

  // Shape tracking: at most one snapshot in flight; a repaint during it asks for another.
  GCancellable* cancellable = nullptr;  // our reference; cancelled by Destroy
  guint shapeTimer = 0;
  bool snapshotInFlight = false;
  bool shapeDirty = false;
  bool shapeKnown = false;
  std::vector<ShapeRect> shape;

  // Carries the dialog to the snapshot's completion; the cancellable tells whether it still lives.
  struct SnapshotRequest {
    Impl* impl;
    GCancellable* cancellable;  // a reference of the request's own
  };

  void RequestShapeUpdate() {
    if (window == nullptr || !gtk_widget_get_visible(window)) return;
    if (snapshotInFlight) {
      shapeDirty = true;
      return;
    }
    if (shapeTimer != 0) return;
    shapeTimer = g_timeout_add(kShapeIntervalMs, OnShapeTimer, this);
  }

  static gboolean OnShapeTimer(gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    impl->shapeTimer = 0;
    if (impl->view == nullptr || !gtk_widget_get_visible(impl->window)) return G_SOURCE_REMOVE;
    impl->snapshotInFlight = true;
    auto* request = new SnapshotRequest{impl, G_CANCELLABLE(g_object_ref(impl->cancellable))};
    webkit_web_view_get_snapshot(impl->view, WEBKIT_SNAPSHOT_REGION_VISIBLE,
                                 WEBKIT_SNAPSHOT_OPTIONS_TRANSPARENT_BACKGROUND, impl->cancellable, OnSnapshot,
                                 request);
    return G_SOURCE_REMOVE;
  }

  static void OnSnapshot(GObject* source, GAsyncResult* result, gpointer data) {
    auto* request = static_cast<SnapshotRequest*>(data);
    GError* error = nullptr;
    cairo_surface_t* surface = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, &error);
    const bool alive = !g_cancellable_is_cancelled(request->cancellable);
    g_object_unref(request->cancellable);
    Impl* impl = request->impl;
    delete request;
    if (error != nullptr) g_error_free(error);
    if (!alive) {
      if (surface != nullptr) cairo_surface_destroy(surface);
      return;
    }
    impl->snapshotInFlight = false;
    if (surface != nullptr) {
      impl->ApplyShape(surface);
      cairo_surface_destroy(surface);
    }
    if (impl->shapeDirty) {
      impl->shapeDirty = false;
      impl->RequestShapeUpdate();
    }
  }

  void ApplyShape(cairo_surface_t* surface) {
    if (cairo_surface_get_type(surface) != CAIRO_SURFACE_TYPE_IMAGE ||
        cairo_image_surface_get_format(surface) != CAIRO_FORMAT_ARGB32) {
      return;
    }
    cairo_surface_flush(surface);
    const int width = cairo_image_surface_get_width(surface);
    const int height = cairo_image_surface_get_height(surface);
    // The snapshot is in device pixels; the shape is set in the window's logical pixels.
    const int scale = gtk_widget_get_scale_factor(window);
    GtkAllocation allocation;
    gtk_widget_get_allocation(GTK_WIDGET(view), &allocation);
    if (width != allocation.width * scale || height != allocation.height * scale) {
      // Taken before the last resize reached the page; the resize asks for a new one.
      shapeDirty = true;
      return;
    }
    std::vector<ShapeRect> rects = VisibleShapeOf(cairo_image_surface_get_data(surface), width, height,
                                                  cairo_image_surface_get_stride(surface));
    if (scale > 1) {
      for (ShapeRect& rect : rects) {
        const int right = (rect.x + rect.width + scale - 1) / scale, bottom = (rect.y + rect.height + scale - 1) / scale;
        rect.x /= scale;
        rect.y /= scale;
        rect.width = right - rect.x;
        rect.height = bottom - rect.y;
      }
    }
    if (shapeKnown && rects == shape) return;
    shape = std::move(rects);
    shapeKnown = true;
    SetShape(shape);
  }

  // Sets the window's bounding and input shapes (X11 SHAPE, through GDK) to `rects`.
  void SetShape(const std::vector<ShapeRect>& rects) {
    cairo_region_t* region = cairo_region_create();
    for (const ShapeRect& rect : rects) {
      cairo_rectangle_int_t area{rect.x, rect.y, rect.width, rect.height};
      cairo_region_union_rectangle(region, &area);
    }
    gtk_widget_shape_combine_region(window, region);
    gtk_widget_input_shape_combine_region(window, region);
    cairo_region_destroy(region);
  }

  // --- signal handlers ---

  static void OnScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    JSCValue* message = webkit_javascript_result_get_js_value(result);
    if (!jsc_value_is_array(message)) return;
    JSCValue* lengthValue = jsc_value_object_get_property(message, "length");
    const int whole = jsc_value_to_int32(lengthValue);
    g_object_unref(lengthValue);
    if (whole < 2) return;

    auto text = [](JSCValue* value) {
      char* chars = jsc_value_to_string(value);
      std::string copy = chars != nullptr ? chars : "";
      g_free(chars);
      return copy;
    };
    JSCValue* keyValue = jsc_value_object_get_property_at_index(message, 0);
    const bool keyed = jsc_value_is_string(keyValue) && !impl->callKey.empty() && text(keyValue) == impl->callKey;
    g_object_unref(keyValue);
    const CallOrigin origin = keyed && !impl->trustedOrigin.empty() &&
                                      OriginOf(webkit_web_view_get_uri(impl->view)) == impl->trustedOrigin
                                  ? CallOrigin::kTrusted
                                  : CallOrigin::kOther;
    const int length = whole - 1;
    std::vector<JSCValue*> items;
    for (int i = 0; i < length; ++i) items.push_back(jsc_value_object_get_property_at_index(message, i + 1));

    if (jsc_value_is_string(items[0])) {
      if (text(items[0]) == "click" && length == 2) {
        std::string id = text(items[1]);
        for (JSCValue* item : items) g_object_unref(item);
        for (const std::string& target : impl->clickTargets) {
          if (target == id) {
            impl->delegate.OnElementClicked(id);
            break;
          }
        }
        return;
      }
    } else if (jsc_value_is_number(items[0])) {
      const int index = jsc_value_to_int32(items[0]);
      std::vector<ScriptArgument> arguments;
      for (int i = 1; i < length; ++i) {
        if (jsc_value_is_number(items[i]))
          arguments.emplace_back(static_cast<int>(jsc_value_to_int32(items[i])));
        else
          arguments.emplace_back(text(items[i]));
      }
      for (JSCValue* item : items) g_object_unref(item);
      if (index >= 0 && static_cast<size_t>(index) < impl->methodCount)
        impl->delegate.OnExternalCall(index, arguments, origin);
      return;
    }
    for (JSCValue* item : items) g_object_unref(item);
  }

  static gboolean OnKey(GtkWidget*, GdkEventKey* event, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    KeyMessage key;
    key.control = (event->state & GDK_CONTROL_MASK) != 0;
    key.alt = (event->state & GDK_MOD1_MASK) != 0;
    key.keyDown = event->type == GDK_KEY_PRESS && !key.alt;
    key.virtualKey = VirtualKeyOf(event->keyval);
    return impl->delegate.FilterKey(key) ? TRUE : FALSE;
  }

  static gboolean OnScroll(GtkWidget*, GdkEvent*, gpointer) { return TRUE; }

  static gboolean OnContextMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent*, WebKitHitTestResult* hit,
                                gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    ContextMenuTarget target = ContextMenuTarget::kOther;
    if (webkit_hit_test_result_context_is_editable(hit))
      target = ContextMenuTarget::kTextField;
    else if (webkit_hit_test_result_context_is_selection(hit))
      target = ContextMenuTarget::kTextSelection;
    return impl->delegate.AllowContextMenu(target) ? FALSE : TRUE;
  }

  static void OnLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    // Whatever zoom a page or a key set before, each page starts at 100 %.
    if (event == WEBKIT_LOAD_COMMITTED) {
      webkit_web_view_set_zoom_level(view, 1.0);
      impl->CheckCommittedPage();
    }
    if (event == WEBKIT_LOAD_FINISHED) impl->RequestShapeUpdate();
  }

  // --- load failures ---

  void CancelLoadTimer() {
    if (loadTimer != 0) g_source_remove(loadTimer);
    loadTimer = 0;
  }

  void ReportLoadFailure(const std::string& uri, const std::string& cause) {
    CancelLoadTimer();
    if (showsOwnHtml) return;  // the caller's own document answers for itself
    delegate.OnLoadFailed(uri, cause);
  }

  // An error page of the server (4xx, 5xx) loads like any page; its status tells.
  void CheckCommittedPage() {
    CancelLoadTimer();  // an answer came
    if (showsOwnHtml) return;
    WebKitWebResource* page = webkit_web_view_get_main_resource(view);
    WebKitURIResponse* response = page != nullptr ? webkit_web_resource_get_response(page) : nullptr;
    const guint status = response != nullptr ? webkit_uri_response_get_status_code(response) : 0;
    const std::string uri = webkit_web_view_get_uri(view) != nullptr ? webkit_web_view_get_uri(view) : "";
    if (status >= 400) ReportLoadFailure(uri, "the server answered HTTP " + std::to_string(status));
    // WebKit refuses some addresses without a failure: it shows an empty page in their place.
    if (uri == "about:blank" && !navigationTarget.empty() && navigationTarget != uri)
      ReportLoadFailure(navigationTarget, "the web view does not open this address (not a valid address, or a network "
                                          "port that pages may not use)");
  }

  static gboolean OnLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error, gpointer data) {
    // A load given up for another (a new navigation, Stop) is no failure of the page.
    if (g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED) ||
        g_error_matches(error, WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE))
      return TRUE;
    static_cast<Impl*>(data)->ReportLoadFailure(uri != nullptr ? uri : "", error != nullptr ? error->message : "it cannot be loaded");
    return TRUE;  // never WebKit's own error page
  }

  static gboolean OnTlsFailure(WebKitWebView*, gchar* uri, GTlsCertificate*, GTlsCertificateFlags errors, gpointer data) {
    static_cast<Impl*>(data)->ReportLoadFailure(uri != nullptr ? uri : "", CertificateProblem(errors));
    return TRUE;
  }

  static gboolean OnLoadTimeout(gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    impl->loadTimer = 0;
    const char* uri = webkit_web_view_get_uri(impl->view);
    const std::string failed = uri != nullptr ? uri : "";
    webkit_web_view_stop_loading(impl->view);
    impl->ReportLoadFailure(failed, "no answer within " + std::to_string(kLoadTimeoutSeconds) + " s");
    return G_SOURCE_REMOVE;
  }

  static gboolean OnDrawn(GtkWidget*, cairo_t*, gpointer data) {
    static_cast<Impl*>(data)->RequestShapeUpdate();
    return FALSE;
  }

  static void OnSizeAllocate(GtkWidget*, GdkRectangle*, gpointer data) { static_cast<Impl*>(data)->RequestShapeUpdate(); }

  // The page's own dialogs answer at once, as if dismissed: alert returns, confirm answers
  // false, prompt answers null (no text set), and leaving the page is allowed. Nothing is shown.
  static gboolean OnScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer) {
    switch (webkit_script_dialog_get_dialog_type(dialog)) {
      case WEBKIT_SCRIPT_DIALOG_CONFIRM:
        webkit_script_dialog_confirm_set_confirmed(dialog, FALSE);
        break;
      case WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM:
        webkit_script_dialog_confirm_set_confirmed(dialog, TRUE);
        break;
      default:
        break;
    }
    return TRUE;
  }

  // No password prompt, and no client certificate or server trust asked of the user: the request
  // that asked fails at once.
  static gboolean OnAuthenticate(WebKitWebView*, WebKitAuthenticationRequest* request, gpointer) {
    webkit_authentication_request_cancel(request);
    return TRUE;
  }

  static gboolean OnDelete(GtkWidget*, GdkEvent*, gpointer data) {
    static_cast<Impl*>(data)->delegate.OnCloseRequested();
    return TRUE;  // the owner decides when the window goes
  }
};

WebDialog::WebDialog(WebDialogDelegate& delegate) : m_impl(std::make_unique<Impl>(delegate)) {}

WebDialog::~WebDialog() { Destroy(); }

bool WebDialog::Create(const std::string& caption, std::vector<ExternalMethod> methods,
                       std::vector<std::string> clickTargets, const std::string& trustedUrl) {
  if (m_impl->window != nullptr) return true;
  if (gdk_display_get_default() == nullptr) return false;
  Impl& impl = *m_impl;
  impl.methodCount = methods.size();
  impl.clickTargets = std::move(clickTargets);
  impl.trustedOrigin = OriginOf(trustedUrl.c_str());
  impl.callKey = NewCallKey();
  impl.cancellable = g_cancellable_new();

  impl.contentManager = webkit_user_content_manager_new();
  WebKitUserScript* script = webkit_user_script_new(
      BootstrapScript(methods, impl.clickTargets, impl.trustedOrigin.empty() ? "" : trustedUrl, impl.callKey).c_str(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
      WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
  webkit_user_content_manager_add_script(impl.contentManager, script);
  webkit_user_script_unref(script);
  impl.messageHandlerId = g_signal_connect(impl.contentManager, (std::string("script-message-received::") + kMessageHandler).c_str(),
                                           G_CALLBACK(Impl::OnScriptMessage), &impl);
  webkit_user_content_manager_register_script_message_handler(impl.contentManager, kMessageHandler);

  WebKitSettings* settings = webkit_settings_new();
  webkit_settings_set_enable_developer_extras(settings, FALSE);
  webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);
  // The page is drawn by the CPU into the window: GPU compositing renders incompletely (text
  // missing) on X servers without direct rendering such as Xvfb, and a login page needs no GPU.
  webkit_settings_set_hardware_acceleration_policy(settings, WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
  // The page's console goes to standard output when asked for, as the player's does.
  const char* console = g_getenv("BRIMTALE_PLAYER_CONSOLE");
  webkit_settings_set_enable_write_console_messages_to_stdout(settings, console != nullptr && console[0] == '1');
  impl.view = WEBKIT_WEB_VIEW(
      g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", impl.contentManager, "settings", settings, nullptr));
  g_object_unref(settings);
  const GdkRGBA transparent{0, 0, 0, 0};
  webkit_web_view_set_background_color(impl.view, &transparent);
  gtk_drag_dest_unset(GTK_WIDGET(impl.view));
  g_signal_connect(impl.view, "scroll-event", G_CALLBACK(Impl::OnScroll), &impl);
  g_signal_connect(impl.view, "context-menu", G_CALLBACK(Impl::OnContextMenu), &impl);
  g_signal_connect(impl.view, "load-changed", G_CALLBACK(Impl::OnLoadChanged), &impl);
  g_signal_connect(impl.view, "load-failed", G_CALLBACK(Impl::OnLoadFailed), &impl);
  g_signal_connect(impl.view, "load-failed-with-tls-errors", G_CALLBACK(Impl::OnTlsFailure), &impl);
  // Before the view's own handler: it stops the emission, so a handler after it never runs. The
  // snapshot is taken a moment later, when the frame being drawn is the page's current one.
  g_signal_connect(impl.view, "draw", G_CALLBACK(Impl::OnDrawn), &impl);
  g_signal_connect(impl.view, "size-allocate", G_CALLBACK(Impl::OnSizeAllocate), &impl);
  g_signal_connect(impl.view, "script-dialog", G_CALLBACK(Impl::OnScriptDialog), &impl);
  g_signal_connect(impl.view, "authenticate", G_CALLBACK(Impl::OnAuthenticate), &impl);
  // A certificate that does not verify fails the load; no exception is ever made for a host.
  webkit_website_data_manager_set_tls_errors_policy(webkit_web_view_get_website_data_manager(impl.view),
                                                    WEBKIT_TLS_ERRORS_POLICY_FAIL);

  impl.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  GtkWindow* window = GTK_WINDOW(impl.window);
  gtk_window_set_title(window, caption.c_str());
  gtk_window_set_decorated(window, FALSE);
  if (GdkVisual* visual = gdk_screen_get_rgba_visual(gtk_widget_get_screen(impl.window))) {
    gtk_widget_set_visual(impl.window, visual);
  }
  gtk_widget_set_app_paintable(impl.window, TRUE);
  gtk_window_move(window, 0, 0);
  gtk_window_set_default_size(window, 1, 1);
  gtk_container_add(GTK_CONTAINER(impl.window), GTK_WIDGET(impl.view));
  g_signal_connect(impl.window, "key-press-event", G_CALLBACK(Impl::OnKey), &impl);
  g_signal_connect(impl.window, "key-release-event", G_CALLBACK(Impl::OnKey), &impl);
  g_signal_connect(impl.window, "delete-event", G_CALLBACK(Impl::OnDelete), &impl);
  // The X window exists, with its name, before the page shows it: another copy finds it by caption.
  gtk_widget_realize(impl.window);
  gtk_widget_show(GTK_WIDGET(impl.view));
  return true;
}

void WebDialog::Destroy() {
  Impl& impl = *m_impl;
  if (impl.window == nullptr) return;
  g_cancellable_cancel(impl.cancellable);
  impl.CancelLoadTimer();
  if (impl.shapeTimer != 0) g_source_remove(impl.shapeTimer);
  impl.shapeTimer = 0;
  g_signal_handlers_disconnect_by_data(impl.view, &impl);
  g_signal_handlers_disconnect_by_data(impl.window, &impl);
  g_signal_handler_disconnect(impl.contentManager, impl.messageHandlerId);
  webkit_user_content_manager_unregister_script_message_handler(impl.contentManager, kMessageHandler);
  gtk_widget_destroy(impl.window);
  impl.window = nullptr;
  impl.view = nullptr;
  g_object_unref(impl.contentManager);
  impl.contentManager = nullptr;
  g_object_unref(impl.cancellable);
  impl.cancellable = nullptr;
}

void WebDialog::Navigate(const std::string& url) {
  Impl& impl = *m_impl;
  if (impl.view == nullptr) return;
  impl.CancelLoadTimer();
  impl.showsOwnHtml = false;
  impl.navigationTarget = url;
  impl.loadTimer = g_timeout_add_seconds(kLoadTimeoutSeconds, Impl::OnLoadTimeout, &impl);
  webkit_web_view_load_uri(impl.view, url.c_str());
}

void WebDialog::ShowHtml(const std::string& html, const std::string& uri) {
  Impl& impl = *m_impl;
  if (impl.view == nullptr) return;
  impl.CancelLoadTimer();
  impl.showsOwnHtml = true;
  webkit_web_view_load_alternate_html(impl.view, html.c_str(), uri.c_str(), nullptr);
}

void WebDialog::MoveAndResize(int x, int y, int width, int height) {
  Impl& impl = *m_impl;
  if (impl.window == nullptr) return;
  GtkWindow* window = GTK_WINDOW(impl.window);
  if (width <= 0 || height <= 0) {
    gtk_widget_hide(impl.window);
    return;
  }
  if (!gtk_widget_get_visible(impl.window)) {
    // Nothing shows until the page's own shape is known: no flash of the colour key.
    impl.shape.clear();
    impl.shapeKnown = true;
    impl.SetShape(impl.shape);
  }
  gtk_window_move(window, x, y);
  gtk_window_resize(window, width, height);
  if (!gtk_widget_get_visible(impl.window)) {
    gtk_widget_show(impl.window);
    gtk_window_present(window);
  }
  impl.RequestShapeUpdate();
}

bool WebDialog::BeginMoveDrag() {
  Impl& impl = *m_impl;
  if (impl.window == nullptr) return false;
  GdkDisplay* display = gtk_widget_get_display(impl.window);
  GdkDevice* pointer = gdk_seat_get_pointer(gdk_display_get_default_seat(display));
  if (pointer == nullptr) return false;
  int x = 0, y = 0;
  gdk_device_get_position(pointer, nullptr, &x, &y);
  GdkModifierType mask = static_cast<GdkModifierType>(0);
  gdk_device_get_state(pointer, gdk_screen_get_root_window(gtk_widget_get_screen(impl.window)), nullptr, &mask);
  // A drag started without the button held would follow the pointer until the next click.
  if ((mask & GDK_BUTTON1_MASK) == 0) return false;
  gtk_window_begin_move_drag(GTK_WINDOW(impl.window), 1, x, y, gtk_get_current_event_time());
  return true;
}


ScreenRect WebDialog::PrimaryScreenRect() {
  GdkDisplay* display = gdk_display_get_default();
  if (display == nullptr) return {};
  GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
  if (monitor == nullptr) monitor = gdk_display_get_monitor(display, 0);
  if (monitor == nullptr) return {};
  GdkRectangle area;
  gdk_monitor_get_geometry(monitor, &area);
  return {area.x, area.y, area.width, area.height};
}

bool OpenWithDefaultHandler(const std::string& target) {
  gchar* argv[] = {const_cast<gchar*>("xdg-open"), const_cast<gchar*>(target.c_str()), nullptr};
  GError* error = nullptr;
  const gboolean started = g_spawn_async(nullptr, argv, nullptr,
                                         static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL),
                                         nullptr, nullptr, nullptr, &error);
  if (error != nullptr) g_error_free(error);
  return started != FALSE;
}

std::vector<ShapeRect> VisibleShapeOf(const uint8_t* pixels, int width, int height, int stride) {
  std::vector<ShapeRect> rects;
  if (pixels == nullptr || width <= 0 || height <= 0 || stride < width * 4) return rects;
  // Runs of the previous row's band, extended downwards while the next row has the same runs.
  std::vector<std::pair<int, int>> bandRuns, rowRuns;
  size_t bandStart = 0;  // index in `rects` of the current band's first rectangle
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = pixels + static_cast<size_t>(y) * stride;
    rowRuns.clear();
    int runStart = -1;
    for (int x = 0; x < width; ++x) {
      uint32_t pixel;
      std::memcpy(&pixel, row + x * 4, sizeof pixel);
      const bool visible = (pixel >> 24) != 0 && !IsOpaqueMagenta(pixel);
      if (visible && runStart < 0) runStart = x;
      if (!visible && runStart >= 0) {
        rowRuns.emplace_back(runStart, x - runStart);
        runStart = -1;
      }
    }
    if (runStart >= 0) rowRuns.emplace_back(runStart, width - runStart);

    if (y > 0 && rowRuns == bandRuns) {
      for (size_t i = bandStart; i < rects.size(); ++i) ++rects[i].height;
      continue;
    }
    bandStart = rects.size();
    for (const auto& [x, length] : rowRuns) rects.push_back({x, y, length, 1});
    bandRuns = rowRuns;
  }
  return rects;
}

}  // namespace platform
