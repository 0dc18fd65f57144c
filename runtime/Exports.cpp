// The fifteen runtime operations, with C linkage: argument checks and the table of loaded player
// controls; the players do the rest (Player.cpp). GUI thread only.

#include <cstdlib>
#include <string>

#include "RuntimeState.h"

#define BRIMTALE_EXPORT extern "C" __attribute__((visibility("default")))

using namespace player_runtime;

namespace {

std::string InstalledPlayerFolder() {
  // Tests point the runtime at a player control of their own.
  if (const char* folder = std::getenv("BRIMTALE_PLAYER_DIR"); folder != nullptr && folder[0] != '\0')
    return folder;
  return BRIMTALE_INSTALLED_PLAYER_DIR;
}

HFPC AddCode(std::shared_ptr<PlayerCode> code) {
  if (!code) return 0;
  RuntimeState& state = State();
  HFPC handle = state.nextHandle++;
  state.codes[handle] = std::move(code);
  state.latest = handle;
  PlayerClassAtom();
  return handle;
}

}  // namespace

BRIMTALE_EXPORT HFPC FPC_LoadOCXCodeFromMemory(const void* data, uint32_t size) {
  if (data == nullptr || size == 0) return 0;
  return AddCode(PlayerCode::FromArchive({static_cast<const uint8_t*>(data), size}));
}

BRIMTALE_EXPORT HFPC FPC_LoadRegisteredOCX(void) {
  return AddCode(PlayerCode::FromFolder(InstalledPlayerFolder()));
}

BRIMTALE_EXPORT BOOL FPC_UnloadCode(HFPC hFPC) {
  RuntimeState& state = State();
  if (state.codes.erase(hFPC) == 0) return 0;
  if (state.latest == hFPC) state.latest = state.codes.empty() ? 0 : state.codes.rbegin()->first;
  // With no code left the class goes too: the library may be unloaded next.
  if (state.codes.empty()) UnregisterPlayerClass();
  return 1;
}

BRIMTALE_EXPORT BOOL FPC_GetVersionEx(HFPC hFPC, SFPCVersion* version) {
  auto found = State().codes.find(hFPC);
  if (found == State().codes.end() || version == nullptr) return 0;
  *version = found->second->version();
  return 1;
}

BRIMTALE_EXPORT BOOL GetInstalledFlashVersionEx(SFPCVersion* version) {
  auto code = PlayerCode::FromFolder(InstalledPlayerFolder());
  if (!code || version == nullptr) return 0;
  *version = code->version();
  return 1;
}

BRIMTALE_EXPORT BOOL FPCIsFlashInstalled(void) { return PlayerCode::FromFolder(InstalledPlayerFolder()) ? 1 : 0; }

BRIMTALE_EXPORT BOOL FPCIsTransparentAvailable(void) {
  GdkScreen* screen = gdk_screen_get_default();
  return screen != nullptr && gdk_screen_is_composited(screen) && gdk_screen_get_rgba_visual(screen) != nullptr;
}

BRIMTALE_EXPORT int FPC_CompareVersions(const SFPCVersion* a, const SFPCVersion* b) {
  if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
  return CompareVersions(*a, *b);
}

BRIMTALE_EXPORT uint32_t FPC_GetClassAtomA(HFPC hFPC) {
  if (!State().codes.contains(hFPC)) return 0;
  return PlayerClassAtom();
}

BRIMTALE_EXPORT HRESULT FPC_PutStandardMenu(HWND window, BOOL enable) {
  Player* player = PlayerOf(window);
  if (player == nullptr) return kFail;
  player->menu = enable != 0;
  return kOk;
}

BRIMTALE_EXPORT void FPCSetEventListener(HWND window, PFLASHPLAYERCONTROLEVENTLISTENER listener, void* context) {
  Player* player = PlayerOf(window);
  if (player == nullptr) return;
  player->listener = listener;
  player->listenerContext = context;
}

BRIMTALE_EXPORT HRESULT FPC_LoadMovieA(HWND window, int layer, const char* url) {
  Player* player = PlayerOf(window);
  if (player == nullptr || url == nullptr) return kFail;
  LoadMovie(*player, url);
  return kOk;
}

// The movie's answer cannot be waited for (the page runs in another process): a given response
// buffer receives an empty answer.
BRIMTALE_EXPORT HRESULT FPCCallFunctionA(HWND window, const char* request, char* response, uint32_t* length) {
  Player* player = PlayerOf(window);
  if (response != nullptr && length != nullptr && *length > 0) response[0] = '\0';
  if (length != nullptr) *length = 0;
  if (player == nullptr || request == nullptr) return kFail;
  return CallMovie(*player, request) ? kOk : kFail;
}

BRIMTALE_EXPORT void FPC_PaintTo(HWND window, HDC dc) {
  Player* player = PlayerOf(window);
  if (player == nullptr || dc == nullptr) return;
  PaintPlayerTo(*player, dc);
}

BRIMTALE_EXPORT BOOL FPC_CallWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result,
                                     BOOL* handled) {
  if (result != nullptr) *result = 0;
  if (handled != nullptr) *handled = 0;
  Player* player = PlayerOf(window);
  if (player == nullptr || !ForwardInput(*player, message, wParam, lParam)) return 0;
  if (handled != nullptr) *handled = 1;
  return 1;
}
