// The player runtime library: the fifteen runtime operations over GTK and WebKitGTK. A player
// window is a window of the launcher's window layer whose contents are a WebKitWebView; its page
// (host/player.html with host/glue.js) runs the player control, Ruffle's web build, which the web
// view loads from the loaded player control through the "brimtale-player" URI scheme.
//
// Everything here runs on the GUI thread.

#include <gtk/gtk.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "HostFiles.h"
#include "InvokeRequest.h"
#include "PlayerArchive.h"
#include "platform/Window.h"

// The window layer lives in the executable that loads this library. Weak, so that the library can
// also be loaded where no window layer exists: player windows are then unavailable.
#pragma weak RegisterWindowClass
#pragma weak UnregisterWindowClass
#pragma weak GetWindowWidget
#pragma weak GetParent
#pragma weak GetWindowExStyle
#pragma weak DefWindowProc
#pragma weak GetDC
#pragma weak ReleaseDC

#define BRIMTALE_EXPORT extern "C" __attribute__((visibility("default")))

using namespace player_runtime;

namespace {

constexpr HRESULT kOk = 0;
constexpr HRESULT kFail = static_cast<HRESULT>(0x80004005u);
constexpr char kScheme[] = "brimtale-player";
constexpr char kPlayerClassName[] = "BrimtalePlayerControl";
// Under this path of a code's origin the scheme serves files of the local file system (movies
// given by file: and relative URLs, and what they load relative to themselves).
constexpr char kLocalPrefix[] = "/local";

void Log(const char* format, const char* value) {
  std::fprintf(stderr, "player runtime: ");
  std::fprintf(stderr, format, value);
  std::fputc('\n', stderr);
}

// The files of one player control: an archive in memory or an unpacked folder on disk.
class PlayerCode : public std::enable_shared_from_this<PlayerCode> {
 public:
  static std::shared_ptr<PlayerCode> FromArchive(std::span<const uint8_t> data) {
    auto code = std::shared_ptr<PlayerCode>(new PlayerCode);
    code->m_archive.assign(data.begin(), data.end());
    auto index = ReadArchiveIndex(code->m_archive);
    if (!index) return nullptr;
    for (ArchiveEntry& entry : *index) code->m_entries.emplace(entry.name, entry);
    return code->ReadVersion() ? code : nullptr;
  }

  static std::shared_ptr<PlayerCode> FromFolder(const std::string& folder) {
    auto code = std::shared_ptr<PlayerCode>(new PlayerCode);
    code->m_folder = folder;
    return code->ReadVersion() && code->Has("ruffle.js") ? code : nullptr;
  }

  // The file's contents, sharing the code's memory where it can; null when it has no such file.
  GBytes* Open(const std::string& name) const {
    if (!IsPlainName(name)) return nullptr;
    if (m_folder.empty()) {
      auto found = m_entries.find(name);
      if (found == m_entries.end()) return nullptr;
      // The bytes keep the code alive while the web view reads them.
      auto* owner = new std::shared_ptr<const PlayerCode>(shared_from_this());
      return g_bytes_new_with_free_func(m_archive.data() + found->second.offset, found->second.size,
                                        [](gpointer data) { delete static_cast<std::shared_ptr<const PlayerCode>*>(data); },
                                        owner);
    }
    gchar* contents = nullptr;
    gsize length = 0;
    std::string path = m_folder + "/" + name;
    if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) return nullptr;
    return g_bytes_new_take(contents, length);
  }

  bool Has(const std::string& name) const {
    GBytes* bytes = Open(name);
    if (bytes == nullptr) return false;
    g_bytes_unref(bytes);
    return true;
  }

  const SFPCVersion& version() const { return m_version; }

 private:
  PlayerCode() = default;

  // Names inside the control: no absolute paths, no way out of the folder.
  static bool IsPlainName(const std::string& name) {
    return !name.empty() && name[0] != '/' && name.find("..") == std::string::npos;
  }

  bool ReadVersion() {
    GBytes* bytes = Open("package.json");
    if (bytes == nullptr) return false;
    gsize size = 0;
    auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    auto version = ParsePackageVersion(std::string_view(data, size));
    g_bytes_unref(bytes);
    if (!version) return false;
    m_version = *version;
    return true;
  }

  std::vector<uint8_t> m_archive;
  std::map<std::string, ArchiveEntry> m_entries;
  std::string m_folder;
  SFPCVersion m_version{};
};

