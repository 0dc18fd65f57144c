#pragma once
// The binary interface between the launcher and its player runtime library, in C: the types, the
// event codes, the fifteen operations the library exports, and the types of the window layer's
// entry points that the executable exports to it (both lists are in operation_lists.h). Shared by
// the launcher, the runtime library and the window layer; it depends on nothing of theirs.

#include <stddef.h>
#include <stdint.h>

#include "brimtale/operation_lists.h"

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

// The state of the buttons and modifier keys in wParam of the window layer's mouse messages.
enum {
  MK_LBUTTON = 0x0001,
  MK_RBUTTON = 0x0002,
  MK_SHIFT = 0x0004,
  MK_CONTROL = 0x0008,
  MK_MBUTTON = 0x0010
};

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

// A window procedure: a class's handling of its windows' messages.
typedef LRESULT (*WNDPROC)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// A window class. `create` (may be null) builds the class's contents inside a new window; it
// receives the window and its native top-level or child widget (a GtkWidget*).
typedef void (*WindowCreateHook)(HWND window, void* widget, const void* createParameter);
typedef struct WindowClassInfo {
  const char* name;
  WNDPROC procedure;  // null: DefWindowProc
  WindowCreateHook create;
  uint32_t classStyle;
} WindowClassInfo;

// Besides a movie's URL, FPC_LoadMovieA takes URLs of the runtime's own scheme, which only the
// launcher gives (a movie's LOAD_SWF never passes them on):
//   BRIMTALE_HANDED_MOVIE_URL "<fd>?url=<URL>"  plays the bytes of a memory file of this process,
//     open as descriptor <fd> and sealed against writes, growing and shrinking, as the movie at
//     <URL> (percent-encoded): the movie sees that URL as its own, takes its query's parameters
//     and resolves relative URLs against it. The bytes have been read when the call returns; the
//     caller still owns the descriptor. A descriptor that is not such a memory file is refused.
//   BRIMTALE_FAILURE_PAGE_URL "<query>"  shows the launcher's failure page in place of the movie
//     (query: title, address, cause, retry in seconds, offline=1; each value percent-encoded).
//     Its Try again and Quit buttons send WM_COMMAND with IDRETRY or IDCANCEL (the window layer's
//     numbers) to the player's top-level window. The next movie brings the player's page back.
//   BRIMTALE_SEALED_PLAYER_URL  from then on, the player's page requests nothing but the runtime's
//     own scheme (its Content-Security-Policy says so): every movie comes handed over, checked by
//     the launcher, and nothing the player would fetch by itself (a child movie, say) is loaded.
//     The page starts afresh; a player stays sealed for the rest of its life.
//   BRIMTALE_PREPARE_PLAYER_URL  loads and compiles the player control's code before any movie is
//     given, so that the first movie starts without that wait (a hidden window gets ready).
//   BRIMTALE_HELD_MOVIE_URL "<URL>"  loads the movie at <URL> (a movie's URL or a handed-over
//     movie's) ready to play, but holds it: it runs no frame and sends no command until
//     BRIMTALE_START_MOVIE_URL. Any other load in between drops the held movie.
//   BRIMTALE_START_MOVIE_URL  starts the held movie (at once, or as soon as its loading ends);
//     nothing when no movie is held.
#define BRIMTALE_HANDED_MOVIE_URL "brimtale-player://memfd/"
#define BRIMTALE_SEALED_PLAYER_URL "brimtale-player://sealed"
#define BRIMTALE_FAILURE_PAGE_URL "brimtale-player://failure?"
#define BRIMTALE_PREPARE_PLAYER_URL "brimtale-player://prepare"
#define BRIMTALE_HELD_MOVIE_URL "brimtale-player://held?"
#define BRIMTALE_START_MOVIE_URL "brimtale-player://start"

#define BRIMTALE_DECLARE_POINTER_TYPE(ret, name, params, args) typedef ret(*PFN_##name) params;
BRIMTALE_RUNTIME_OPERATIONS(BRIMTALE_DECLARE_POINTER_TYPE)
#undef BRIMTALE_DECLARE_POINTER_TYPE

#ifdef __cplusplus
}
#endif
