// InitFlashInBox: the sources tried per FlashMode, the log lines, and what each source hands to the
// runtime. The runtime is a fake installed through the forwarders' export resolver; the player
// control file and resource are real bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/Config.h"
#include "app/LauncherApp.h"
#include "flash/FlashRuntime.h"
#include "flash/RuntimeLoading.h"
#include "support/TestLog.h"
#include "support/TestSupport.h"

namespace {

using testing_support::TempDir;
using testing_support::WriteFile;

const bool kLogReady = (testing_support::UseTestLog(), true);

// The messages logged since construction.
class LogWatch {
 public:
  LogWatch() : m_mark(testing_support::TestLogMessages().size()) {}
  std::vector<std::string> Messages() const { return testing_support::TestLogMessagesSince(m_mark); }

 private:
  size_t m_mark;
};

// The fake runtime: each source's load call is recorded by the source it came from.
constexpr const char kFileBytes[] = "file player control";
constexpr const char kResourceBytes[] = "resource player control";
constexpr HFPC kFileHandle = 0x1111, kResourceHandle = 0x2222, kInstalledHandle = 0x3333;

struct FakeRuntime {
  std::optional<SFPCVersion> installed = SFPCVersion{{4, 3, 2, 10}};  // 10.2.3.4
  bool fileLoads = false;
  bool resourceLoads = false;
  bool installedLoads = false;
  bool transparent = true;
  std::vector<std::string> loads;  // "External", "Resource", "Installed" in call order
  std::vector<std::string> fileSizes;
  HFPC versionAskedOf = 0;
};
FakeRuntime* g_fake = nullptr;

HFPC FakeLoadFromMemory(const void* data, uint32_t size) {
  std::string bytes(static_cast<const char*>(data), size);
  if (bytes == kResourceBytes) {
    g_fake->loads.push_back("Resource");
    return g_fake->resourceLoads ? kResourceHandle : 0;
  }
  g_fake->loads.push_back("External");
  g_fake->fileSizes.push_back(std::to_string(size));
  return g_fake->fileLoads && bytes == kFileBytes ? kFileHandle : 0;
}
HFPC FakeLoadRegistered() {
  g_fake->loads.push_back("Installed");
  return g_fake->installedLoads ? kInstalledHandle : 0;
}
BOOL FakeInstalledVersion(SFPCVersion* version) {
  if (!g_fake->installed) return 0;
  *version = *g_fake->installed;
  return 1;
}
BOOL FakeIsInstalled() { return g_fake->installed.has_value(); }
BOOL FakeTransparent() { return g_fake->transparent; }
BOOL FakeVersionOf(HFPC hFPC, SFPCVersion* version) {
  g_fake->versionAskedOf = hFPC;
  *version = SFPCVersion{{static_cast<uint16_t>(hFPC & 0xFF), 0, 6, 0}};  // 0.6.0.<low byte of the handle>
  return 1;
}

void* FakeExport(const char* name) {
  static const std::map<std::string, void*> exports = {
      {"FPC_LoadOCXCodeFromMemory", reinterpret_cast<void*>(&FakeLoadFromMemory)},
      {"FPC_LoadRegisteredOCX", reinterpret_cast<void*>(&FakeLoadRegistered)},
      {"GetInstalledFlashVersionEx", reinterpret_cast<void*>(&FakeInstalledVersion)},
      {"FPCIsFlashInstalled", reinterpret_cast<void*>(&FakeIsInstalled)},
      {"FPCIsTransparentAvailable", reinterpret_cast<void*>(&FakeTransparent)},
      {"FPC_GetVersionEx", reinterpret_cast<void*>(&FakeVersionOf)},
  };
  auto found = exports.find(name);
  return found != exports.end() ? found->second : nullptr;
}

class InitFlashInBox : public ::testing::Test {
 protected:
  void SetUp() override {
    g_fake = &fake;
    flash::SetRuntimeExportResolver(FakeExport);
    WriteFile(file(), kFileBytes);
    flash::SetPlayerControlFileForTesting(file());
    UseResource(kResourceBytes);
  }
  void TearDown() override {
    flash::SetRuntimeExportResolver(nullptr);
    flash::SetPlayerControlFileForTesting("");
    flash::SetPlayerControlResourceForTesting(std::nullopt);
    g_fake = nullptr;
  }

