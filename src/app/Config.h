#pragma once
// The launcher's configuration: built-in defaults overlaid by config.txt beside the executable.

#include <string>
#include <vector>

#include "base/AppInfo.h"

inline constexpr int kMaxHttpThreadCount = 8;
// A slower limit would make every transfer look stalled (HttpMgr gives up below 100 bytes/s).
inline constexpr int kMinDownloadBytesPerSecond = 1024;

class CConfig {
 public:
  CConfig();
  virtual ~CConfig();

  // Fills the record from the defaults and GetAppFilePath("config.txt"), clamps and logs it.
  // GUI thread, once, before anything reads the record.
  void Load();
  // As Load, from another file (tests and tools).
  void LoadFrom(const std::string& path);

  // Whether the file read last exists but could not be parsed, and its path (empty when the
  // defaults were used). Kept by Load and LoadFrom.
  bool LoadFailed() const { return m_loadFailed; }
  const std::string& SourcePath() const { return m_sourcePath; }

  // Adds every version of a "|"-separated list ("%d.%d.%d.%d" each) that is not already listed.
  void AddBlacklistedVersions(const char* list);
  // The entry equal to the installed player's version, or null when none is (or none installed).
  const FlashVersion* FindBlacklistedInstalledVersion() const;

  int LauncherType = 0;
  std::string LauncherCaption;
  std::string SwfUrl;
  std::string LoginUrl;
  std::string GetSwfUrl;
  std::string ResolvedSwfUrl;  // the movie URL answered by the GetSwfUrl query; GUI thread only
  std::string ClientCaption;
  bool ShowBorder = false;
  int Width = 0;
  int Height = 0;
  int FlashMode = 0;
  std::vector<FlashVersion> VersionBlacklist;
  bool MoreHttpLog = false;
  int HttpThreadCount = 1;  // HTTP workers, 1 to kMaxHttpThreadCount: more run downloads side by side
  std::string Proxy;  // proxy URL of every transfer; empty: the environment's proxy variables
  int MaxDownloadBytesPerSecond = 0;  // per transfer; 0 is no limit, else at least kMinDownloadBytesPerSecond
  bool VerifyTls = true;  // verify HTTPS peers against the system's certificates
  // A signed patch site: the address of its folder and the base64 public key its index is signed
  // with. Without a key nothing is checked (SiteUrl alone does nothing).
  std::string SiteUrl;
  std::string SiteKey;

 private:
  bool m_loadFailed = false;
  std::string m_sourcePath;

  void LoadDefaults();
  void ApplyFile(const std::string& path);
  void Clamp();
  void LogValues() const;
};
