// The configuration read from real files over the built-in defaults.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "app/Config.h"
#include "support/TestLog.h"
#include "support/TestSupport.h"

namespace {

using testing_support::TempDir;
using testing_support::WriteFile;

// This process's log, in a home folder of its own.
const bool kLogReady = (testing_support::UseTestLog(), true);

std::string Versions(const CConfig& config) {
  std::string text;
  for (const auto& version : config.VersionBlacklist) text += (text.empty() ? "" : " ") + FormatFlashVersion(version);
  return text;
}

CConfig LoadText(const std::string& text) {
  TempDir dir;
  WriteFile(dir / "config.txt", text);
  CConfig config;
  config.LoadFrom(dir / "config.txt");
  return config;
}

TEST(Config, DefaultsWithoutAFile) {
  CConfig config;
  config.LoadFrom("/nonexistent/config.txt");
  EXPECT_EQ(config.LauncherType, 3);
  // A module without a version note gives the empty version text.
  EXPECT_EQ(config.LauncherCaption, "BrimtaleLauncher ()");
  EXPECT_EQ(config.Width, 1280);
  EXPECT_EQ(config.Height, 720);
  EXPECT_FALSE(config.ShowBorder);
  EXPECT_EQ(config.FlashMode, 3);
  EXPECT_EQ(Versions(config), "20.0.0.267");
  EXPECT_TRUE(config.MoreHttpLog);
  EXPECT_TRUE(config.VerifyTls);
  EXPECT_EQ(config.HttpThreadCount, 1);
  EXPECT_EQ(config.Proxy, "");
  EXPECT_EQ(config.MaxDownloadBytesPerSecond, 0);
  EXPECT_EQ(config.ClientCaption, "Brimtale");
  EXPECT_NE(config.SwfUrl.find("/micro/loginqx2v_new171221.swf"), std::string::npos);
  EXPECT_NE(config.GetSwfUrl.find("/micro/GetSwfUrlnew171221.html"), std::string::npos);
  EXPECT_TRUE(config.ResolvedSwfUrl.empty());
}

struct Case {
  const char* name;
  const char* file;
  std::function<void(const CConfig&)> check;
};

const Case kCases[] = {
    {"member names ignore letter case", R"({"launchertype": 2})",
     [](const CConfig& c) { EXPECT_EQ(c.LauncherType, 2); }},
    {"a number in quotes is not a number", R"({"LauncherType": "2"})",
     [](const CConfig& c) { EXPECT_EQ(c.LauncherType, 3); }},
    {"numbers are cut toward zero", R"({"LauncherType": 2.9, "FlashMode": -0.5})",
     [](const CConfig& c) {
       EXPECT_EQ(c.LauncherType, 2);
       EXPECT_EQ(c.FlashMode, 0);
     }},
    {"a boolean in quotes is not a boolean", R"({"ShowBorder": "true", "MoreHttpLog": "false"})",
     [](const CConfig& c) {
       EXPECT_FALSE(c.ShowBorder);
       EXPECT_TRUE(c.MoreHttpLog);
     }},
    {"boolean literals", R"({"ShowBorder": true, "MoreHttpLog": false, "VerifyTls": false})",
     [](const CConfig& c) {
       EXPECT_TRUE(c.ShowBorder);
       EXPECT_FALSE(c.MoreHttpLog);
       EXPECT_FALSE(c.VerifyTls);
     }},
    {"size clamped below five", R"({"LauncherSize": {"Width": 2, "Height": 600}})",
     [](const CConfig& c) {
       EXPECT_EQ(c.Width, 5);
       EXPECT_EQ(c.Height, 600);
     }},
    {"size members independent", R"({"LauncherSize": {"Height": 600}})",
     [](const CConfig& c) {
       EXPECT_EQ(c.Width, 1280);
       EXPECT_EQ(c.Height, 600);
     }},
    {"size that is not an object", R"({"LauncherSize": [800, 600]})",
     [](const CConfig& c) {
       EXPECT_EQ(c.Width, 1280);
       EXPECT_EQ(c.Height, 720);
     }},
    {"loading mode above range", R"({"FlashMode": 7})", [](const CConfig& c) { EXPECT_EQ(c.FlashMode, 0); }},
    {"loading mode below range", R"({"FlashMode": -1})", [](const CConfig& c) { EXPECT_EQ(c.FlashMode, 0); }},
    {"loading mode in range", R"({"FlashMode": 2})", [](const CConfig& c) { EXPECT_EQ(c.FlashMode, 2); }},
    {"blacklist is the union in order of first appearance",
     R"({"VersionBlacklist": "11.1.102.55|20.0.0.267|not a version|| 9. 0.1.2x"})",
     [](const CConfig& c) { EXPECT_EQ(Versions(c), "20.0.0.267 11.1.102.55 9.0.1.2"); }},
    {"blacklist parts cut to 16 bits", R"({"VersionBlacklist": "65537.1.2.3"})",
     [](const CConfig& c) { EXPECT_EQ(Versions(c), "20.0.0.267 1.1.2.3"); }},
    {"caption replaces the default whole", R"({"LauncherCaption": "My Game"})",
     [](const CConfig& c) { EXPECT_EQ(c.LauncherCaption, "My Game"); }},
    {"empty strings are values", R"({"SwfUrl": "", "ClientCaption": ""})",
     [](const CConfig& c) {
       EXPECT_EQ(c.SwfUrl, "");
       EXPECT_EQ(c.ClientCaption, "");
     }},
    {"strings are taken as bytes", "{\"LoginUrl\": \"http://h/\xC3\xA9?a=1&b=2\", \"GetSwfUrl\": \"u\"}",
     [](const CConfig& c) {
       EXPECT_EQ(c.LoginUrl, "http://h/\xC3\xA9?a=1&b=2");
       EXPECT_EQ(c.GetSwfUrl, "u");
     }},
    {"the first of two members differing in case counts", R"({"LauncherType": 1, "LAUNCHERTYPE": 2})",
     [](const CConfig& c) { EXPECT_EQ(c.LauncherType, 1); }},
    {"a first member of the wrong type hides a later good one", R"({"LauncherType": "1", "launchertype": 2})",
     [](const CConfig& c) { EXPECT_EQ(c.LauncherType, 3); }},
    {"a top-level array sets nothing", R"([{"LauncherType": 1}])",
     [](const CConfig& c) { EXPECT_EQ(c.LauncherType, 3); }},
    {"a top-level number sets nothing", "42", [](const CConfig& c) { EXPECT_EQ(c.LauncherType, 3); }},
    {"invalid JSON keeps every default", R"({"LauncherType": 1, "FlashMode": })",
     [](const CConfig& c) {
       EXPECT_EQ(c.LauncherType, 3);
       EXPECT_EQ(c.FlashMode, 3);
     }},
    {"an empty file keeps every default", "", [](const CConfig& c) { EXPECT_EQ(c.LauncherType, 3); }},
    {"HTTP workers in range", R"({"HttpThreadCount": 4})", [](const CConfig& c) { EXPECT_EQ(c.HttpThreadCount, 4); }},
    {"HTTP workers clamped above", R"({"HttpThreadCount": 64})", [](const CConfig& c) { EXPECT_EQ(c.HttpThreadCount, 8); }},
    {"HTTP workers clamped below", R"({"HttpThreadCount": 0})", [](const CConfig& c) { EXPECT_EQ(c.HttpThreadCount, 1); }},
    {"a proxy and a receive limit", R"({"Proxy": "http://127.0.0.1:3128", "MaxDownloadBytesPerSecond": 65536})",
     [](const CConfig& c) {
       EXPECT_EQ(c.Proxy, "http://127.0.0.1:3128");
       EXPECT_EQ(c.MaxDownloadBytesPerSecond, 65536);
     }},
    {"a receive limit below the floor is raised to it", R"({"MaxDownloadBytesPerSecond": 50})",
     [](const CConfig& c) { EXPECT_EQ(c.MaxDownloadBytesPerSecond, 1024); }},
    {"a negative receive limit is no limit", R"({"MaxDownloadBytesPerSecond": -5})",
     [](const CConfig& c) { EXPECT_EQ(c.MaxDownloadBytesPerSecond, 0); }},
    {"huge numbers are held in range", R"({"LauncherSize": {"Width": 1e300, "Height": -1e300}})",
     [](const CConfig& c) {
       EXPECT_EQ(c.Width, 2147483647);
       EXPECT_EQ(c.Height, 5);
     }},
};

TEST(Config, FileOverDefaults) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    c.check(LoadText(c.file));
  }
}

