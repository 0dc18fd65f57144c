#include "app/LauncherApp.h"
#include "app/Log.h"

// Seams filled by the runtime loading work: until then they do nothing and say so.
bool CLauncherApp::InitFlashInBox() {
  WriteLog("InitFlashInBox: runtime loading is not built yet");
  return false;
}
bool CLauncherApp::InitFlashInBox_External() { return false; }
bool CLauncherApp::InitFlashInBox_Resource() { return false; }
bool CLauncherApp::InitFlashInBox_Installed() { return false; }
