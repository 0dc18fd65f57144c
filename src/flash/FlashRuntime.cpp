#include "flash/FlashRuntime.h"

#include "flash/ImageLoader.h"

namespace flash {
namespace {

void* DefaultResolver(const char* name) { return FindImageExport(EnsureRuntimeLibrary(), name); }

ExportResolver g_resolver = DefaultResolver;

template <typename Function>
Function Resolve(const char* name) {
  return reinterpret_cast<Function>(g_resolver(name));
}

template <typename Result>
Result FailureValue() {
  if constexpr (std::is_same_v<Result, HRESULT>)
    return static_cast<HRESULT>(0x80004005);  // E_FAIL
  else
    return Result{};
}

}  // namespace

void SetRuntimeExportResolver(ExportResolver resolver) { g_resolver = resolver ? resolver : DefaultResolver; }

// Every export is looked up again on each call, so a runtime swapped in by a test takes effect at once.
#define BRIMTALE_DEFINE_FORWARDER(ret, name, params, args)               \
  ret name params {                                                      \
    if (auto function = Resolve<PFN_##name>(#name)) return function args; \
    return FailureValue<ret>();                                          \
  }

#define BRIMTALE_DEFINE_VOID_FORWARDER(ret, name, params, args) \
  ret name params {                                             \
    if (auto function = Resolve<PFN_##name>(#name)) function args; \
  }

BRIMTALE_DEFINE_FORWARDER(HFPC, FPC_LoadOCXCodeFromMemory, (const void* data, uint32_t size), (data, size))
BRIMTALE_DEFINE_FORWARDER(HFPC, FPC_LoadRegisteredOCX, (void), ())
BRIMTALE_DEFINE_FORWARDER(BOOL, FPC_UnloadCode, (HFPC hFPC), (hFPC))
BRIMTALE_DEFINE_FORWARDER(BOOL, FPC_GetVersionEx, (HFPC hFPC, SFPCVersion* version), (hFPC, version))
BRIMTALE_DEFINE_FORWARDER(BOOL, GetInstalledFlashVersionEx, (SFPCVersion* version), (version))
BRIMTALE_DEFINE_FORWARDER(BOOL, FPCIsFlashInstalled, (void), ())
BRIMTALE_DEFINE_FORWARDER(BOOL, FPCIsTransparentAvailable, (void), ())
BRIMTALE_DEFINE_FORWARDER(uint32_t, FPC_GetClassAtomA, (HFPC hFPC), (hFPC))
BRIMTALE_DEFINE_FORWARDER(HRESULT, FPC_PutStandardMenu, (HWND window, BOOL enable), (window, enable))
BRIMTALE_DEFINE_VOID_FORWARDER(void, FPCSetEventListener,
                               (HWND window, PFLASHPLAYERCONTROLEVENTLISTENER listener, void* context),
                               (window, listener, context))
BRIMTALE_DEFINE_FORWARDER(HRESULT, FPC_LoadMovieA, (HWND window, int layer, const char* url), (window, layer, url))
BRIMTALE_DEFINE_FORWARDER(HRESULT, FPCCallFunctionA,
                          (HWND window, const char* request, char* response, uint32_t* length),
                          (window, request, response, length))
BRIMTALE_DEFINE_VOID_FORWARDER(void, FPC_PaintTo, (HWND window, HDC dc), (window, dc))
BRIMTALE_DEFINE_FORWARDER(BOOL, FPC_CallWndProc,
                          (HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result, BOOL* handled),
                          (window, message, wParam, lParam, result, handled))

int FPC_CompareVersions(const SFPCVersion* a, const SFPCVersion* b) {
  if (auto function = Resolve<PFN_FPC_CompareVersions>("FPC_CompareVersions")) return function(a, b);
  // Without a runtime the comparison is still needed (the version blacklist): most significant part first.
  for (int part = 3; part >= 0; --part)
    if (a->v[part] != b->v[part]) return a->v[part] < b->v[part] ? -1 : 1;
  return 0;
}

}  // namespace flash