// One player window.
struct Player {
  HWND window = nullptr;
  HFPC codeHandle = 0;
  std::shared_ptr<PlayerCode> code;
  WebKitWebView* view = nullptr;     // owned by its container
  GtkWidget* offscreen = nullptr;    // a child player's web view lives here (owned)
  GtkWidget* picture = nullptr;      // a child player's picture inside its window
  bool ready = false;                // the page takes calls
  bool menu = true;
  bool transparent = false;
  std::vector<std::string> waiting;  // scripts for the page until it is ready
  PFLASHPLAYERCONTROLEVENTLISTENER listener = nullptr;
  void* listenerContext = nullptr;
};

struct RuntimeState {
  std::map<HFPC, std::shared_ptr<PlayerCode>> codes;
  HFPC nextHandle = 1;
  HFPC latest = 0;
  std::unordered_map<HWND, std::unique_ptr<Player>> players;
  uint32_t classAtom = 0;
  WebKitWebContext* context = nullptr;  // shared by every player; lives as long as the process
};

// Never destroyed: at exit the web views' threads may still run, and nothing here needs tearing down.
RuntimeState& State() {
  static RuntimeState& state = *new RuntimeState;
  return state;
}

Player* PlayerOf(HWND window) {
  auto& players = State().players;
  auto found = players.find(window);
  return found == players.end() ? nullptr : found->second.get();
}

std::string InstalledPlayerFolder() {
  // Tests point the runtime at a player control of their own.
  if (const char* folder = std::getenv("BRIMTALE_PLAYER_DIR"); folder != nullptr && folder[0] != '\0')
    return folder;
  return BRIMTALE_INSTALLED_PLAYER_DIR;
}

// ---- The URI scheme -------------------------------------------------------------------------

void FinishWithBytes(WebKitURISchemeRequest* request, GBytes* bytes, const char* mime, int status) {
  GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
  WebKitURISchemeResponse* response =
      webkit_uri_scheme_response_new(stream, static_cast<gint64>(g_bytes_get_size(bytes)));
  webkit_uri_scheme_response_set_status(response, status, nullptr);
  webkit_uri_scheme_response_set_content_type(response, mime);
  // The wasm loader reads the type from the headers; without them it falls back to a slower path.
  SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
  soup_message_headers_replace(headers, "Content-Type", mime);
  soup_message_headers_replace(headers, "Access-Control-Allow-Origin", "*");
  webkit_uri_scheme_response_set_http_headers(response, headers);  // takes the headers
  webkit_uri_scheme_request_finish_with_response(request, response);
  g_object_unref(response);
  g_object_unref(stream);
  g_bytes_unref(bytes);
}

void FinishNotFound(WebKitURISchemeRequest* request, const char* path) {
  Log("not found: %s", path);
  static constexpr char kText[] = "not found";
  FinishWithBytes(request, g_bytes_new_static(kText, sizeof kText - 1), "text/plain", 404);
}

// brimtale-player://code-N/<file of the control>, brimtale-player://code-N/local/<absolute path>.
void ServeRequest(WebKitURISchemeRequest* request, gpointer) {
  const char* uri = webkit_uri_scheme_request_get_uri(request);
  GUri* parsed = g_uri_parse(uri, G_URI_FLAGS_NONE, nullptr);
  if (parsed == nullptr) return FinishNotFound(request, uri);
  std::string host = g_uri_get_host(parsed) != nullptr ? g_uri_get_host(parsed) : "";
  std::string path = g_uri_get_path(parsed);  // percent-decoded
  g_uri_unref(parsed);

  HFPC handle = 0;
  if (host.rfind("code-", 0) == 0) handle = std::strtoull(host.c_str() + 5, nullptr, 10);
  auto found = State().codes.find(handle);
  std::shared_ptr<PlayerCode> code = found != State().codes.end() ? found->second : nullptr;

  if (path.rfind(kLocalPrefix, 0) == 0 && path.size() > std::strlen(kLocalPrefix) &&
      path[std::strlen(kLocalPrefix)] == '/') {
    std::string file = path.substr(std::strlen(kLocalPrefix));
    gchar* contents = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(file.c_str(), &contents, &length, nullptr)) return FinishNotFound(request, uri);
    return FinishWithBytes(request, g_bytes_new_take(contents, length), MimeTypeOf(file), 200);
  }

  std::string name = path.empty() ? "" : path.substr(1);
  if (const HostFile* hostFile = FindHostFile(name)) {
    return FinishWithBytes(request, g_bytes_new_static(hostFile->data, hostFile->size), MimeTypeOf(name), 200);
  }
  // A player keeps its code even after the launcher has unloaded the handle.
  if (!code) {
    for (auto& [window, player] : State().players) {
      if (player->codeHandle == handle) code = player->code;
    }
  }
  GBytes* bytes = code ? code->Open(name) : nullptr;
  if (bytes == nullptr) return FinishNotFound(request, uri);
  FinishWithBytes(request, bytes, MimeTypeOf(name), 200);
}

