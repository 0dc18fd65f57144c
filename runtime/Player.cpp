// A player: its web view and page, the page's messages (the movie's commands, trace output and
// errors), and the calls into the movie.

#include <gio/gunixfdlist.h>
#include <sys/socket.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "InvokeRequest.h"
#include "RuntimeState.h"

namespace player_runtime {

namespace {

// WebKit hides the GL renderer's name from pages, so the page cannot tell a software rasterizer
// itself. Without a DRM render node (or with LIBGL_ALWAYS_SOFTWARE) Mesa draws on the CPU, where
// Ruffle's WebGL frames take both cores and hold every command back; its canvas renderer costs a
// fraction of that.
bool DrawsWithoutGpu() {
  const char* software = std::getenv("LIBGL_ALWAYS_SOFTWARE");
  if (software != nullptr && software[0] != '\0' && std::string(software) != "0") return true;
  GDir* devices = g_dir_open("/dev/dri", 0, nullptr);
  if (devices == nullptr) return true;
  bool renderNode = false;
  while (const char* name = g_dir_read_name(devices)) {
    if (g_str_has_prefix(name, "renderD")) renderNode = true;
  }
  g_dir_close(devices);
  return !renderNode;
}

void RunScript(Player* player, std::string script) {
  if (player->view == nullptr) return;
  if (!player->ready) {
    player->waiting.push_back(std::move(script));
    return;
  }
  webkit_web_view_evaluate_javascript(player->view, script.c_str(), static_cast<gssize>(script.size()), nullptr,
                                      nullptr, nullptr, nullptr, nullptr);
}

// The whole text of a string property, NULs included (the C string of jsc_value_to_string would
// end at the first one).
std::string PropertyText(JSCValue* object, const char* name) {
  JSCValue* value = jsc_value_object_get_property(object, name);
  std::string text;
  if (value != nullptr && jsc_value_is_string(value)) {
    GBytes* bytes = jsc_value_to_string_as_bytes(value);
    gsize size = 0;
    const void* data = bytes != nullptr ? g_bytes_get_data(bytes, &size) : nullptr;
    if (data != nullptr) text.assign(static_cast<const char*>(data), size);
    if (bytes != nullptr) g_bytes_unref(bytes);
  }
  if (value != nullptr) g_object_unref(value);
  return text;
}

bool PropertyIsTrue(JSCValue* object, const char* name) {
  JSCValue* value = jsc_value_object_get_property(object, name);
  bool isTrue = value != nullptr && jsc_value_is_boolean(value) && jsc_value_to_boolean(value);
  if (value != nullptr) g_object_unref(value);
  return isTrue;
}

// Said once a run: every page that follows will most likely be the same.
void ReportMissingChannel() {
  RuntimeState& state = State();
  if (state.channelMissingLogged) return;
  state.channelMissingLogged = true;
  Log("the page has no channel of its own: commands take WebKit's message handler and answers are evaluated as "
      "script");
}

void OnScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
  HWND window = static_cast<HWND>(data);
  JSCValue* message = webkit_javascript_result_get_js_value(result);
  Player* player = PlayerOf(window);
  if (player == nullptr || !jsc_value_is_object(message)) return;
  std::string kind = PropertyText(message, "kind");
  if (kind == "ready") {
    if (!PropertyIsTrue(message, "channel")) ReportMissingChannel();
    player->ready = true;
    std::vector<std::string> waiting;
    waiting.swap(player->waiting);
    for (std::string& script : waiting) RunScript(player, std::move(script));
  } else if (kind == "fscommand") {
    // A page with a channel of its own sends its commands there and nowhere else.
    if (player->listener == nullptr || (player->channel && player->channel->open())) return;
    std::string command = PropertyText(message, "command");
    std::string args = PropertyText(message, "args");
    SFPCFSCommandInfoStruct event{};
    event.hdr.hwndFrom = window;
    event.hdr.code = FPCN_FSCOMMAND;
    event.command = command.c_str();
    event.args = args.c_str();
    event.commandLength = command.size();
    event.argsLength = args.size();
    player->listener(window, player->listenerContext, &event.hdr);
  } else if (kind == "trace") {
    if (player->listener == nullptr) return;
    // One trace call is one line of output, as the player's trace log has it.
    std::string text = PropertyText(message, "text") + "\n";
    SFPCTraceStruct event{};
    event.hdr.hwndFrom = window;
    event.hdr.code = FPCN_TRACE;
    event.text = text.c_str();
    player->listener(window, player->listenerContext, &event.hdr);
  } else if (kind == "error") {
    Log("%s", PropertyText(message, "text").c_str());
  } else if (kind == "failure") {
    OnMovieFailed(*player, PropertyText(message, "cause"), PropertyText(message, "detail"));
  } else if (kind == "retry" || kind == "quit") {
    OnFailurePageAction(*player, kind);
  }
}

constexpr char kChannelMessage[] = "brimtale-channel";

// The player's compiled code (14 MB) goes to the page with its channel, in the sealed in-memory
// file that holds the player control, which the extension maps: through the page's scheme it came
// in WebKit's pieces of a few kilobytes, each a message between the processes, and that took half
// a second here. The reply's parameters name each file with the index of its descriptor in the
// list (after the socket's), its offset and its size.
GVariant* HandOverCode(const PlayerCode* code, GUnixFDList* descriptors) {
  GVariantBuilder files;
  g_variant_builder_init(&files, G_VARIANT_TYPE("a(sutt)"));
  std::map<int, gint> listed;  // descriptor: its index in the list
  for (const std::string& name : code != nullptr ? code->WasmNames() : std::vector<std::string>{}) {
    std::optional<PlayerCode::SealedFile> file = code->Sealed(name);
    if (!file) continue;  // the page fetches it
    auto [at, added] = listed.emplace(file->fd, -1);
    if (added) at->second = g_unix_fd_list_append(descriptors, file->fd, nullptr);
    if (at->second < 0) continue;
    g_variant_builder_add(&files, "(sutt)", name.c_str(), static_cast<guint32>(at->second),
                          static_cast<guint64>(file->offset), static_cast<guint64>(file->size));
  }
  return g_variant_builder_end(&files);
}

// The runtime's page asks for its channel when its window object is made (the extension does,
// before the page's script runs): one end of a new socket pair goes back with the reply, the other
// serves the page from now on. Any other page is not answered and keeps the older road.
gboolean OnUserMessage(WebKitWebView* view, WebKitUserMessage* message, gpointer data) {
  if (g_strcmp0(webkit_user_message_get_name(message), kChannelMessage) != 0) return FALSE;
  HWND window = static_cast<HWND>(data);
  Player* player = PlayerOf(window);
  const char* uri = webkit_web_view_get_uri(view);
  if (player == nullptr || uri == nullptr || !IsPlayerPage(uri)) return FALSE;
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0) {
    Log("no socket for the page's channel: %s", g_strerror(errno));
    return FALSE;
  }
  if (player->channel) player->channel->Close();
  player->channel = MovieChannel::Open(window, ends[0]);
  GUnixFDList* descriptors = g_unix_fd_list_new_from_array(&ends[1], 1);  // takes the page's end
  GVariant* code = HandOverCode(player->code.get(), descriptors);
  webkit_user_message_send_reply(message, webkit_user_message_new_with_fd_list(kChannelMessage, code, descriptors));
  g_object_unref(descriptors);
  return TRUE;
}

