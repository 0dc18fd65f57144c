#pragma once
// The entry points across the player runtime library's boundary, each listed once as an X-macro:
// X(return type, name, (parameters), (arguments)). This file includes nothing, so that the build
// can run it alone through the preprocessor to write the linker's export lists; use the lists
// through runtime_api.h, which declares the types they name.

// The fifteen operations the runtime library exports (each also has a pointer type PFN_<name>).
#define BRIMTALE_RUNTIME_OPERATIONS(X)                                                                  \
  X(HFPC, FPC_LoadOCXCodeFromMemory, (const void* data, uint32_t size), (data, size))                   \
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

// What the launcher's executable exports to the runtime library: its window layer's C entry points,
// declared and described by the window layer (src/platform/Window.h). GUI thread only.
#define BRIMTALE_HOST_OPERATIONS(X)                                                         \
  X(uint32_t, RegisterWindowClass, (const WindowClassInfo* info), (info))                   \
  X(BOOL, UnregisterWindowClass, (const char* name), (name))                                \
  X(void*, GetWindowWidget, (HWND window), (window))                                        \
  X(uint32_t, GetWindowStyle, (HWND window), (window))                                      \
  X(uint32_t, GetWindowExStyle, (HWND window), (window))                                    \
  X(HWND, GetParent, (HWND window), (window))                                               \
  X(LRESULT, SendMessage, (HWND window, UINT message, WPARAM wParam, LPARAM lParam),        \
    (window, message, wParam, lParam))                                                      \
  X(LRESULT, DefWindowProc, (HWND window, UINT message, WPARAM wParam, LPARAM lParam),      \
    (window, message, wParam, lParam))                                                      \
  X(HDC, GetDC, (HWND window), (window))                                                    \
  X(void, ReleaseDC, (HWND window, HDC dc), (window, dc))