  std::string file() const { return m_dir / "flash.ocx"; }
  void UseResource(const char* bytes) {
    flash::SetPlayerControlResourceForTesting(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes), strlen(bytes)));
  }

  // Runs InitFlashInBox as start-up does; returns its result.
  bool Run(int mode) {
    app.m_config.FlashMode = mode;
    app.m_hFPC = 0;
    LogWatch watch;
    bool result = app.InitFlashInBox();
    messages = watch.Messages();
    return result;
  }

  FakeRuntime fake;
  CLauncherApp app;
  std::vector<std::string> messages;
  TempDir m_dir;
};

using Lines = std::vector<std::string>;

TEST_F(InitFlashInBox, EachModeTriesTheSourcesInItsOrderAndNamesItselfWhenAllFail) {
  struct Case {
    int mode;
    Lines order;
    const char* failure;
  };
  const Case cases[] = {
      {0, {"External", "Resource", "Installed"}, "Init FINBOX Failed: Auto"},
      {1, {"External", "Resource", "Installed"}, "Init FINBOX Failed: External"},
      {2, {"Resource", "External", "Installed"}, "Init FINBOX Failed: Resource"},
      {3, {"Installed", "External", "Resource"}, "Init FINBOX Failed: Installed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    fake.loads.clear();
    EXPECT_FALSE(Run(c.mode));
    EXPECT_EQ(fake.loads, c.order);
    EXPECT_EQ(app.m_hFPC, 0u);
    Lines expected{"Installed Flash Player Version: 10.2.3.4"};
    for (const std::string& source : c.order) {
      if (source == "Resource") expected.push_back("InitFlashInBox_Resource: False");
      if (source == "Installed") expected.push_back("InitFlashInBox_Installed: False");
    }
    expected.push_back(c.failure);
    EXPECT_EQ(messages, expected);
  }
}

TEST_F(InitFlashInBox, AutoAndExternalDifferOnlyInTheirFailureMessage) {
  for (bool succeeds : {false, true}) {
    SCOPED_TRACE(succeeds);
    fake.installedLoads = succeeds;
    fake.loads.clear();
    bool autoResult = Run(0);
    Lines autoLines = messages, autoLoads = fake.loads;
    fake.loads.clear();
    EXPECT_EQ(Run(1), autoResult);
    EXPECT_EQ(fake.loads, autoLoads);
    ASSERT_EQ(messages.size(), autoLines.size());
    if (succeeds) {
      EXPECT_EQ(messages, autoLines);
    } else {
      EXPECT_EQ(Lines(messages.begin(), messages.end() - 1), Lines(autoLines.begin(), autoLines.end() - 1));
      EXPECT_EQ(autoLines.back(), "Init FINBOX Failed: Auto");
      EXPECT_EQ(messages.back(), "Init FINBOX Failed: External");
    }
  }
}

TEST_F(InitFlashInBox, TheFirstSourceThatLoadsEndsTheChain) {
  struct Case {
    int mode;
    bool file, resource, installed;
    Lines tried;
    HFPC handle;
  };
  const Case cases[] = {
      {0, true, true, true, {"External"}, kFileHandle},
      {0, false, false, true, {"External", "Resource", "Installed"}, kInstalledHandle},
      {2, true, true, false, {"Resource"}, kResourceHandle},
      {2, true, false, false, {"Resource", "External"}, kFileHandle},
      {3, true, true, true, {"Installed"}, kInstalledHandle},
      {3, false, true, false, {"Installed", "External", "Resource"}, kResourceHandle},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "mode " << c.mode << " handle " << c.handle);
    fake.fileLoads = c.file;
    fake.resourceLoads = c.resource;
    fake.installedLoads = c.installed;
    fake.loads.clear();
    EXPECT_TRUE(Run(c.mode));
    EXPECT_EQ(fake.loads, c.tried);
    EXPECT_EQ(app.m_hFPC, c.handle);
    EXPECT_EQ(fake.versionAskedOf, c.handle);
    char usedVersion[64];
    snprintf(usedVersion, sizeof usedVersion, "GetUsingFlashVersion: 0.6.0.%d", static_cast<int>(c.handle & 0xFF));
    EXPECT_EQ(messages.back(), usedVersion);
  }
}