// The language the page reports: Ruffle needs a valid BCP 47 tag in navigator.language.
std::string PreferredLanguage() {
  const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  for (const char* name : names) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] == '\0') continue;
    std::string tag;
    size_t i = 0;
    for (; value[i] >= 'a' && value[i] <= 'z' && i < 3; ++i) tag += value[i];
    if (tag.size() < 2) return "en-US";
    if (value[i] == '_' && value[i + 1] >= 'A' && value[i + 1] <= 'Z' && value[i + 2] >= 'A' && value[i + 2] <= 'Z' &&
        (value[i + 3] == '\0' || value[i + 3] == '.' || value[i + 3] == '@')) {
      tag += '-';
      tag += value[i + 1];
      tag += value[i + 2];
    }
    return tag;
  }
  return "en-US";
}

WebKitWebContext* SharedContext() {
  RuntimeState& state = State();
  if (state.context != nullptr) return state.context;
  state.context = webkit_web_context_new();
  webkit_web_context_register_uri_scheme(state.context, kScheme, ServeRequest, nullptr, nullptr);
  WebKitSecurityManager* security = webkit_web_context_get_security_manager(state.context);
  webkit_security_manager_register_uri_scheme_as_secure(security, kScheme);
  webkit_security_manager_register_uri_scheme_as_cors_enabled(security, kScheme);
  std::string language = PreferredLanguage();
  const gchar* languages[] = {language.c_str(), nullptr};
  webkit_web_context_set_preferred_languages(state.context, languages);
  return state.context;
}

// ---- Talking to the page ----------------------------------------------------------------------

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

void OnScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
  HWND window = static_cast<HWND>(data);
  JSCValue* message = webkit_javascript_result_get_js_value(result);
  Player* player = PlayerOf(window);
  if (player == nullptr || !jsc_value_is_object(message)) return;
  std::string kind = PropertyText(message, "kind");
  if (kind == "ready") {
    player->ready = true;
    std::vector<std::string> waiting;
    waiting.swap(player->waiting);
    for (std::string& script : waiting) RunScript(player, std::move(script));
  } else if (kind == "fscommand") {
    if (player->listener == nullptr) return;
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
  }
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

void PaintPlayer(Player* player, cairo_t* cr) {
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
  if (Player* player = PlayerOf(static_cast<HWND>(data))) PaintPlayer(player, cr);
  return FALSE;
}

// ---- The player window class ------------------------------------------------------------------

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
  // Movies come from anywhere (the game's server, local files) into a page of our own origin.
  webkit_settings_set_disable_web_security(settings, TRUE);
  webkit_settings_set_enable_developer_extras(settings, FALSE);
  webkit_settings_set_media_playback_requires_user_gesture(settings, FALSE);
  // The page's console goes to standard output when asked for (diagnosing a movie).
  const char* console = std::getenv("BRIMTALE_PLAYER_CONSOLE");
  webkit_settings_set_enable_write_console_messages_to_stdout(settings, console != nullptr && console[0] == '1');
  auto* view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", SharedContext(),
                                            "user-content-manager", content, "settings", settings, nullptr));
  g_object_unref(content);
  g_object_unref(settings);
  raw->view = view;
  g_signal_connect(view, "context-menu", G_CALLBACK(OnContextMenu), nullptr);
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

  std::string page = std::string(kScheme) + "://code-" + std::to_string(raw->codeHandle) + "/player.html";
  webkit_web_view_load_uri(view, page.c_str());
}

void DestroyPlayer(HWND window) {
  auto& players = State().players;
  auto found = players.find(window);
  if (found == players.end()) return;
  std::unique_ptr<Player> player = std::move(found->second);
  players.erase(found);
  if (player->view != nullptr) {
    WebKitUserContentManager* content = webkit_web_view_get_user_content_manager(player->view);
    g_signal_handlers_disconnect_by_data(content, window);
  }
  if (player->picture != nullptr) g_signal_handlers_disconnect_by_data(player->picture, window);
  if (player->offscreen != nullptr) {
    g_signal_handlers_disconnect_by_data(player->offscreen, window);
    gtk_widget_destroy(player->offscreen);
  }
  // A top-level player's web view goes with its window's widgets.
}

