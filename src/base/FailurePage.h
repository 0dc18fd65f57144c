#pragma once
// The launcher's failure page: what it tells the player when the login page, the movie or the
// configuration cannot be used. One page (runtime/host/failure.html) serves every window: the
// player runtime serves it with the notice in its URL's query, the login and start-up windows
// show it with the notice filled into its data slot. Pure functions; any thread.

#include <string>
#include <string_view>

struct FailureNotice {
  std::string title;     // what could not be done ("The game cannot be loaded")
  std::string address;   // what failed: a URL, a file; may be empty
  std::string cause;     // why, in words a player can read
  int retrySeconds = -1; // a paced retry comes after this many seconds; -1: none runs
  bool offline = false;  // "Play offline" is offered
};

// The page as one document for a window that serves no files: the template's data slot
// ("@@FAILURE_DATA@@") replaced by the notice as a JSON object that no text of the notice can end
// early ("<" and ">" are escaped), and its script element (src="failure.js") by `script` inline.
// Parts the template lacks are left out.
std::string FillFailurePage(std::string_view pageTemplate, std::string_view script, const FailureNotice& notice);

// The notice as the query of the failure page's URL ("title=...&address=...&cause=..."), each
// value percent-encoded; "retry" and "offline" only when they apply.
std::string FailureNoticeQuery(const FailureNotice& notice);
