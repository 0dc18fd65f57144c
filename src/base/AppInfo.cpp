#include "base/AppInfo.h"

#include <cstdio>

#include "platform/ModuleVersion.h"
#include "platform/Process.h"

std::string GetAppFilePath(const char* name) {
  static const std::string folder = [] {
    std::string path = platform::GetModuleFileName();
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  }();
  return folder + name;
}

std::string GetExeVersion(const char* path) {
  auto version = platform::ReadProductVersion(path ? std::string(path) : platform::GetModuleFileName());
  if (!version) return {};
  char text[32];
  snprintf(text, sizeof text, "%d.%d.%d.%d", (*version)[0], (*version)[1], (*version)[2], (*version)[3]);
  return text;
}

std::string FormatFlashVersion(const FlashVersion& version) {
  char text[32];
  snprintf(text, sizeof text, "%d.%d.%d.%d", version.v[3], version.v[2], version.v[1], version.v[0]);
  return text;
}
