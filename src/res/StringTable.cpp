#include "res/StringTable.h"

#include <utility>

namespace res {
namespace {

constexpr std::pair<unsigned, const char*> kStrings[] = {
    {kIdsLauncherCaption, "BrimtaleLauncher"},
    {kIdsLauncherType, "3"},
    {kIdsSwfUrl, "http://res.brimtale.example/micro/loginqx2v_new171221.swf"},
    {kIdsLauncherSize, "1280,720"},
    {kIdsShowBorder, "False"},
    {kIdsLoginUrl, "http://www.brimtale.example/launcher/login.html"},
    {kIdsFlashMode, "3"},
    {kIdsVersionBlacklist, "20.0.0.267"},
    {kIdsClientCaption, "Brimtale"},
    {kIdsMoreHttpLog, "True"},
    {kIdsGetSwfUrl, "http://res.brimtale.example/micro/GetSwfUrlnew171221.html"},
    {kIdsHallAnalysisHost, "http://hall.brimtale.example"},
    {kIdsPortalAnalysisHost, "http://login.brimtale.example"},
};

}  // namespace

std::string LoadString(unsigned id) {
  for (const auto& [key, text] : kStrings)
    if (key == id) return text;
  return {};
}

}  // namespace res