TEST(Config, SearchReadsTheFirstFileThereAndNeverFallsThroughAFaultyOne) {
  // Anything but a readable regular file is no configuration and is passed over: a FIFO is never
  // waited on, a device never read (a null device of the test's own), a generated file of /proc
  // never taken. A file that is there but cannot be parsed is the configuration, and a faulty one:
  // the defaults apply, and the search does not go on to a file its user never meant.
  TempDir dir;
  std::filesystem::create_directories(dir / "folder/config.txt");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
  std::filesystem::create_symlink(dir / "null", dir / "link-to-null");
  WriteFile(dir / "first", R"({"LauncherType": 1})");
  WriteFile(dir / "second", R"({"LauncherType": 2})");
  WriteFile(dir / "broken", "{\"LauncherType\": 1,\n  oops: 1 }");
  WriteFile(dir / "empty", "");
  const std::string missing = dir / "missing/config.txt";
  auto passed = [](const std::string& path, const std::string& why) {
    return "Config File Passed Over: " + path + " (" + why + ")";
  };
  struct {
    const char* name;
    std::vector<std::string> paths;
    int launcherType;
    std::string source;
    std::string error;
    std::vector<std::string> logged;  // the messages before "Config Loaded"
  } cases[] = {
      {"the first file wins", {dir / "first", dir / "second"}, 1, dir / "first", "", {"Config File: " + dir / "first"}},
      {"a missing file is passed over",
       {missing, dir / "second"},
       2,
       dir / "second",
       "",
       {passed(missing, "not found"), "Config File: " + dir / "second"}},
      {"what is not a regular file is passed over",
       {dir / "folder/config.txt", dir / "fifo", dir / "null", dir / "link-to-null", "/proc/self/status", dir / "second"},
       2,
       dir / "second",
       "",
       {passed(dir / "folder/config.txt", "not a regular file"), passed(dir / "fifo", "not a regular file"),
        passed(dir / "null", "not a regular file"), passed(dir / "link-to-null", "not a regular file"),
        passed("/proc/self/status", "not a regular file"), "Config File: " + dir / "second"}},
      {"a file that cannot be parsed ends the search",
       {missing, dir / "broken", dir / "second"},
       3,
       dir / "broken",
       // Where cJSON stopped: one past the first byte it could not take.
       "not valid JSON at line 2, column 4",
       {passed(missing, "not found"), "Config File: " + dir / "broken",
        "Load Config Failed! " + dir / "broken" + " (not valid JSON at line 2, column 4)", "ops: 1 }"}},
      {"an empty file cannot be parsed",
       {dir / "empty", dir / "second"},
       3,
       dir / "empty",
       "not valid JSON at line 1, column 1",
       {"Config File: " + dir / "empty", "Load Config Failed! " + dir / "empty" + " (not valid JSON at line 1, column 1)"}},
      {"nothing found", {missing}, 3, "", "", {passed(missing, "not found"), "Config File: none found, the defaults apply"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    size_t mark = testing_support::TestLogMessages().size();
    CConfig config;
    config.LoadFirstOf(c.paths);
    EXPECT_EQ(config.LauncherType, c.launcherType);
    EXPECT_EQ(config.SourcePath(), c.source);
    EXPECT_EQ(config.LoadFailed(), !c.error.empty());
    EXPECT_EQ(config.LoadError(), c.error);
    auto messages = testing_support::TestLogMessagesSince(mark);
    auto loaded = std::find(messages.begin(), messages.end(), "Config Loaded");
    EXPECT_EQ(std::vector<std::string>(messages.begin(), loaded), c.logged);
  }
}

TEST(Config, AddingBlacklistedVersionsSkipsDuplicatesAlreadyListed) {
  CConfig config;
  config.AddBlacklistedVersions("1.2.3.4|1.2.3.4|4.3.2.1");
  config.AddBlacklistedVersions("4.3.2.1|5.0.0.0");
  EXPECT_EQ(Versions(config), "1.2.3.4 4.3.2.1 5.0.0.0");
}

TEST(AppPaths, FilePathIsBesideTheExecutable) {
  std::string path = GetAppFilePath("config.txt");
  EXPECT_EQ(path, std::string(BRIMTALE_BINARY_DIR) + "/tests/config.txt");
}

TEST(AppPaths, ExeVersionReadsTheLaunchersNote) {
  EXPECT_EQ(GetExeVersion(BRIMTALE_LAUNCHER_PATH), BRIMTALE_PROJECT_VERSION);
  EXPECT_EQ(GetExeVersion("/nonexistent/file"), "");
  EXPECT_EQ(GetExeVersion(nullptr), "");  // test programs carry no version note
}

}  // namespace