// Nothing waits for the page's process, so its end changes nothing but the road of later calls:
// they queue for a page that has to be loaded again. A process that died took the movie with it:
// the window shows the failure page (in a new process) rather than an empty view.
void OnWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer data) {
  Player* player = PlayerOf(static_cast<HWND>(data));
  const char* cause = reason == WEBKIT_WEB_PROCESS_CRASHED                 ? "crashed"
                      : reason == WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT ? "out of memory"
                                                                           : "ended by the view";
  Log("the page's web process has ended: %s", cause);
  if (player == nullptr) return;
  if (player->channel) player->channel->Close();
  player->channel.reset();
  player->ready = false;
  if (reason != WEBKIT_WEB_PROCESS_TERMINATED_BY_API)
    OnMovieFailed(*player, std::string("the player's process ended (") + cause + ")", "");
}

// The browser's own context menu never shows; the player's menu is the page's.
gboolean OnContextMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent*, WebKitHitTestResult*, gpointer) { return TRUE; }

// A child player draws into an offscreen window; its picture goes where its parent paints it.
gboolean OnOffscreenDamage(GtkWidget*, GdkEvent*, gpointer data) {
  Player* player = PlayerOf(static_cast<HWND>(data));
  if (player == nullptr) return FALSE;
  if (player->picture != nullptr) {
    gtk_widget_queue_draw(player->picture);
    GtkWidget* top = gtk_widget_get_toplevel(player->picture);
    if (top != nullptr) gtk_widget_queue_draw(top);
  }
  return FALSE;
}