TEST_F(InitFlashInBox, WithoutTransparentWindowsTheRuntimeStaysLoadedButReportsFalse) {
  fake.resourceLoads = true;
  fake.transparent = false;
  EXPECT_FALSE(Run(2));
  EXPECT_EQ(app.m_hFPC, kResourceHandle);
  EXPECT_EQ(messages, (Lines{"Installed Flash Player Version: 10.2.3.4", "InitFlashInBox_Resource: True",
                             "GetUsingFlashVersion: 0.6.0.34", "Flash transparent is not available"}));
}

TEST_F(InitFlashInBox, NoInstalledPlayerIsSaidTwiceAndNotLoaded) {
  fake.installed.reset();
  EXPECT_FALSE(Run(3));
  EXPECT_EQ(fake.loads, (Lines{"External", "Resource"}));
  EXPECT_EQ(messages, (Lines{"Installed Flash Player Version: FlashPlayer is not installed!",
                             "InitFlashInBox_Installed: No Installed", "InitFlashInBox_Resource: False",
                             "Init FINBOX Failed: Installed"}));
}

TEST_F(InitFlashInBox, ABlacklistedInstalledPlayerIsSkippedAndTheChainMovesOn) {
  app.m_config.AddBlacklistedVersions("9.0.0.1|10.2.3.4");
  fake.installedLoads = true;  // would load, but must not be asked
  fake.fileLoads = true;
  EXPECT_TRUE(Run(3));
  EXPECT_EQ(fake.loads, (Lines{"External"}));
  EXPECT_EQ(app.m_hFPC, kFileHandle);
  EXPECT_EQ(messages, (Lines{"Installed Flash Player Version: 10.2.3.4",
                             "InitFlashInBox_Installed: InstallIssueFlash, 10.2.3.4",
                             "GetUsingFlashVersion: 0.6.0.17"}));
}

TEST_F(InitFlashInBox, AMissingFileOrResourceFailsWithoutALogLine) {
  std::filesystem::remove(file());
  UseResource("");
  fake.installedLoads = true;
  EXPECT_TRUE(Run(1));
  EXPECT_EQ(fake.loads, (Lines{"Installed"}));
  EXPECT_EQ(messages, (Lines{"Installed Flash Player Version: 10.2.3.4", "InitFlashInBox_Installed: True",
                             "GetUsingFlashVersion: 0.6.0.51"}));
}

TEST_F(InitFlashInBox, TheFileSourceReadsTheWholeFileAndShortFilesNeverReachTheRuntime) {
  struct Case {
    std::optional<size_t> size;  // none: no file
    bool reachesRuntime;
  };
  const Case cases[] = {{std::nullopt, false}, {1, false}, {2, false}, {0, true}, {3, true}, {4, true}, {100001, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size ? std::to_string(*c.size) : "no file");
    std::filesystem::remove(file());
    if (c.size) WriteFile(file(), std::string(*c.size, 'x'));
    fake.loads.clear();
    fake.fileSizes.clear();
    app.m_hFPC = 0x77;  // a source that does not reach the runtime leaves the handle alone
    LogWatch watch;
    app.InitFlashInBox_External();
    EXPECT_EQ(watch.Messages(), Lines{});
    if (c.reachesRuntime) {
      EXPECT_EQ(fake.fileSizes, Lines{std::to_string(*c.size)});
      EXPECT_EQ(app.m_hFPC, 0u);
    } else {
      EXPECT_EQ(fake.loads, Lines{});
      EXPECT_EQ(app.m_hFPC, 0x77u);
    }
  }
}

TEST_F(InitFlashInBox, AFolderNamedLikeThePlayerControlIsNoFile) {
  std::filesystem::remove(file());
  std::filesystem::create_directory(file());
  app.m_hFPC = 0;
  EXPECT_FALSE(app.InitFlashInBox_External());
  EXPECT_EQ(fake.loads, Lines{});
}

}  // namespace
