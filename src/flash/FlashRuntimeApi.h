#pragma once
// The binary interface of the player runtime library: the types and the fifteen operations it
// exports with C linkage. Shared by the launcher (which reaches the operations through the
// forwarding functions of FlashRuntime.h) and by the runtime library itself (runtime/).

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t BOOL;
typedef uint32_t UINT;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef int32_t HRESULT;

// A window of the launcher's window layer (opaque to everyone but the window layer).
typedef struct BrimtaleWindow* HWND;
// A drawing surface: a cairo_t* on this platform.
typedef void* HDC;
// A loaded player control; 0 is none.
typedef uintptr_t HFPC;

// Four 16-bit parts, least significant first: 20.0.0.267 is {267, 0, 0, 20}.
typedef struct SFPCVersion {
  uint16_t v[4];
} SFPCVersion;

typedef struct NMHDR {
  HWND hwndFrom;     // the player window that raised the event
  uintptr_t idFrom;  // not used
  uint32_t code;     // FPCN_*
} NMHDR;

enum { FPCN_FSCOMMAND = 4862, FPCN_TRACE = 5115 };

// FPCN_FSCOMMAND: fscommand(command, args) from the movie. Both texts end with a NUL; the lengths
// tell where they end when the movie's text itself holds a NUL (0 from a runtime that does not
// count: the text then ends at its first NUL).
typedef struct SFPCFSCommandInfoStruct {
  NMHDR hdr;
  const char* command;
  const char* args;
  size_t commandLength;
  size_t argsLength;
} SFPCFSCommandInfoStruct;

// FPCN_TRACE: the movie's trace output.
typedef struct SFPCTraceStruct {
  NMHDR hdr;
  const char* text;
} SFPCTraceStruct;

// Called on the GUI thread with the window it was registered for, its context and the event.
typedef void (*PFLASHPLAYERCONTROLEVENTLISTENER)(HWND playerWindow, void* context, NMHDR* event);

// The fifteen operations (each also has a pointer type PFN_<name>).
#define BRIMTALE_RUNTIME_OPERATIONS(X)                                                                  \
  X(HFPC, FPC_LoadOCXCodeFromMemory, (const void* data, uint32_t size), (data, size))                     \
  X(HFPC, FPC_LoadRegisteredOCX, (void), ())                                                            \
  X(BOOL, FPC_UnloadCode, (HFPC hFPC), (hFPC))                                                          \
  X(BOOL, FPC_GetVersionEx, (HFPC hFPC, SFPCVersion* version), (hFPC, version))                         \
  X(BOOL, GetInstalledFlashVersionEx, (SFPCVersion* version), (version))                                \
  X(BOOL, FPCIsFlashInstalled, (void), ())                                                              \
  X(BOOL, FPCIsTransparentAvailable, (void), ())                                                        \
  X(int, FPC_CompareVersions, (const SFPCVersion* a, const SFPCVersion* b), (a, b))                     \
  X(uint32_t, FPC_GetClassAtomA, (HFPC hFPC), (hFPC))                                                   \
  X(HRESULT, FPC_PutStandardMenu, (HWND window, BOOL enable), (window, enable))                         \
  X(void, FPCSetEventListener, (HWND window, PFLASHPLAYERCONTROLEVENTLISTENER listener, void* context), \
    (window, listener, context))                                                                        \
  X(HRESULT, FPC_LoadMovieA, (HWND window, int layer, const char* url), (window, layer, url))           \
  X(HRESULT, FPCCallFunctionA, (HWND window, const char* request, char* response, uint32_t* length),    \
    (window, request, response, length))                                                                \
  X(void, FPC_PaintTo, (HWND window, HDC dc), (window, dc))                                             \
  X(BOOL, FPC_CallWndProc,                                                                              \
    (HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result, BOOL* handled),          \
    (window, message, wParam, lParam, result, handled))

#define BRIMTALE_DECLARE_POINTER_TYPE(ret, name, params, args) typedef ret(*PFN_##name) params;
BRIMTALE_RUNTIME_OPERATIONS(BRIMTALE_DECLARE_POINTER_TYPE)
#undef BRIMTALE_DECLARE_POINTER_TYPE

#ifdef __cplusplus
}
#endif
