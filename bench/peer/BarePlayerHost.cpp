// The bare stack, the peer of the player benchmarks: one WebKitGTK web view that plays a movie
// with Ruffle's web build and nothing of the launcher. Ruffle's files and the movie come through
// a URI scheme as the player runtime serves them (whole files from memory, with their media
// types). Every fscommand but LOG is answered at once through the movie's COMPLETE_EVENT.
//
//   bare_player_host [--in-page] RUFFLE_FOLDER MOVIE SCRIPT WIDTH HEIGHT [RENDERER]
//
// With --in-page the page answers every fscommand but LOG itself, in a microtask, and nothing
// crosses to the host but LOG: the ceiling of any road between the page and a host.
// The window has the given size and Ruffle draws with RENDERER when one is given (else its default),
// so that the bare stack draws the same frames as the launcher it is compared with.
//
// Standard output: "FIRST_COMMAND" at the movie's first fscommand, and the text of every LOG
// command that starts with "ROUNDTRIP" (the test movie's timing of its repeated commands).

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr char kScheme[] = "bare-player";

std::string g_ruffleFolder;
std::string g_moviePath;
std::string g_script;
std::string g_renderer;
bool g_inPage = false;
WebKitWebView* g_view = nullptr;
bool g_firstSeen = false;

const char* MediaTypeOf(const std::string& name) {
  auto endsWith = [&](const char* suffix) {
    std::string s(suffix);
    return name.size() >= s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0;
  };
  if (endsWith(".html")) return "text/html";
  if (endsWith(".js")) return "text/javascript";
  if (endsWith(".wasm")) return "application/wasm";
  if (endsWith(".swf")) return "application/x-shockwave-flash";
  return "application/octet-stream";
}

// A JavaScript string literal of `text`.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string PageHtml() {
  gchar* escaped = g_uri_escape_string(g_script.c_str(), nullptr, FALSE);
  std::string movieUrl = std::string(kScheme) + "://host/movie.swf?script=" + escaped;
  g_free(escaped);
  return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><style>html,body{margin:0;width:100%;height:100%;"
         "overflow:hidden}#player{display:block;width:100%;height:100%}</style><script>"
         "window.RufflePlayer={config:{publicPath:\"" + std::string(kScheme) + "://host/\",polyfills:false,"
         "autoplay:\"on\",splashScreen:false,unmuteOverlay:\"hidden\",letterbox:\"off\","
         "warnOnUnsupportedContent:false,allowScriptAccess:true,logLevel:\"warn\"" +
         (g_renderer.empty() ? std::string() : ",preferredRenderer:" + Quoted(g_renderer)) + "}};</script>"
         "<script src=\"ruffle.js\"></script></head><body><script>"
         "const channel=window.webkit.messageHandlers.bare;"
         "const player=window.RufflePlayer.newest().createPlayer();player.id=\"player\";"
         "const inPage=" + std::string(g_inPage ? "true" : "false") + ";let first=true;"
         "player.onFSCommand=(command,args)=>{command=String(command);"
         "if(inPage&&command!==\"LOG\"){if(first){first=false;channel.postMessage([\"\",\"\"]);}"
         "queueMicrotask(()=>answer(\"COMPLETE_EVENT\",command+\",1\"));}"
         "else channel.postMessage([command,args==null?\"\":String(args)]);"
         "return true;};document.body.appendChild(player);"
         "window.answer=(name,value)=>{const p=typeof player.ruffle===\"function\"?player.ruffle():player;"
         "p.callExternalInterface(name,value);};"
         "(typeof player.ruffle===\"function\"?player.ruffle():player).load({url:" + Quoted(movieUrl) +
         "});</script></body></html>";
}

void Finish(WebKitURISchemeRequest* request, GBytes* bytes, const char* type) {
  GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
  WebKitURISchemeResponse* response =
      webkit_uri_scheme_response_new(stream, static_cast<gint64>(g_bytes_get_size(bytes)));
  webkit_uri_scheme_response_set_content_type(response, type);
  SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
  soup_message_headers_replace(headers, "Content-Type", type);
  soup_message_headers_replace(headers, "Access-Control-Allow-Origin", "*");
  webkit_uri_scheme_response_set_http_headers(response, headers);
  webkit_uri_scheme_request_finish_with_response(request, response);
  g_object_unref(response);
  g_object_unref(stream);
  g_bytes_unref(bytes);
}

