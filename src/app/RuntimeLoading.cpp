#include "flash/RuntimeLoading.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>

#include "app/Config.h"
#include "app/LauncherApp.h"
#include "app/Log.h"
#include "flash/FlashRuntime.h"
#include "res/EmbeddedBinaries.h"

namespace flash {
namespace {

std::string g_playerControlFile;
std::optional<std::span<const uint8_t>> g_playerControlResource;

// A player control archive is a few MiB; a length beyond this is no archive (a directory named
// "flash.ocx" reports a huge one) and is not read.
constexpr long kMaxPlayerControlFileSize = 512L << 20;

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using ScopedFile = std::unique_ptr<FILE, FileCloser>;

// The whole file, read in chunks of a third of its length as the player control has always been
// read: a file of one or two bytes has a chunk length of 0 and reads nothing. Nothing when the
// length cannot be taken or fewer bytes arrive than the length promised.
std::optional<std::unique_ptr<uint8_t[]>> ReadInThirds(FILE* file, long& length) {
  if (fseek(file, 0, SEEK_END) != 0) return std::nullopt;
  length = ftell(file);
  if (length < 0 || length > kMaxPlayerControlFileSize || fseek(file, 0, SEEK_SET) != 0) return std::nullopt;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[static_cast<size_t>(length) + 1]);
  if (!buffer) return std::nullopt;
  const size_t chunk = static_cast<size_t>(length) / 3;
  size_t total = 0;
  // Each read is held to the room left, so a file that grows while it is read cannot overrun the buffer.
  while (total < static_cast<size_t>(length)) {
    size_t read = fread(buffer.get() + total, 1, std::min(chunk, static_cast<size_t>(length) - total), file);
    if (read == 0) break;
    total += read;
  }
  if (total != static_cast<size_t>(length) || ferror(file)) return std::nullopt;
  return buffer;
}

const char* TrueFalse(bool value) { return value ? "True" : "False"; }

}  // namespace

void SetPlayerControlFileForTesting(std::string path) { g_playerControlFile = std::move(path); }

void SetPlayerControlResourceForTesting(std::optional<std::span<const uint8_t>> archive) {
  g_playerControlResource = archive;
}

}  // namespace flash

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
  const std::string path = flash::g_playerControlFile.empty() ? GetAppFilePath("flash.ocx") : flash::g_playerControlFile;
  // A folder of that name opens for reading here but is no file to load.
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return false;
  flash::ScopedFile file(fopen(path.c_str(), "rb"));
  if (!file) return false;
  long length = 0;
  auto bytes = flash::ReadInThirds(file.get(), length);
  file.reset();
  if (bytes) m_hFPC = flash::FPC_LoadOCXCodeFromMemory(bytes->get(), static_cast<uint32_t>(length));
  return m_hFPC != 0;
}

bool CLauncherApp::InitFlashInBox_Resource() {
  std::span<const uint8_t> archive =
      flash::g_playerControlResource ? *flash::g_playerControlResource : res::PlayerControlArchive();
  if (archive.empty()) return false;  // the build carries no player control
  m_hFPC = flash::FPC_LoadOCXCodeFromMemory(archive.data(), static_cast<uint32_t>(archive.size()));
  WriteLog("InitFlashInBox_Resource: %s", flash::TrueFalse(m_hFPC != 0));
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
  WriteLog("InitFlashInBox_Installed: %s", flash::TrueFalse(m_hFPC != 0));
  return m_hFPC != 0;
}