LRESULT PlayerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) DestroyPlayer(window);
  return DefWindowProc != nullptr ? DefWindowProc(window, message, wParam, lParam) : 0;
}

uint32_t PlayerClassAtom() {
  RuntimeState& state = State();
  if (state.classAtom != 0 || RegisterWindowClass == nullptr) return state.classAtom;
  WindowClassInfo info{kPlayerClassName, PlayerWindowProc, CreatePlayer, 0};
  state.classAtom = RegisterWindowClass(&info);
  return state.classAtom;
}

HFPC AddCode(std::shared_ptr<PlayerCode> code) {
  if (!code) return 0;
  RuntimeState& state = State();
  HFPC handle = state.nextHandle++;
  state.codes[handle] = std::move(code);
  state.latest = handle;
  PlayerClassAtom();
  return handle;
}

// The URL the page loads for the URL a movie was given: file: and relative URLs are served by the
// scheme from the local file system; other URLs (http, https, ...) go to the player unchanged.
std::string PageUrlFor(const Player& player, const std::string& url) {
  size_t colon = url.find(':');
  bool hasScheme = colon != std::string::npos && colon >= 2;
  for (size_t i = 0; hasScheme && i < colon; ++i) hasScheme = g_ascii_isalnum(url[i]) || url[i] == '+' || url[i] == '-' || url[i] == '.';
  bool isFile = hasScheme && g_ascii_strncasecmp(url.c_str(), "file:", 5) == 0;
  if (hasScheme && !isFile) return url;

  size_t queryStart = url.find_first_of("?#");
  std::string location = url.substr(0, queryStart);
  std::string query = queryStart == std::string::npos ? "" : url.substr(queryStart);
  std::string path;
  if (isFile) {
    gchar* filename = g_filename_from_uri(("file:" + location.substr(5)).c_str(), nullptr, nullptr);
    if (filename != nullptr) {
      path = filename;
      g_free(filename);
    } else {
      // "file:name" and other forms without an authority: the rest is a path.
      path = location.substr(5);
      while (path.rfind("//", 0) == 0) path.erase(0, 1);
    }
  } else {
    path = location;
  }
  if (path.empty() || path[0] != '/') {
    gchar* current = g_get_current_dir();
    path = std::string(current) + "/" + path;
    g_free(current);
  }
  gchar* escaped = g_uri_escape_string(path.c_str(), "/", FALSE);
  std::string result = std::string(kScheme) + "://code-" + std::to_string(player.codeHandle) + kLocalPrefix + escaped + query;
  g_free(escaped);
  return result;
}

}  // namespace

// ---- The fifteen operations -------------------------------------------------------------------

BRIMTALE_EXPORT HFPC FPC_LoadOCXCodeFromMemory(const void* data, uint32_t size) {
  if (data == nullptr || size == 0) return 0;
  return AddCode(PlayerCode::FromArchive({static_cast<const uint8_t*>(data), size}));
}

BRIMTALE_EXPORT HFPC FPC_LoadRegisteredOCX(void) {
  return AddCode(PlayerCode::FromFolder(InstalledPlayerFolder()));
}

BRIMTALE_EXPORT BOOL FPC_UnloadCode(HFPC hFPC) {
  RuntimeState& state = State();
  if (state.codes.erase(hFPC) == 0) return 0;
  if (state.latest == hFPC) state.latest = state.codes.empty() ? 0 : state.codes.rbegin()->first;
  // With no code left the class goes too: the library may be unloaded next, and the window layer
  // must not keep its procedures.
  if (state.codes.empty() && state.classAtom != 0 && UnregisterWindowClass != nullptr) {
    UnregisterWindowClass(kPlayerClassName);
    state.classAtom = 0;
  }
  return 1;
}

BRIMTALE_EXPORT BOOL FPC_GetVersionEx(HFPC hFPC, SFPCVersion* version) {
  auto found = State().codes.find(hFPC);
  if (found == State().codes.end() || version == nullptr) return 0;
  *version = found->second->version();
  return 1;
}

BRIMTALE_EXPORT BOOL GetInstalledFlashVersionEx(SFPCVersion* version) {
  auto code = PlayerCode::FromFolder(InstalledPlayerFolder());
  if (!code || version == nullptr) return 0;
  *version = code->version();
  return 1;
}