void DrawPlayer(const Player* player, cairo_t* cr) {
  if (player->offscreen != nullptr) {
    cairo_surface_t* surface = gtk_offscreen_window_get_surface(GTK_OFFSCREEN_WINDOW(player->offscreen));
    if (surface == nullptr) return;
    cairo_save(cr);
    cairo_set_source_surface(cr, surface, 0, 0);
    cairo_paint(cr);
    cairo_restore(cr);
  } else if (player->view != nullptr) {
    gtk_widget_draw(GTK_WIDGET(player->view), cr);
  }
}

gboolean OnPictureDraw(GtkWidget*, cairo_t* cr, gpointer data) {
  if (Player* player = PlayerOf(static_cast<HWND>(data))) DrawPlayer(player, cr);
  return FALSE;
}

}  // namespace

void CreatePlayer(HWND window, void* widget, const void*) {
  RuntimeState& state = State();
  auto player = std::make_unique<Player>();
  player->window = window;
  player->codeHandle = state.latest;
  auto found = state.codes.find(state.latest);
  if (found != state.codes.end()) player->code = found->second;
  Player* raw = player.get();
  state.players[window] = std::move(player);
  if (widget == nullptr || !raw->code) return;  // no display, or no player control: a blank window

  bool child = GetParent != nullptr && GetParent(window) != nullptr;
  GtkWidget* container = static_cast<GtkWidget*>(widget);
  GdkScreen* screen = gtk_widget_get_screen(container);
  raw->transparent = !child && GetWindowExStyle != nullptr && (GetWindowExStyle(window) & WS_EX_LAYERED) &&
                     gdk_screen_is_composited(screen) && gdk_screen_get_rgba_visual(screen) != nullptr;

  WebKitUserContentManager* content = webkit_user_content_manager_new();
  g_signal_connect(content, "script-message-received::brimtale", G_CALLBACK(OnScriptMessage), window);
  webkit_user_content_manager_register_script_message_handler(content, "brimtale");
  WebKitSettings* settings = webkit_settings_new();
  // Movies come from anywhere (the game's server, local files) into a page of our own origin, and
  // load more from there; a game's server sends no CORS headers (a movie from a loopback server
  // without them fails with "not allowed by Access-Control-Allow-Origin"). The page never leaves
  // the runtime's own and admits no frames (PageGuard.cpp), so only its own script gains by this.
  webkit_settings_set_disable_web_security(settings, TRUE);
  webkit_settings_set_enable_developer_extras(settings, FALSE);
  webkit_settings_set_media_playback_requires_user_gesture(settings, FALSE);
  // A window the movie opens reaches the view's policy (and so the user's browser) unblocked.
  webkit_settings_set_javascript_can_open_windows_automatically(settings, TRUE);
  // The page's console goes to standard output when asked for (diagnosing a movie).
  const char* console = std::getenv("BRIMTALE_PLAYER_CONSOLE");
  webkit_settings_set_enable_write_console_messages_to_stdout(settings, console != nullptr && console[0] == '1');
  // Without a GPU, compositing through GL is Mesa's llvmpipe: it compiled its shaders on the page's
  // thread for some 220 ms right as the movie started, between its first commands, and every
  // frame then went through it. Drawn by the CPU directly, the page does neither.
  if (DrawsWithoutGpu())
    webkit_settings_set_hardware_acceleration_policy(settings, WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
  auto* view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", SharedContext(),
                                            "user-content-manager", content, "settings", settings, nullptr));
  g_object_unref(content);
  g_object_unref(settings);
  raw->view = view;
  g_signal_connect(view, "context-menu", G_CALLBACK(OnContextMenu), nullptr);
  g_signal_connect(view, "user-message-received", G_CALLBACK(OnUserMessage), window);
  g_signal_connect(view, "web-process-terminated", G_CALLBACK(OnWebProcessTerminated), window);
  GuardView(view);
  if (raw->transparent) {
    GdkRGBA clear{0, 0, 0, 0};
    webkit_web_view_set_background_color(view, &clear);
  }

  if (child) {
    int width = 0, height = 0;
    gtk_widget_get_size_request(container, &width, &height);
    raw->offscreen = gtk_offscreen_window_new();
    gtk_window_set_default_size(GTK_WINDOW(raw->offscreen), width > 0 ? width : 640, height > 0 ? height : 480);
    gtk_widget_set_size_request(GTK_WIDGET(view), width > 0 ? width : 640, height > 0 ? height : 480);
    gtk_container_add(GTK_CONTAINER(raw->offscreen), GTK_WIDGET(view));
    g_signal_connect(raw->offscreen, "damage-event", G_CALLBACK(OnOffscreenDamage), window);
    gtk_widget_show_all(raw->offscreen);
    gtk_widget_grab_focus(GTK_WIDGET(view));
    raw->picture = gtk_drawing_area_new();
    g_signal_connect(raw->picture, "draw", G_CALLBACK(OnPictureDraw), window);
    gtk_container_add(GTK_CONTAINER(container), raw->picture);
  } else {
    gtk_container_add(GTK_CONTAINER(container), GTK_WIDGET(view));
  }
  gtk_widget_show(GTK_WIDGET(view));

  webkit_web_view_load_uri(view, PlayerPageUrl(*raw).c_str());
}

