// The "brimtale-player" URI scheme: the web view reads the page, the player control and local movie
// files through it, from memory where the control is an archive (Ruffle's wasm loader rejects
// file: responses, so every answer has a status and a real MIME type).
//
//   brimtale-player://code-N/<file of the control>
//   brimtale-player://code-N/local/<absolute path>
//   brimtale-player://code-N/handed/<number>      a movie the launcher handed over in memory

#include <cstdlib>
#include <cstring>
#include <string>

#include "HostFiles.h"
#include "RuntimeState.h"

namespace player_runtime {

namespace {

constexpr char kScheme[] = "brimtale-player";
// Under this path of a code's origin the scheme serves files of the local file system (movies
// given by file: and relative URLs, and what they load relative to themselves).
constexpr char kLocalPrefix[] = "/local";

std::string CodeOrigin(HFPC codeHandle) { return std::string(kScheme) + "://code-" + std::to_string(codeHandle); }

// A page of the scheme admits no frames and no plug-in objects: what a frame showed could reach the
// page's script, which speaks for the movie. Ruffle's ticking worker comes from a blob. Forms stay
// allowed: Ruffle opens the movie's links by submitting one, and the view's policy sends those to
// the browser.
void AddPagePolicy(SoupMessageHeaders* headers) {
  soup_message_headers_replace(headers, "Content-Security-Policy",
                               "frame-src 'none'; child-src 'none'; worker-src blob:; object-src 'none'; base-uri 'self'");
}

// A sealed player's page (BRIMTALE_SEALED_PLAYER_URL) reaches nothing beyond the scheme: what the
// player would fetch by itself (a child movie, a sound, a text) could not be checked against the
// signed site the launcher checks its movies against. Added beside whatever other policy the page
// has; browsers enforce each one.
void AddSealedPlayerPolicy(WebKitURISchemeRequest* request, SoupMessageHeaders* headers) {
  const Player* player = PlayerOfView(webkit_uri_scheme_request_get_web_view(request));
  if (player == nullptr || !player->sealed) return;
  soup_message_headers_append(headers, "Content-Security-Policy",
                              "connect-src brimtale-player: blob: data:; img-src brimtale-player: blob: data:; "
                              "media-src brimtale-player: blob: data:; font-src brimtale-player: data:");
}

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
  if (std::strcmp(mime, "text/html") == 0) {
    AddPagePolicy(headers);
    AddSealedPlayerPolicy(request, headers);
  }
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

// A movie the launcher handed over (MoviePages.cpp), by its number under /handed/.
bool ServeHandedMovie(WebKitURISchemeRequest* request, const std::string& path) {
  constexpr char kHandedPrefix[] = "/handed/";
  if (path.rfind(kHandedPrefix, 0) != 0) return false;
  GBytes* bytes = HandedMovieBytes(std::strtoull(path.c_str() + std::strlen(kHandedPrefix), nullptr, 10));
  if (bytes == nullptr) {
    FinishNotFound(request, path.c_str());
  } else {
    FinishWithBytes(request, bytes, "application/x-shockwave-flash", 200);
  }
  return true;
}

void ServeRequest(WebKitURISchemeRequest* request, gpointer) {
  const char* uri = webkit_uri_scheme_request_get_uri(request);
  GUri* parsed = g_uri_parse(uri, G_URI_FLAGS_NONE, nullptr);
  if (parsed == nullptr) return FinishNotFound(request, uri);
  std::string host = g_uri_get_host(parsed) != nullptr ? g_uri_get_host(parsed) : "";
  std::string path = g_uri_get_path(parsed);  // percent-decoded
  g_uri_unref(parsed);
  if (ServeHandedMovie(request, path)) return;

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
  // Said, as its page then starts the player more slowly (a page without its channel, or one whose
  // handed code did not arrive in time).
  if (name.ends_with(".wasm")) Log("the player's code goes by the page's scheme: %s", name.c_str());
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

// The file name of the runtime's own page at `uri` (a page file of the scheme, any query); empty
// for any other URL.
std::string RuntimePageName(const std::string& uri) {
  GUri* parsed = g_uri_parse(uri.c_str(), G_URI_FLAGS_NONE, nullptr);
  if (parsed == nullptr) return {};
  const char* host = g_uri_get_host(parsed);
  std::string path = g_uri_get_path(parsed);
  bool page = g_strcmp0(g_uri_get_scheme(parsed), kScheme) == 0 && host != nullptr &&
              g_str_has_prefix(host, "code-") && path.size() > 1 && FindHostFile(path.substr(1)) != nullptr &&
              std::strcmp(MimeTypeOf(path), "text/html") == 0;
  g_uri_unref(parsed);
  return page ? path.substr(1) : std::string();
}

}  // namespace

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
  // Without it the pages take WebKit's message handler and script evaluation, as a page does whose
  // process could not load it; the first page's "ready" tells.
  InstallChannelExtension(state.context);
  return state.context;
}

bool IsRuntimePage(const std::string& uri) { return !RuntimePageName(uri).empty(); }

bool IsPlayerPage(const std::string& uri) { return RuntimePageName(uri) == kPlayerPage; }

const char* RuntimeScheme() { return kScheme; }

std::string PageFileUrl(HFPC codeHandle, const std::string& name) { return CodeOrigin(codeHandle) + "/" + name; }

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
  std::string result = CodeOrigin(player.codeHandle) + kLocalPrefix + escaped + query;
  g_free(escaped);
  return result;
}

}  // namespace player_runtime
