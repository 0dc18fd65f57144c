#pragma once
// The rules of the contract between the login dialog and its page that hold without a window:
// the two access token formats, the centring arithmetic, and which keys, menus and links the
// dialog lets through. Pure functions, callable from any thread.

#include <string>

#include "platform/WebDialog.h"

namespace login {

// The access token of StartGame, a JSON object with the keys in this order:
// {"id":..,"state":..,"timeout":..,"ulg_time":..,"zoneid":..}. The page passes the values in
// another order (id, ulg_time, timeout, state, zoneid), hence the parameter names. Each value is
// written as a JSON string with its quotes, backslashes and control characters escaped.
std::string BuildStartGameToken(const std::string& id, const std::string& ulgTime, const std::string& timeout,
                                const std::string& state, const std::string& zoneId);

// The longest open id that StartGameV2 passes on.
constexpr size_t kMaxPortalUserIdLength = 1023;

// The open id carried by a StartGameV2 token: the member "userid" (compared without regard to
// case) of a JSON object, its integer value in decimal when it is a number, its text when it is a
// string. Empty when the token is not a JSON object, has no such member, the member is of another
// kind, or its text is longer than kMaxPortalUserIdLength.
std::string FindPortalUserId(const std::string& token);

// Where a window of `windowExtent` starts so that it is centred on a screen of `screenExtent`:
// the difference halved by an arithmetic shift, so an odd negative difference rounds down.
int CenteredOffset(int screenExtent, int windowExtent);

// True for the keys the browser must never act on: F5 and Esc pressed; with Ctrl held N, O, L,
// P, both plus and both minus keys; with Alt held Left and Right. Ctrl and Alt keys are filtered
// on press and release alike.
bool SwallowsKey(const platform::KeyMessage& key);

// The browser's own menu only in text fields and on selected text.
bool ShowsContextMenu(platform::ContextMenuTarget target);

// OpenLink hands only http, https and mailto URLs (scheme in any case) to the desktop.
bool IsOpenableLink(const std::string& url);

}  // namespace login
