#pragma once
// The launcher's compiled-in string table: the configuration defaults, by resource id.

#include <string>

namespace res {

constexpr unsigned kIdsLauncherCaption = 129;
constexpr unsigned kIdsLauncherType = 130;
constexpr unsigned kIdsSwfUrl = 131;
constexpr unsigned kIdsLauncherSize = 132;
constexpr unsigned kIdsShowBorder = 133;
constexpr unsigned kIdsLoginUrl = 134;
constexpr unsigned kIdsFlashMode = 135;
constexpr unsigned kIdsVersionBlacklist = 136;
constexpr unsigned kIdsClientCaption = 137;
constexpr unsigned kIdsMoreHttpLog = 139;
constexpr unsigned kIdsGetSwfUrl = 140;
// Hosts of the start-up requests that are not configurable (the game's endpoint on the hall's
// platform and the maker's login server).
constexpr unsigned kIdsHallAnalysisHost = 141;
constexpr unsigned kIdsPortalAnalysisHost = 142;

// The text of string `id`; empty for an id the table does not hold.
std::string LoadString(unsigned id);

}  // namespace res
