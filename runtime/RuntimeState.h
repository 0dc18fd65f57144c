#pragma once
// What the files of the player runtime library share. A player window is a window of the
// launcher's window layer whose contents are a WebKitWebView; its page (host/player.html with
// host/glue.js) runs the player control, Ruffle's web build, which the web view loads from the
// loaded player control through the library's URI scheme.
//
//   Exports.cpp      the fifteen operations
//   Player.cpp       a player's web view and page, the page's events, calls into the movie
//   UriScheme.cpp    the scheme that serves the player control and local files to the web view
//   MoviePages.cpp   the launcher's own URLs: movies handed over in memory or held ready, the
//                    player readied before its movie, the launcher's failure page
//   PageGuard.cpp    keeps a player's view on the runtime's own page
//   MovieChannel.cpp the page's channel: the movie's commands in, the calls into the movie out
//   extension/       the web process side of that channel, and how the library carries it
//   PlayerClass.cpp  the player window class in the launcher's window layer
//   PlayerCode.cpp   the files of one loaded player control
//
// Private to the library. Everything here runs on the GUI thread.

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "MovieChannel.h"
#include "PlayerCode.h"
#include "platform/Window.h"

// The window layer lives in the executable that loads this library. Weak, so that the library can
// also be loaded where no window layer exists: player windows are then unavailable.
#define BRIMTALE_DECLARE_WEAK(ret, name, params, args) extern "C" ret name params __attribute__((weak));
BRIMTALE_HOST_OPERATIONS(BRIMTALE_DECLARE_WEAK)
#undef BRIMTALE_DECLARE_WEAK

namespace player_runtime {

inline constexpr HRESULT kOk = 0;
inline constexpr HRESULT kFail = static_cast<HRESULT>(0x80004005u);

inline void Log(const char* message) { std::fprintf(stderr, "player runtime: %s\n", message); }

inline void Log(const char* format, const char* value) {
  std::fprintf(stderr, "player runtime: ");
  std::fprintf(stderr, format, value);
  std::fputc('\n', stderr);
}

struct BytesUnref {
  void operator()(GBytes* bytes) const { g_bytes_unref(bytes); }
};
using OwnedBytes = std::unique_ptr<GBytes, BytesUnref>;

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
  std::shared_ptr<MovieChannel> channel;  // the page's own channel, once it has asked for one
  PFLASHPLAYERCONTROLEVENTLISTENER listener = nullptr;
  void* listenerContext = nullptr;
  std::string movieUrl;       // the URL the movie sees as its own (what the failure page names)
  OwnedBytes handedMovie;     // the bytes of a movie the launcher handed over, served to the page
  uint64_t handedMovieId = 0; // their name under the scheme's /handed/ path
  bool showsFailure = false;  // the view shows the failure page instead of the player's page
  bool sealed = false;        // the page requests nothing beyond the scheme (BRIMTALE_SEALED_PLAYER_URL)
};

struct RuntimeState {
  std::map<HFPC, std::shared_ptr<PlayerCode>> codes;
  HFPC nextHandle = 1;
  HFPC latest = 0;
  std::unordered_map<HWND, std::unique_ptr<Player>> players;
  uint32_t classAtom = 0;
  WebKitWebContext* context = nullptr;  // shared by every player; lives as long as the process
  bool channelMissingLogged = false;    // a page without a channel of its own has been reported
};

// Never destroyed: at exit the web views' threads may still run, and nothing here needs tearing down.
inline RuntimeState& State() {
  static RuntimeState& state = *new RuntimeState;
  return state;
}

// Null when the window is not a player window (or no longer is).
inline Player* PlayerOf(HWND window) {
  auto& players = State().players;
  auto found = players.find(window);
  return found == players.end() ? nullptr : found->second.get();
}

// ---- Player.cpp

// The player class's create hook: a player for the latest loaded code. Without a widget (no
// display) or without code the window stays blank, but is still a player window.
void CreatePlayer(HWND window, void* widget, const void* createParameter);
// Forgets the window's player (WM_DESTROY); nothing for a window that has none.
void DestroyPlayer(HWND window);
// Plays `url` (an empty one unloads the movie).
void LoadMovie(Player& player, const char* url);
// Calls the movie as the XML invoke request asks; false when the text is not one (logged).
bool CallMovie(Player& player, const char* request);
// Draws the player's picture into `dc`, unless that is the player's own window's paint.
void PaintPlayerTo(const Player& player, HDC dc);
// Hands a mouse or key message of the window layer to the web view; false when the message is of
// another kind or the view has no window yet.
bool ForwardInput(const Player& player, UINT message, WPARAM wParam, LPARAM lParam);

// ---- UriScheme.cpp

// The one web context of every player, with the scheme registered; made on first use.
WebKitWebContext* SharedContext();
// Whether `uri` is one of the runtime's own pages (a page file of the scheme, any query).
bool IsRuntimePage(const std::string& uri);
// Whether `uri` is the player's page: the one page that is given a channel of its own.
bool IsPlayerPage(const std::string& uri);
// The name of the runtime's URI scheme.
const char* RuntimeScheme();
// The scheme's URL of the page file `name` under the code `codeHandle`.
std::string PageFileUrl(HFPC codeHandle, const std::string& name);
// The URL the page loads for the URL a movie was given: file: and relative URLs are served by the
// scheme from the local file system; other URLs (http, https, ...) go to the player unchanged.
std::string PageUrlFor(const Player& player, const std::string& url);

// The player whose web view is `view`; null when none is.
Player* PlayerOfView(WebKitWebView* view);
// The page of the player (with the renderer it is to use).
std::string PlayerPageUrl(const Player& player);
// Runs `script` in the player's page, or keeps it until the page is ready.
void RunPageScript(Player& player, std::string script);

// ---- MoviePages.cpp

// Acts on the launcher's own URLs of the scheme (brimtale/runtime_api.h): a handed-over or held
// movie, the start of a held one, the player's preparation, the failure page. false for any other
// URL, which the caller loads as a movie.
bool LoadLauncherUrl(Player& player, const std::string& url);
// Brings the player's page back when the failure page shows; its scripts then wait for it.
void ReturnToPlayerPage(Player& player);
// The page's word: it cannot play its movie (`cause` for the player, `detail` for the log), or a
// button of the failure page was pressed.
void OnMovieFailed(Player& player, const std::string& cause, const std::string& detail);
void OnFailurePageAction(Player& player, const std::string& action);
// The bytes handed over under `id`, with a reference of the caller's own; null when none are.
GBytes* HandedMovieBytes(uint64_t id);

// ---- PageGuard.cpp

// Keeps the view on the runtime's own pages: other navigations and new windows are refused, web
// links go to the user's browser, frames never load.
void GuardView(WebKitWebView* view);

// ---- extension/ExtensionInstall.cpp

// The page's file name: the extension gives a channel to this page only.
inline constexpr char kPlayerPage[] = "player.html";
// Writes the channel extension out (once per process) and has the context load it into its web
// processes; false when it cannot be written (the pages then have no channel of their own).
bool InstallChannelExtension(WebKitWebContext* context);

// ---- PlayerClass.cpp

// The player class's atom, registering the class first when needed; 0 without a window layer.
uint32_t PlayerClassAtom();
// Unregisters the class, if registered, so that the window layer keeps none of the library's code.
void UnregisterPlayerClass();

}  // namespace player_runtime
