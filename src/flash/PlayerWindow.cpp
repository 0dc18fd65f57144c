#include "app/LauncherApp.h"
#include "app/Log.h"

// Seam filled by the player window work: until then no window is created, and the run ends.
CWnd* CreateFlashPlayerWindow() {
  WriteLog("CreateFlashPlayerWindow: the player window is not built yet");
  return nullptr;
}