std::string PlayerPageUrl(const Player& player) {
  std::string page = PageFileUrl(player.codeHandle, kPlayerPage);
  if (DrawsWithoutGpu()) page += "?renderer=canvas";
  return page;
}

void RunPageScript(Player& player, std::string script) { RunScript(&player, std::move(script)); }

Player* PlayerOfView(WebKitWebView* view) {
  for (auto& [window, player] : State().players)
    if (view != nullptr && player->view == view) return player.get();
  return nullptr;
}

void DestroyPlayer(HWND window) {
  auto& players = State().players;
  auto found = players.find(window);
  if (found == players.end()) return;
  std::unique_ptr<Player> player = std::move(found->second);
  players.erase(found);
  // A command being run (one that closed the window) keeps the channel object until it returns.
  if (player->channel) player->channel->Close();
  if (player->view != nullptr) {
    WebKitUserContentManager* content = webkit_web_view_get_user_content_manager(player->view);
    g_signal_handlers_disconnect_by_data(content, window);
    g_signal_handlers_disconnect_by_data(player->view, window);
  }
  if (player->picture != nullptr) g_signal_handlers_disconnect_by_data(player->picture, window);
  if (player->offscreen != nullptr) {
    g_signal_handlers_disconnect_by_data(player->offscreen, window);
    gtk_widget_destroy(player->offscreen);
  }
  // A top-level player's web view goes with its window's widgets.
}

void LoadMovie(Player& player, const char* url) {
  if (LoadLauncherUrl(player, url)) return;
  ReturnToPlayerPage(player);
  player.movieUrl = url;
  if (url[0] == '\0') {
    RunScript(&player, "brimtale.unload()");
    return;
  }
  std::string script = "brimtale.load(" + JavaScriptString(PageUrlFor(player, url)) + ", " +
                       (player.menu ? "true" : "false") + ", " + (player.transparent ? "true" : "false") + ")";
  RunScript(&player, std::move(script));
}

