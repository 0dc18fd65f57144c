// A player's web view stays on the runtime's own page. The page's script talks to the launcher, so
// any other page it showed (a link the movie follows, an advertisement's frame) would speak with
// the movie's powers. Every other navigation, in any frame, is refused; a web link the movie opens
// goes to the user's browser, as the player control itself did; no window is ever opened.

#include <cstring>
#include <string>

#include "RuntimeState.h"

namespace player_runtime {

namespace {

bool IsWebLink(const char* uri) {
  return g_ascii_strncasecmp(uri, "http://", 7) == 0 || g_ascii_strncasecmp(uri, "https://", 8) == 0;
}

// The desktop's opener, found on PATH and not waited for. The runtime carries none of the
// launcher's code, so it starts the opener itself rather than asking the launcher to.
void OpenInBrowser(const char* uri) {
  if (!IsWebLink(uri)) {
    Log("link refused (not http or https): %s", uri);
    return;
  }
  gchar* argv[] = {const_cast<gchar*>("xdg-open"), const_cast<gchar*>(uri), nullptr};
  GError* error = nullptr;
  if (!g_spawn_async(nullptr, argv, nullptr,
                     static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL), nullptr, nullptr,
                     nullptr, &error)) {
    Log("the browser cannot be started: %s", error != nullptr ? error->message : uri);
  }
  if (error != nullptr) g_error_free(error);
}

// Navigations and new windows: only the runtime's own pages load; a web link goes to the browser
// (unless it is a redirect of a load already refused or allowed).
gboolean OnDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gpointer) {
  if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
    // A frame's document never loads, whatever its address.
    auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
    if (webkit_response_policy_decision_is_main_frame_main_resource(response)) return FALSE;
    webkit_policy_decision_ignore(decision);
    return TRUE;
  }
  auto* navigation = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
  WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(navigation);
  const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
  if (uri == nullptr) uri = "";
  if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION && IsRuntimePage(uri)) {
    webkit_policy_decision_use(decision);
    return TRUE;
  }
  webkit_policy_decision_ignore(decision);
  if (!webkit_navigation_action_is_redirect(action)) OpenInBrowser(uri);
  return TRUE;
}

GtkWidget* OnCreate(WebKitWebView*, WebKitNavigationAction*, gpointer) { return nullptr; }

}  // namespace

void GuardView(WebKitWebView* view) {
  g_signal_connect(view, "decide-policy", G_CALLBACK(OnDecidePolicy), nullptr);
  g_signal_connect(view, "create", G_CALLBACK(OnCreate), nullptr);
}

}  // namespace player_runtime