void Serve(WebKitURISchemeRequest* request, gpointer) {
  std::string path = webkit_uri_scheme_request_get_path(request);
  if (path == "/index.html") {
    std::string html = PageHtml();
    return Finish(request, g_bytes_new(html.data(), html.size()), "text/html");
  }
  std::string file = path == "/movie.swf" ? g_moviePath : g_ruffleFolder + path;
  gchar* contents = nullptr;
  gsize length = 0;
  if (path.find("..") != std::string::npos || !g_file_get_contents(file.c_str(), &contents, &length, nullptr)) {
    GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "not found");
    webkit_uri_scheme_request_finish_error(request, error);
    g_error_free(error);
    return;
  }
  Finish(request, g_bytes_new_take(contents, length), MediaTypeOf(file));
}

void OnMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer) {
  JSCValue* message = webkit_javascript_result_get_js_value(result);
  JSCValue* commandValue = jsc_value_object_get_property_at_index(message, 0);
  JSCValue* argsValue = jsc_value_object_get_property_at_index(message, 1);
  gchar* command = jsc_value_to_string(commandValue);
  gchar* args = jsc_value_to_string(argsValue);
  if (!g_firstSeen) {
    g_firstSeen = true;
    std::printf("FIRST_COMMAND\n");
  }
  if (std::string(command) == "LOG") {
    if (g_str_has_prefix(args, "ROUNDTRIP")) std::printf("%s\n", args);
  } else if (!g_inPage) {
    std::string script = "answer(\"COMPLETE_EVENT\"," + Quoted(std::string(command) + ",1") + ")";
    webkit_web_view_evaluate_javascript(g_view, script.c_str(), static_cast<gssize>(script.size()), nullptr, nullptr,
                                        nullptr, nullptr, nullptr);
  }
  std::fflush(stdout);
  g_free(command);
  g_free(args);
  g_object_unref(commandValue);
  g_object_unref(argsValue);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--in-page") {
    g_inPage = true;
    argv[1] = argv[0];
    ++argv;
    --argc;
  }
  if (argc != 6 && argc != 7) {
    std::fprintf(stderr, "usage: bare_player_host [--in-page] RUFFLE_FOLDER MOVIE SCRIPT WIDTH HEIGHT [RENDERER]\n");
    return 2;
  }
  g_ruffleFolder = argv[1];
  g_moviePath = argv[2];
  g_script = argv[3];
  const int width = std::atoi(argv[4]);
  const int height = std::atoi(argv[5]);
  if (argc == 7) g_renderer = argv[6];
  gtk_init(&argc, &argv);

  WebKitWebContext* context = webkit_web_context_new();
  webkit_web_context_register_uri_scheme(context, kScheme, Serve, nullptr, nullptr);
  WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
  webkit_security_manager_register_uri_scheme_as_secure(security, kScheme);
  webkit_security_manager_register_uri_scheme_as_cors_enabled(security, kScheme);
  // Ruffle needs a valid BCP 47 tag in navigator.language, which the machine's locale may not give.
  const gchar* languages[] = {"en-US", nullptr};
  webkit_web_context_set_preferred_languages(context, languages);

  WebKitUserContentManager* content = webkit_user_content_manager_new();
  g_signal_connect(content, "script-message-received::bare", G_CALLBACK(OnMessage), nullptr);
  webkit_user_content_manager_register_script_message_handler(content, "bare");
  WebKitSettings* settings = webkit_settings_new();
  webkit_settings_set_disable_web_security(settings, TRUE);
  // The page's console goes to standard output when asked for, as the player runtime does.
  const char* console = g_getenv("BRIMTALE_PLAYER_CONSOLE");
  webkit_settings_set_enable_write_console_messages_to_stdout(settings, console != nullptr && console[0] == '1');
  g_view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "user-content-manager", content,
                                        "settings", settings, nullptr));

  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), width, height);
  gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(g_view));
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  gtk_widget_show_all(window);
  webkit_web_view_load_uri(g_view, (std::string(kScheme) + "://host/index.html").c_str());
  gtk_main();
  return 0;
}
