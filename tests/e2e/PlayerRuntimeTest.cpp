// The runtime library's operations that need no window, called on the built library itself:
// player control archives, the installed player control, versions, transparency, refusals.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "brimtale/runtime_api.h"
#include "platform/MainLoop.h"
#include "support/TestSupport.h"

namespace {

const std::string kLibrary = std::string(BRIMTALE_BINARY_DIR) + "/runtime/brimtale_runtime.so";
const std::string kArchive = std::string(BRIMTALE_BINARY_DIR) + "/runtime/player-control.bin";
const std::string kRuffle = std::string(BRIMTALE_SOURCE_DIR) + "/runtime/node_modules/@ruffle-rs/ruffle";

class PlayerRuntime : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::InitGui();
    m_library = dlopen(kLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(m_library, nullptr) << dlerror();
#define BRIMTALE_RESOLVE(ret, name, params, args) \
  name = reinterpret_cast<PFN_##name>(dlsym(m_library, #name));  \
  ASSERT_NE(name, nullptr) << #name;
    BRIMTALE_RUNTIME_OPERATIONS(BRIMTALE_RESOLVE)
#undef BRIMTALE_RESOLVE
  }
  // The library stays loaded: its web context belongs to the process.

  void* m_library = nullptr;
#define BRIMTALE_MEMBER(ret, name, params, args) PFN_##name name = nullptr;
  BRIMTALE_RUNTIME_OPERATIONS(BRIMTALE_MEMBER)
#undef BRIMTALE_MEMBER
};

std::string Text(const SFPCVersion& v) {
  return std::to_string(v.v[3]) + "." + std::to_string(v.v[2]) + "." + std::to_string(v.v[1]) + "." +
         std::to_string(v.v[0]);
}

TEST_F(PlayerRuntime, TheBuiltArchiveLoadsWithRuffleVersionAsItsVersion) {
  std::string archive = testing_support::ReadFile(kArchive);
  ASSERT_GT(archive.size(), 1000u);
  HFPC handle = FPC_LoadOCXCodeFromMemory(archive.data(), static_cast<uint32_t>(archive.size()));
  ASSERT_NE(handle, 0u);
  SFPCVersion version{};
  ASSERT_TRUE(FPC_GetVersionEx(handle, &version));
  EXPECT_EQ(Text(version), "0.6.0.0");
  EXPECT_TRUE(FPC_UnloadCode(handle));
  EXPECT_FALSE(FPC_UnloadCode(handle));
  EXPECT_FALSE(FPC_GetVersionEx(handle, &version));
  EXPECT_EQ(FPC_GetClassAtomA(handle), 0u);
}

TEST_F(PlayerRuntime, WhatIsNoArchiveIsRefused) {
  std::string archive = testing_support::ReadFile(kArchive);
  for (size_t length : {size_t{0}, size_t{1}, size_t{2}, size_t{16}, archive.size() / 2, archive.size() - 1})
    EXPECT_EQ(FPC_LoadOCXCodeFromMemory(archive.data(), static_cast<uint32_t>(length)), 0u) << length;
  std::string foreign = "MZ" + std::string(4096, '\0');
  EXPECT_EQ(FPC_LoadOCXCodeFromMemory(foreign.data(), static_cast<uint32_t>(foreign.size())), 0u);
  EXPECT_EQ(FPC_LoadOCXCodeFromMemory(nullptr, 100), 0u);
}

TEST_F(PlayerRuntime, TheInstalledPlayerControlIsAnUnpackedFolder) {
  ASSERT_TRUE(std::filesystem::exists(kRuffle + "/package.json"));
  testing_support::TempDir empty;
  setenv("BRIMTALE_PLAYER_DIR", empty.path().c_str(), 1);
  SFPCVersion version{};
  EXPECT_FALSE(FPCIsFlashInstalled());
  EXPECT_FALSE(GetInstalledFlashVersionEx(&version));
  EXPECT_EQ(FPC_LoadRegisteredOCX(), 0u);

  setenv("BRIMTALE_PLAYER_DIR", kRuffle.c_str(), 1);
  EXPECT_TRUE(FPCIsFlashInstalled());
  ASSERT_TRUE(GetInstalledFlashVersionEx(&version));
  EXPECT_EQ(Text(version), "0.6.0.0");
  HFPC handle = FPC_LoadRegisteredOCX();
  ASSERT_NE(handle, 0u);
  SFPCVersion loaded{};
  ASSERT_TRUE(FPC_GetVersionEx(handle, &loaded));
  EXPECT_EQ(FPC_CompareVersions(&loaded, &version), 0);
  FPC_UnloadCode(handle);
  unsetenv("BRIMTALE_PLAYER_DIR");
}

TEST_F(PlayerRuntime, VersionsCompareMostSignificantPartFirst) {
  SFPCVersion a{{0, 0, 6, 0}}, b{{65535, 0, 5, 0}}, c{{0, 0, 0, 1}};
  EXPECT_EQ(FPC_CompareVersions(&a, &b), 1);
  EXPECT_EQ(FPC_CompareVersions(&b, &a), -1);
  EXPECT_EQ(FPC_CompareVersions(&a, &c), -1);
  EXPECT_EQ(FPC_CompareVersions(&c, &c), 0);
}

TEST_F(PlayerRuntime, ABareXServerHasNoTransparentWindows) {
  // Xvfb composites nothing: layered windows would show black where they should be clear.
  EXPECT_FALSE(FPCIsTransparentAvailable());
}

TEST_F(PlayerRuntime, CallsOnWindowsThatAreNoPlayersFail) {
  HWND stranger = reinterpret_cast<HWND>(uintptr_t{0x1234});
  char response[8] = "x";
  uint32_t length = sizeof response;
  EXPECT_NE(FPCCallFunctionA(stranger, "<invoke name=\"f\"/>", response, &length), 0);
  EXPECT_EQ(length, 0u);
  EXPECT_STREQ(response, "");
  EXPECT_NE(FPC_LoadMovieA(stranger, 0, "file:///m.swf"), 0);
  EXPECT_NE(FPC_PutStandardMenu(stranger, 0), 0);
  LRESULT result = 5;
  BOOL handled = 1;
  EXPECT_FALSE(FPC_CallWndProc(stranger, 0x0201, 0, 0, &result, &handled));
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(handled);
  FPC_PaintTo(stranger, nullptr);
  FPCSetEventListener(stranger, nullptr, nullptr);
}

}  // namespace
