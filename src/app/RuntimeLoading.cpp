// The application's part of loading the player runtime: the sources in the order FlashMode
// gives, and what each one logs. GUI thread only.
#include "app/LauncherApp.h"
#include "base/Log.h"
#include "flash/FlashRuntime.h"
#include "flash/RuntimeLoading.h"

namespace {

const char* TrueFalse(bool value) { return value ? "True" : "False"; }

}  // namespace

bool CLauncherApp::InitFlashInBox() {
  FlashVersion installed{};
  if (flash::GetInstalledFlashVersionEx(&installed))
    WriteLog("Installed Flash Player Version: %s", FormatFlashVersion(installed).c_str());
  else
    WriteLog("Installed Flash Player Version: FlashPlayer is not installed!");

  using Source = bool (CLauncherApp::*)();
  struct Order {
    Source sources[3];
    const char* failure;
  };
  // Indexed by FlashMode: Auto and External try the same order and differ only in their message.
  static constexpr Order kOrders[4] = {
      {{&CLauncherApp::InitFlashInBox_External, &CLauncherApp::InitFlashInBox_Resource,
        &CLauncherApp::InitFlashInBox_Installed},
       "Init FINBOX Failed: Auto"},
      {{&CLauncherApp::InitFlashInBox_External, &CLauncherApp::InitFlashInBox_Resource,
        &CLauncherApp::InitFlashInBox_Installed},
       "Init FINBOX Failed: External"},
      {{&CLauncherApp::InitFlashInBox_Resource, &CLauncherApp::InitFlashInBox_External,
        &CLauncherApp::InitFlashInBox_Installed},
       "Init FINBOX Failed: Resource"},
      {{&CLauncherApp::InitFlashInBox_Installed, &CLauncherApp::InitFlashInBox_External,
        &CLauncherApp::InitFlashInBox_Resource},
       "Init FINBOX Failed: Installed"},
  };
  // The configuration holds FlashMode within 0 to 3; anything else is taken as Auto.
  const int mode = m_config.FlashMode >= 0 && m_config.FlashMode <= 3 ? m_config.FlashMode : 0;
  const Order& order = kOrders[mode];

  bool loaded = false;
  for (Source source : order.sources) {
    if ((this->*source)()) {
      loaded = true;
      break;
    }
  }
  if (!loaded) {
    WriteLog("%s", order.failure);
    return false;
  }

  FlashVersion used{};
  flash::FPC_GetVersionEx(m_hFPC, &used);
  WriteLog("GetUsingFlashVersion: %s", FormatFlashVersion(used).c_str());

  // A runtime without transparent windows stays loaded and is used all the same.
  if (flash::FPCIsTransparentAvailable()) return true;
  WriteLog("Flash transparent is not available");
  return false;
}

bool CLauncherApp::InitFlashInBox_External() {
  // A source that does not reach the runtime leaves the handle as it was.
  std::optional<flash::PlayerControlBytes> bytes = flash::ReadPlayerControlFile();
  if (bytes) m_hFPC = flash::FPC_LoadOCXCodeFromMemory(bytes->data.get(), bytes->size);
  return m_hFPC != 0;
}

bool CLauncherApp::InitFlashInBox_Resource() {
  std::span<const uint8_t> archive = flash::PlayerControlResource();
  if (archive.empty()) return false;  // the build carries no player control
  m_hFPC = flash::FPC_LoadOCXCodeFromMemory(archive.data(), static_cast<uint32_t>(archive.size()));
  WriteLog("InitFlashInBox_Resource: %s", TrueFalse(m_hFPC != 0));
  return m_hFPC != 0;
}

bool CLauncherApp::InitFlashInBox_Installed() {
  if (!flash::FPCIsFlashInstalled()) {
    WriteLog("InitFlashInBox_Installed: No Installed");
    return false;
  }
  if (const FlashVersion* blacklisted = m_config.FindBlacklistedInstalledVersion()) {
    WriteLog("InitFlashInBox_Installed: InstallIssueFlash, %s", FormatFlashVersion(*blacklisted).c_str());
    return false;
  }
  m_hFPC = flash::FPC_LoadRegisteredOCX();
  WriteLog("InitFlashInBox_Installed: %s", TrueFalse(m_hFPC != 0));
  return m_hFPC != 0;
}