BRIMTALE_EXPORT BOOL FPCIsFlashInstalled(void) { return PlayerCode::FromFolder(InstalledPlayerFolder()) ? 1 : 0; }

BRIMTALE_EXPORT BOOL FPCIsTransparentAvailable(void) {
  GdkScreen* screen = gdk_screen_get_default();
  return screen != nullptr && gdk_screen_is_composited(screen) && gdk_screen_get_rgba_visual(screen) != nullptr;
}

BRIMTALE_EXPORT int FPC_CompareVersions(const SFPCVersion* a, const SFPCVersion* b) {
  if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
  return CompareVersions(*a, *b);
}

BRIMTALE_EXPORT uint32_t FPC_GetClassAtomA(HFPC hFPC) {
  if (!State().codes.contains(hFPC)) return 0;
  return PlayerClassAtom();
}

BRIMTALE_EXPORT HRESULT FPC_PutStandardMenu(HWND window, BOOL enable) {
  Player* player = PlayerOf(window);
  if (player == nullptr) return kFail;
  player->menu = enable != 0;
  return kOk;
}

BRIMTALE_EXPORT void FPCSetEventListener(HWND window, PFLASHPLAYERCONTROLEVENTLISTENER listener, void* context) {
  Player* player = PlayerOf(window);
  if (player == nullptr) return;
  player->listener = listener;
  player->listenerContext = context;
}

BRIMTALE_EXPORT HRESULT FPC_LoadMovieA(HWND window, int layer, const char* url) {
  Player* player = PlayerOf(window);
  if (player == nullptr || url == nullptr) return kFail;
  if (url[0] == '\0') {
    RunScript(player, "brimtale.unload()");
    return kOk;
  }
  std::string script = "brimtale.load(" + JavaScriptString(PageUrlFor(*player, url)) + ", " +
                       (player->menu ? "true" : "false") + ", " + (player->transparent ? "true" : "false") + ")";
  RunScript(player, std::move(script));
  return kOk;
}

// The movie's answer cannot be waited for (the page runs in another process): a given response
// buffer receives an empty answer.
BRIMTALE_EXPORT HRESULT FPCCallFunctionA(HWND window, const char* request, char* response, uint32_t* length) {
  Player* player = PlayerOf(window);
  if (response != nullptr && length != nullptr && *length > 0) response[0] = '\0';
  if (length != nullptr) *length = 0;
  if (player == nullptr || request == nullptr) return kFail;
  auto invoke = ParseInvokeRequest(request);
  if (!invoke) {
    Log("not an invoke request: %s", request);
    return kFail;
  }
  std::string script = "brimtale.call(" + JavaScriptString(invoke->name) + ", [";
  for (size_t i = 0; i < invoke->arguments.size(); ++i) {
    if (i > 0) script += ", ";
    script += invoke->arguments[i];
  }
  script += "])";
  RunScript(player, std::move(script));
  return kOk;
}

BRIMTALE_EXPORT void FPC_PaintTo(HWND window, HDC dc) {
  Player* player = PlayerOf(window);
  if (player == nullptr || dc == nullptr) return;
  // A player on screen has drawn itself into its own window's paint already; drawing it again
  // would only cost time (and double the alpha of a transparent picture).
  if (player->offscreen == nullptr && GetDC != nullptr) {
    HDC own = GetDC(window);
    ReleaseDC(window, own);
    if (own == dc) return;
  }
  PaintPlayer(player, static_cast<cairo_t*>(dc));
}

BRIMTALE_EXPORT BOOL FPC_CallWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result,
                                     BOOL* handled) {
  if (result != nullptr) *result = 0;
  if (handled != nullptr) *handled = 0;
  Player* player = PlayerOf(window);
  if (player == nullptr || player->view == nullptr) return 0;
  GtkWidget* view = GTK_WIDGET(player->view);
  GdkWindow* target = gtk_widget_get_window(view);
  if (target == nullptr) return 0;

  GdkEvent* event = nullptr;
  double x = GET_X_LPARAM(lParam);
  double y = GET_Y_LPARAM(lParam);
  guint state = 0;
  if (wParam & 0x0001) state |= GDK_BUTTON1_MASK;
  if (wParam & 0x0002) state |= GDK_BUTTON3_MASK;
  if (wParam & 0x0004) state |= GDK_SHIFT_MASK;
  if (wParam & 0x0008) state |= GDK_CONTROL_MASK;
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
      return 0;
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
  if (handled != nullptr) *handled = 1;
  return 1;
}
