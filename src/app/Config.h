#pragma once
// The launcher's configuration: built-in defaults overlaid by the first config.txt found beside
// the executable, in $XDG_CONFIG_HOME/brimtale (else ~/.config/brimtale), or in /etc/brimtale.

#include <string>
#include <vector>

#include "base/AppInfo.h"

struct cJSON;

inline constexpr int kMaxHttpThreadCount = 8;
// A slower limit would make every transfer look stalled (HttpMgr gives up below 100 bytes/s).
inline constexpr int kMinDownloadBytesPerSecond = 1024;

// Where config.txt is looked for, in this order; the first that is a file is read.
std::vector<std::string> ConfigSearchPaths();

class CConfig {
 public:
  CConfig();
  virtual ~CConfig();

  // Fills the record from the defaults and the first file of ConfigSearchPaths(), clamps and logs
  // it; a file that cannot be used is also reported on standard error. GUI thread, once, before
  // anything reads the record.
  void Load();
  // As Load, from the first of `paths` that is a file, without the report on standard error. The
  // paths before it are passed over (each named in the log); a file that exists but cannot be
  // read or parsed ends the search, and the defaults apply.
  void LoadFirstOf(const std::vector<std::string>& paths);
  void LoadFrom(const std::string& path) { LoadFirstOf({path}); }

  // Whether the file found could not be read or parsed (the defaults apply then).
  bool LoadFailed() const { return !m_loadError.empty(); }
  // The file read, or found and failed; empty when none was found.
  const std::string& SourcePath() const { return m_sourcePath; }
  // What was wrong with it, for the user ("not valid JSON at line 2, column 7"); empty when nothing.
  const std::string& LoadError() const { return m_loadError; }

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

 private:
  void LoadDefaults();
  // Reads `path` over the defaults; false when it was passed over (the search goes on).
  bool ApplyFile(const std::string& path);
  void ApplyMembers(const cJSON* root);
  void Clamp();
  void LogValues() const;

  std::string m_sourcePath;
  std::string m_loadError;
};
