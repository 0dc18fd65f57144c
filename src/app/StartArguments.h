#pragma once
// The pure parts of the start arguments: cutting the argument text out of the command line,
// splitting it into pairs, and the URLs of the two login analysis requests.
//
// The hosts of the analysis endpoints default to the string table (res::kIdsHallAnalysisHost,
// res::kIdsPortalAnalysisHost). A non-empty environment variable BRIMTALE_HALL_ANALYSIS_HOST or
// BRIMTALE_PORTAL_ANALYSIS_HOST replaces the default, for test servers and staging: the value is
// a scheme and authority such as "http://127.0.0.1:8080", used as it is.

#include <map>
#include <optional>
#include <string>
#include <string_view>

class CLauncherApp;

using StartArgumentMap = std::map<std::string, std::string>;

// The command line without its double quotes, less its first `executablePathLength`
// characters, trimmed of white space at both ends. The cut goes by length alone: the command
// line is expected to begin with the executable's full path. nullopt when nothing is left after
// the cut (not even blanks).
std::optional<std::string> CutStartArgumentText(std::string_view commandLine, size_t executablePathLength);

// KEY=VALUE pairs split strtok-style: a key runs up to the next "=", a value up to the next ",",
// each after skipping leading delimiters of its own kind; the split stops at the first key or
// value that is missing. When a key repeats, its first value stays. Keys are compared byte by
// byte, so " PID" (after ", ") is not "PID".
StartArgumentMap SplitStartArgumentPairs(std::string_view text);

// "<host>/startzelqgame.ashx?openid=<ID>" and "&pid=<PID>" when PID is present; nullopt
// without ID. Values go into the URL unchanged.
std::optional<std::string> QQLoginAnalysisUrl(const std::string& host, const StartArgumentMap& arguments);

// "<host>/api/startzelqgame.ashx?openid=<userId>", the user id unchanged.
std::string PortalLoginAnalysisUrl(const std::string& host, const std::string& userId);

// The work of CLauncherApp::ProcessStartArguments for launcher type 1 on a given command line:
// logs it, cuts and splits the arguments, opens the hall channel with PROCPARA and queues the
// QQ login analysis request when ID is present. false when the hall's arguments are missing
// (nothing after the executable's path, or no "ID=" in it); the caller then ends the process.
// GUI thread.
bool ApplyStartArguments(CLauncherApp& app, const std::string& commandLine, const std::string& executablePath);

// The analysis hosts: the environment's override, else the string table's default.
std::string HallAnalysisHost();
std::string PortalAnalysisHost();