bool CallMovie(Player& player, const char* request) {
  auto call = ParseInvokeCall(request);
  if (!call) {
    Log("not an invoke request: %s", request);
    return false;
  }
  // No movie plays behind the failure page; the next one must not get calls meant for this one.
  if (player.showsFailure) return true;
  if (player.channel && player.channel->open()) {
    // The page reads the texts as UTF-8, as the script road's literals read them.
    call->name = ValidUtf8(call->name);
    for (InvokeArgument& argument : call->arguments)
      if (argument.kind == InvokeArgument::Kind::kString) argument.text = ValidUtf8(argument.text);
    return player.channel->Call(std::move(*call));
  }
  InvokeRequest invoke = ScriptOf(std::move(*call));
  std::string script = "brimtale.call(" + JavaScriptString(invoke.name) + ", [";
  for (size_t i = 0; i < invoke.arguments.size(); ++i) {
    if (i > 0) script += ", ";
    script += invoke.arguments[i];
  }
  script += "])";
  RunScript(&player, std::move(script));
  return true;
}

void PaintPlayerTo(const Player& player, HDC dc) {
  // A player on screen has drawn itself into its own window's paint already; drawing it again
  // would only cost time (and double the alpha of a transparent picture).
  if (player.offscreen == nullptr && GetDC != nullptr) {
    HDC own = GetDC(player.window);
    ReleaseDC(player.window, own);
    if (own == dc) return;
  }
  DrawPlayer(&player, static_cast<cairo_t*>(dc));
}

bool ForwardInput(const Player& player, UINT message, WPARAM wParam, LPARAM lParam) {
  if (player.view == nullptr) return false;
  GtkWidget* view = GTK_WIDGET(player.view);
  GdkWindow* target = gtk_widget_get_window(view);
  if (target == nullptr) return false;

  GdkEvent* event = nullptr;
  double x = GET_X_LPARAM(lParam);
  double y = GET_Y_LPARAM(lParam);
  guint state = 0;
  if (wParam & MK_LBUTTON) state |= GDK_BUTTON1_MASK;
  if (wParam & MK_RBUTTON) state |= GDK_BUTTON3_MASK;
  if (wParam & MK_SHIFT) state |= GDK_SHIFT_MASK;
  if (wParam & MK_CONTROL) state |= GDK_CONTROL_MASK;
  switch (message) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP: {
      bool down = message == WM_LBUTTONDOWN || message == WM_RBUTTONDOWN;
      event = gdk_event_new(down ? GDK_BUTTON_PRESS : GDK_BUTTON_RELEASE);
      event->button.button = (message == WM_LBUTTONDOWN || message == WM_LBUTTONUP) ? 1 : 3;
      event->button.x = x;
      event->button.y = y;
      event->button.x_root = x;
      event->button.y_root = y;
      event->button.state = state;
      event->button.time = GDK_CURRENT_TIME;
      break;
    }
    case WM_MOUSEMOVE:
      event = gdk_event_new(GDK_MOTION_NOTIFY);
      event->motion.x = x;
      event->motion.y = y;
      event->motion.x_root = x;
      event->motion.y_root = y;
      event->motion.state = state;
      event->motion.time = GDK_CURRENT_TIME;
      break;
    case WM_KEYDOWN:
    case WM_KEYUP:
      // The window layer's key messages carry GDK key values and hardware key codes.
      event = gdk_event_new(message == WM_KEYDOWN ? GDK_KEY_PRESS : GDK_KEY_RELEASE);
      event->key.keyval = static_cast<guint>(wParam);
      event->key.hardware_keycode = static_cast<guint16>(lParam & 0xFFFF);
      event->key.time = GDK_CURRENT_TIME;
      event->key.string = g_strdup("");
      break;
    default:
      return false;
  }
  event->any.window = GDK_WINDOW(g_object_ref(target));
  event->any.send_event = TRUE;
  GdkSeat* seat = gdk_display_get_default_seat(gdk_window_get_display(target));
  if (seat != nullptr) {
    bool key = message == WM_KEYDOWN || message == WM_KEYUP;
    gdk_event_set_device(event, key ? gdk_seat_get_keyboard(seat) : gdk_seat_get_pointer(seat));
  }
  gtk_widget_event(view, event);
  gdk_event_free(event);
  return true;
}

}  // namespace player_runtime
