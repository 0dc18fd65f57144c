#include "app/LauncherApp.h"
#include "app/Log.h"

// Seams filled by the start-argument and hall work: until then they do nothing and say so.
void CLauncherApp::ProcessStartArguments() {
  if (m_config.LauncherType == 1) WriteLog("ProcessStartArguments: start arguments are not built yet");
}
void CLauncherApp::RequestSwfUrl() { WriteLog("RequestSwfUrl: the movie URL query is not built yet"); }
void CLauncherApp::OnGetSwfUrl(HttpTaskEvent*) {}
void CLauncherApp::OnQQUserLoginAnalysis(HttpTaskEvent*) {}
void CLauncherApp::RequestPortalUserLoginAnalysis(std::string) {}
void CLauncherApp::OnPortalUserLoginAnalysis(HttpTaskEvent*) {}
