#include "app/Config.h"

#include <cjson/cJSON.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>

#include "base/Log.h"
#include "base/Text.h"
#include "flash/FlashRuntime.h"
#include "http/HttpMgr.h"
#include "platform/Files.h"
#include "platform/ModuleVersion.h"
#include "platform/Process.h"
#include "platform/SpecialFolders.h"
#include "res/StringTable.h"

namespace {

std::string Trimmed(std::string text) {
  size_t begin = 0;
  while (begin < text.size() && isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  size_t end = text.size();
  while (end > begin && isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

bool IsTrueText(const std::string& text) {
  std::string lowered = Trimmed(text);
  for (char& c : lowered) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return lowered == "true";
}

// The integer part of a JSON number, truncated toward zero and held within int's range.
int IntegerPart(double value) {
  if (std::isnan(value)) return 0;
  double truncated = std::trunc(value);
  if (truncated >= static_cast<double>(std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
  if (truncated <= static_cast<double>(std::numeric_limits<int>::min())) return std::numeric_limits<int>::min();
  return static_cast<int>(truncated);
}

constexpr const char* kSystemConfigPath = "/etc/brimtale/config.txt";
constexpr int kFolderRoamingAppData = 26;  // $XDG_CONFIG_HOME, else ~/.config

// What a look at one place of the search found.
struct ConfigFile {
  enum class Kind { kRead, kPassedOver, kUnreadable };
  Kind kind = Kind::kPassedOver;
  std::string text;    // kRead: the whole file
  std::string reason;  // kPassedOver and kUnreadable: why, for the log
};

// The whole text of the file at `path`. A path where nothing is, or something other than a
// regular file (a folder, a FIFO, a device: never waited on nor read without end), or that cannot
// even be looked at, is passed over; a regular file that cannot be read is not.
ConfigFile ReadConfigFile(const std::string& path) {
  FILE* file = platform::OpenRegularFileStream(path);
  if (file == nullptr) {
    int error = errno;
    if (error == ENOENT || error == ENOTDIR) return {ConfigFile::Kind::kPassedOver, "", "not found"};
    if (error == EINVAL || error == EISDIR || platform::IsOtherThanRegularFile(path))
      return {ConfigFile::Kind::kPassedOver, "", "not a regular file"};
    // Refused on the way to it (a folder that may not be searched): nothing to be seen there.
    if (!platform::PathOrPatternExists(path)) return {ConfigFile::Kind::kPassedOver, "", strerror(error)};
    return {ConfigFile::Kind::kUnreadable, "", strerror(error)};
  }
  std::string text;
  char chunk[1024];
  size_t read;
  while ((read = fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, read);
  int error = ferror(file) ? errno : 0;
  fclose(file);
  if (error != 0) return {ConfigFile::Kind::kUnreadable, "", strerror(error)};
  return {ConfigFile::Kind::kRead, std::move(text), ""};
}

// "line L, column C" of the byte at `offset` of `text`, both counted from 1.
std::string LineAndColumn(const std::string& text, size_t offset) {
  size_t line = 1, lineStart = 0;
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] != '\n') continue;
    ++line;
    lineStart = i + 1;
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(offset - lineStart + 1);
}

// The first member whose name matches without regard to ASCII case (cJSON's own lookup).
const cJSON* Member(const cJSON* object, const char* name) { return cJSON_GetObjectItem(object, name); }

void ApplyString(const cJSON* object, const char* name, std::string& field) {
  const cJSON* member = Member(object, name);
  if (cJSON_IsString(member)) field = member->valuestring;
}

void ApplyNumber(const cJSON* object, const char* name, int& field) {
  const cJSON* member = Member(object, name);
  if (cJSON_IsNumber(member)) field = IntegerPart(member->valuedouble);
}

void ApplyBool(const cJSON* object, const char* name, bool& field) {
  const cJSON* member = Member(object, name);
  if (cJSON_IsBool(member)) field = cJSON_IsTrue(member);
}

bool SameVersion(const FlashVersion& a, const FlashVersion& b) { return flash::FPC_CompareVersions(&a, &b) == 0; }

}  // namespace

std::vector<std::string> ConfigSearchPaths() {
  std::vector<std::string> paths{GetAppFilePath("config.txt")};
  if (std::optional<std::string> config = platform::GetSpecialFolderPath(kFolderRoamingAppData))
    paths.push_back(*config + "/brimtale/config.txt");
  paths.push_back(kSystemConfigPath);
  return paths;
}

CConfig::CConfig() = default;
CConfig::~CConfig() = default;

void CConfig::Load() {
  LoadFirstOf(ConfigSearchPaths());
  if (LoadFailed())
    fprintf(stderr, "brimtale-launcher: cannot use the configuration %s: %s\n", m_sourcePath.c_str(), m_loadError.c_str());
}

void CConfig::LoadFirstOf(const std::vector<std::string>& paths) {
  LoadDefaults();
  m_sourcePath.clear();
  m_loadError.clear();
  for (const std::string& path : paths) {
    if (ApplyFile(path)) break;
  }
  if (m_sourcePath.empty()) WriteLog("Config File: none found, the defaults apply");
  Clamp();
  LogValues();
}

void CConfig::LoadDefaults() {
  SwfUrl = res::LoadString(res::kIdsSwfUrl);
  LauncherCaption = res::LoadString(res::kIdsLauncherCaption) + " (" + GetExeVersion(nullptr) + ")";

  std::string size = res::LoadString(res::kIdsLauncherSize);
  Tokenizer sizeParts(size);
  std::optional<std::string_view> width = sizeParts.Next("\t ,\n\r|");
  std::optional<std::string_view> height = width ? sizeParts.Next("\t ,\n\r|") : std::nullopt;
  if (width && height) {
    Width = ReadNumber(std::string(*width).c_str());
    Height = ReadNumber(std::string(*height).c_str());
  }

  ShowBorder = IsTrueText(res::LoadString(res::kIdsShowBorder));
  LauncherType = static_cast<int>(atol(res::LoadString(res::kIdsLauncherType).c_str()));
  LoginUrl = res::LoadString(res::kIdsLoginUrl);
  FlashMode = static_cast<int>(atol(res::LoadString(res::kIdsFlashMode).c_str()));
  VersionBlacklist.clear();
  AddBlacklistedVersions(res::LoadString(res::kIdsVersionBlacklist).c_str());
  MoreHttpLog = IsTrueText(res::LoadString(res::kIdsMoreHttpLog));
  GetSwfUrl = res::LoadString(res::kIdsGetSwfUrl);
  ClientCaption = res::LoadString(res::kIdsClientCaption);
  VerifyTls = true;
  HttpThreadCount = 1;
  Proxy.clear();
  MaxDownloadBytesPerSecond = 0;
}

bool CConfig::ApplyFile(const std::string& path) {
  ConfigFile file = ReadConfigFile(path);
  if (file.kind == ConfigFile::Kind::kPassedOver) {
    WriteLog("Config File Passed Over: %s (%s)", path.c_str(), file.reason.c_str());
    return false;
  }
  // From here on this file is the configuration, usable or not: the search never falls through
  // to a later one, which would run the launcher with settings its user did not write.
  m_sourcePath = path;
  WriteLog("Config File: %s", path.c_str());
  if (file.kind == ConfigFile::Kind::kUnreadable) {
    m_loadError = "cannot be read (" + file.reason + ")";
    WriteLog("Load Config Failed! %s %s", path.c_str(), m_loadError.c_str());
    return true;
  }

  cJSON* root = cJSON_Parse(file.text.c_str());
  if (root == nullptr) {
    const char* rest = cJSON_GetErrorPtr();
    if (rest == nullptr) rest = file.text.c_str() + file.text.size();
    m_loadError = "not valid JSON at " + LineAndColumn(file.text, static_cast<size_t>(rest - file.text.c_str()));
    WriteLog("Load Config Failed! %s (%s)\n%s", path.c_str(), m_loadError.c_str(), rest);
    return true;
  }
  ApplyMembers(root);
  cJSON_Delete(root);
  return true;
}

void CConfig::ApplyMembers(const cJSON* root) {
  ApplyNumber(root, "LauncherType", LauncherType);
  ApplyString(root, "LauncherCaption", LauncherCaption);
  ApplyString(root, "SwfUrl", SwfUrl);
  ApplyString(root, "LoginUrl", LoginUrl);
  ApplyString(root, "GetSwfUrl", GetSwfUrl);
  ApplyString(root, "ClientCaption", ClientCaption);
  ApplyBool(root, "ShowBorder", ShowBorder);
  ApplyNumber(root, "FlashMode", FlashMode);
  const cJSON* size = Member(root, "LauncherSize");
  if (cJSON_IsObject(size)) {
    ApplyNumber(size, "Width", Width);
    ApplyNumber(size, "Height", Height);
  }
  const cJSON* blacklist = Member(root, "VersionBlacklist");
  if (cJSON_IsString(blacklist)) AddBlacklistedVersions(blacklist->valuestring);
  ApplyBool(root, "MoreHttpLog", MoreHttpLog);
  ApplyBool(root, "VerifyTls", VerifyTls);
  ApplyNumber(root, "HttpThreadCount", HttpThreadCount);
  ApplyString(root, "Proxy", Proxy);
  ApplyNumber(root, "MaxDownloadBytesPerSecond", MaxDownloadBytesPerSecond);
}

void CConfig::Clamp() {
  if (Width < 5) Width = 5;
  if (Height < 5) Height = 5;
  if (FlashMode < 0 || FlashMode > 3) FlashMode = 0;
  HttpThreadCount = std::clamp(HttpThreadCount, 1, kMaxHttpThreadCount);
  if (MaxDownloadBytesPerSecond < 0) MaxDownloadBytesPerSecond = 0;
  if (MaxDownloadBytesPerSecond > 0) MaxDownloadBytesPerSecond = std::max(MaxDownloadBytesPerSecond, kMinDownloadBytesPerSecond);
}

void CConfig::LogValues() const {
  WriteLog("Config Loaded");
  WriteLog("LauncherType: %d", LauncherType);
  WriteLog("LauncherCaption: %s", LauncherCaption.c_str());
  WriteLog("SwfUrl: %s", SwfUrl.c_str());
  WriteLog("LoginUrl: %s", LoginUrl.c_str());
  WriteLog("ShowBorder: %s", ShowBorder ? "true" : "false");
  WriteLog("LauncherSize: { %d, %d }", Width, Height);
  WriteLog("FlashMode: %d", FlashMode);
  WriteLog("WorkingPath: %s", platform::GetCurrentDirectory().c_str());
  WriteLog("HttpThreadCount: %d", HttpThreadCount);
  WriteLog("Proxy: %s", ProxyUrlForLog(Proxy).c_str());
  WriteLog("MaxDownloadBytesPerSecond: %d", MaxDownloadBytesPerSecond);
}

void CConfig::AddBlacklistedVersions(const char* list) {
  Tokenizer entries(list ? list : "");
  while (std::optional<std::string_view> entry = entries.Next("|")) {
    int parts[4];
    if (sscanf(std::string(*entry).c_str(), "%d.%d.%d.%d", &parts[0], &parts[1], &parts[2], &parts[3]) != 4) continue;
    FlashVersion version{};
    for (int i = 0; i < 4; ++i) version.v[3 - i] = static_cast<uint16_t>(parts[i]);
    bool listed = false;
    for (const FlashVersion& entry : VersionBlacklist) listed = listed || SameVersion(entry, version);
    if (!listed) VersionBlacklist.push_back(version);
  }
}

const FlashVersion* CConfig::FindBlacklistedInstalledVersion() const {
  FlashVersion installed{};
  if (!flash::GetInstalledFlashVersionEx(&installed)) return nullptr;
  for (const FlashVersion& entry : VersionBlacklist)
    if (SameVersion(entry, installed)) return &entry;
  return nullptr;
}
