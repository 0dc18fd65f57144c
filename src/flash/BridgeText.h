#pragma once
// The texts of the script bridge, as pure functions over bytes: splitting a command's argument
// text into its entries, and building the XML invoke request that calls into the movie.
// No state, no OS; callable from any thread.

#include <string>
#include <string_view>
#include <vector>

namespace bridge {

// Splits `text` in place and returns its entries (the CmdArgs of a command). `text` must be
// NUL-terminated; its commas become NULs. Fields are taken the way strtok with "," takes them
// (runs of commas are one separator, empty fields are dropped), then the shared empty string is
// appended until the list holds exactly one entry more than `text` had commas. The entries
// borrow from `text` (or point to a static empty string): they live as long as `text` is
// neither freed nor resized.
std::vector<const char*> SplitCommandArguments(char* text);

// The failure answer (the value for "COMPLETE_EVENT") of `command` when its argument text
// `arguments` is refused, as its handler would give it for arguments it cannot use; entries it
// repeats are taken as far as the text's first NUL. Empty for a command that answers no failure
// (LOG, DELETE_SUB_DIRECTORY, the commands that take no arguments).
std::string FormatRefusal(std::string_view command, std::string_view arguments);

// `text` with &, <, >, " and ' written as XML entities, so it can stand inside an element or an
// attribute value and be read back unchanged.
std::string EscapeXml(std::string_view text);

// <invoke name="NAME" returntype="xml"><arguments><string>ARGUMENT</string></arguments></invoke>
// with the name and the argument escaped.
std::string FormatInvokeRequest(std::string_view name, std::string_view argument);

// Whether LOAD_SWF's `url` names one of the runtime's URLs that only the launcher gives (a
// handed-over or held movie, its start, the player's preparation, the failure page:
// brimtale/runtime_api.h), in any letter case and after blanks.
bool IsLauncherOnlyPlayerUrl(std::string_view url);

// The debugger message for an unknown command: "CmdHandler is not found: NAME\n", with NAME cut
// so that the whole message keeps its line feed within kMaxNotFoundMessage characters.
constexpr size_t kMaxNotFoundMessage = 1023;
std::string FormatHandlerNotFound(std::string_view command);

}  // namespace bridge
