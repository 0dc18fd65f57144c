// Movies the launcher hands over in memory, movies held ready until it starts them, and the
// launcher's failure page in a player's view.
//
// A handed-over movie is read from its sealed memory file at once and kept with its player. The
// page fetches the bytes from the scheme (/handed/<id>) and answers the player's own request for
// the movie's URL with them, so the movie plays under its own URL as if the player had fetched it.

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>

#include "InvokeRequest.h"
#include "RuntimeState.h"
#include "SealedFile.h"

namespace player_runtime {

namespace {

constexpr char kFailurePage[] = "failure.html";
// More than any movie; a descriptor claiming more is not read.
constexpr off_t kMaxHandedBytes = off_t{1} << 30;

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The whole contents of a memory file sealed against every change of its bytes; null for any
// other descriptor (a file, a pipe, a socket: nothing that may change or block while read).
GBytes* ReadSealedMemoryFile(int fd) {
  const std::optional<size_t> sealed = SealedFileSize(fd);
  if (!sealed || *sealed > static_cast<size_t>(kMaxHandedBytes)) return nullptr;
  const size_t size = *sealed;
  auto* data = static_cast<char*>(g_malloc(size > 0 ? size : 1));
  size_t done = 0;
  while (done < size) {
    const ssize_t count = pread(fd, data + done, size - done, static_cast<off_t>(done));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    done += static_cast<size_t>(count);
  }
  if (done != size) {
    g_free(data);
    return nullptr;
  }
  return g_bytes_new_take(data, size);
}

// "<fd>?url=<URL>" after the handed-movie prefix: the descriptor and the movie's URL.
bool ParseHandedMovieUrl(const std::string& rest, int* fd, std::string* movieUrl) {
  const size_t query = rest.find('?');
  if (query == std::string::npos || query == 0) return false;
  char* end = nullptr;
  const long number = std::strtol(rest.c_str(), &end, 10);
  if (end != rest.c_str() + query || number < 0 || number > 1 << 20) return false;
  GHashTable* parameters = g_uri_parse_params(rest.c_str() + query + 1, -1, "&", G_URI_PARAMS_NONE, nullptr);
  if (parameters == nullptr) return false;
  const char* url = static_cast<const char*>(g_hash_table_lookup(parameters, "url"));
  const bool found = url != nullptr && url[0] != '\0';
  if (found) *movieUrl = url;
  g_hash_table_unref(parameters);
  *fd = static_cast<int>(number);
  return found;
}

bool PlayHandedMovie(Player& player, const std::string& rest) {
  int fd = -1;
  std::string movieUrl;
  GBytes* bytes = nullptr;
  if (!ParseHandedMovieUrl(rest, &fd, &movieUrl) || (bytes = ReadSealedMemoryFile(fd)) == nullptr) {
    Log("refused a handed-over movie: %s", rest.c_str());
    return true;
  }
  ReturnToPlayerPage(player);
  static uint64_t nextId = 1;
  player.handedMovie.reset(bytes);
  player.handedMovieId = nextId++;
  player.movieUrl = movieUrl;
  const std::string dataUrl = PageFileUrl(player.codeHandle, "handed/" + std::to_string(player.handedMovieId));
  std::string script = "brimtale.loadHanded(" + JavaScriptString(movieUrl) + ", " + JavaScriptString(dataUrl) + ", " +
                       (player.menu ? "true" : "false") + ", " + (player.transparent ? "true" : "false") + ")";
  RunPageScript(player, std::move(script));
  return true;
}

void ShowFailurePage(Player& player, const std::string& query) {
  if (player.view == nullptr) return;
  // Calls for the movie that was (or was to be) playing have no movie to reach any more.
  player.ready = false;
  player.waiting.clear();
  player.showsFailure = true;
  player.handedMovie.reset();
  // The player's page goes, and its channel with it; the page that comes back asks for a new one.
  if (player.channel) player.channel->Close();
  const std::string page = PageFileUrl(player.codeHandle, kFailurePage) + "?" + query;
  webkit_web_view_load_uri(player.view, page.c_str());
}

std::string QueryValue(const char* text) {
  gchar* escaped = g_uri_escape_string(text, nullptr, FALSE);
  std::string value = escaped;
  g_free(escaped);
  return value;
}

// The window that takes the player's commands: its top-level window (the bordered form's player
// is a child of the launcher's main window).
HWND CommandTarget(HWND window) {
  HWND target = window;
  while (GetParent != nullptr && GetParent(target) != nullptr) target = GetParent(target);
  return target;
}

struct PendingCommand {
  HWND player;
  WPARAM command;
};

// Sent from the loop, not from inside the page's message: Quit destroys the window, and with it
// the web view whose signal is being delivered.
gboolean SendPendingCommand(gpointer data) {
  auto* pending = static_cast<PendingCommand*>(data);
  if (PlayerOf(pending->player) != nullptr && SendMessage != nullptr)
    SendMessage(CommandTarget(pending->player), WM_COMMAND, pending->command, 0);
  delete pending;
  return G_SOURCE_REMOVE;
}

// The page is loaded again, so that the policy that comes with it holds from its first script on.
void SealPlayer(Player& player) {
  if (player.sealed) return;
  player.sealed = true;
  player.ready = false;
  player.showsFailure = false;
  player.handedMovie.reset();
  if (player.view != nullptr) webkit_web_view_load_uri(player.view, PlayerPageUrl(player).c_str());
}

// A movie held ready: the page loads it without starting it. The page's hold applies to the loads
// asked for between the two calls, so a load the runtime refuses leaves no hold behind.
void LoadHeldMovie(Player& player, const std::string& url) {
  if (StartsWith(url, "brimtale-player://") && !StartsWith(url, BRIMTALE_HANDED_MOVIE_URL)) {
    Log("refused a held movie of the runtime's own: %s", url.c_str());
    return;
  }
  // The player's page comes back first, so that the hold reaches the page that loads the movie.
  ReturnToPlayerPage(player);
  RunPageScript(player, "brimtale.hold(true)");
  LoadMovie(player, url.c_str());
  RunPageScript(player, "brimtale.hold(false)");
}

}  // namespace

bool LoadLauncherUrl(Player& player, const std::string& url) {
  if (url == BRIMTALE_SEALED_PLAYER_URL) {
    SealPlayer(player);
    return true;
  }
  if (url == BRIMTALE_PREPARE_PLAYER_URL) {
    RunPageScript(player, "brimtale.prepare()");
    return true;
  }
  if (url == BRIMTALE_START_MOVIE_URL) {
    if (!player.showsFailure) RunPageScript(player, "brimtale.start()");
    return true;
  }
  if (StartsWith(url, BRIMTALE_HELD_MOVIE_URL)) {
    LoadHeldMovie(player, url.substr(sizeof BRIMTALE_HELD_MOVIE_URL - 1));
    return true;
  }
  if (StartsWith(url, BRIMTALE_HANDED_MOVIE_URL)) return PlayHandedMovie(player, url.substr(sizeof BRIMTALE_HANDED_MOVIE_URL - 1));
  if (StartsWith(url, BRIMTALE_FAILURE_PAGE_URL)) {
    ShowFailurePage(player, url.substr(sizeof BRIMTALE_FAILURE_PAGE_URL - 1));
    return true;
  }
  return false;
}

void ReturnToPlayerPage(Player& player) {
  if (!player.showsFailure || player.view == nullptr) return;
  player.showsFailure = false;
  player.ready = false;
  webkit_web_view_load_uri(player.view, PlayerPageUrl(player).c_str());
}

void OnMovieFailed(Player& player, const std::string& cause, const std::string& detail) {
  Log("the movie cannot be played: %s", (player.movieUrl + ": " + cause + (detail.empty() ? "" : " (" + detail + ")")).c_str());
  if (player.showsFailure) return;
  ShowFailurePage(player, "title=" + QueryValue("The game cannot be played") + "&address=" + QueryValue(player.movieUrl.c_str()) +
                              "&cause=" + QueryValue(cause.c_str()));
}

void OnFailurePageAction(Player& player, const std::string& action) {
  // Only the failure page has these buttons; the player's page never asks for them.
  if (!player.showsFailure) return;
  const WPARAM command = action == "retry" ? IDRETRY : action == "quit" ? IDCANCEL : 0;
  if (command != 0) g_idle_add(SendPendingCommand, new PendingCommand{player.window, command});
}

GBytes* HandedMovieBytes(uint64_t id) {
  for (auto& [window, player] : State().players) {
    if (player->handedMovie && player->handedMovieId == id) return g_bytes_ref(player->handedMovie.get());
  }
  return nullptr;
}

}  // namespace player_runtime
