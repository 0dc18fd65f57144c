// The player window class in the launcher's window layer: registered while any player control is
// loaded, so that the window layer never keeps a procedure of a library that may be unloaded.

#include "RuntimeState.h"

namespace player_runtime {

namespace {

constexpr char kPlayerClassName[] = "BrimtalePlayerControl";

LRESULT PlayerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) DestroyPlayer(window);
  return DefWindowProc != nullptr ? DefWindowProc(window, message, wParam, lParam) : 0;
}

}  // namespace

uint32_t PlayerClassAtom() {
  RuntimeState& state = State();
  if (state.classAtom != 0 || RegisterWindowClass == nullptr) return state.classAtom;
  WindowClassInfo info{kPlayerClassName, PlayerWindowProc, CreatePlayer, 0};
  state.classAtom = RegisterWindowClass(&info);
  return state.classAtom;
}

void UnregisterPlayerClass() {
  RuntimeState& state = State();
  if (state.classAtom == 0 || UnregisterWindowClass == nullptr) return;
  UnregisterWindowClass(kPlayerClassName);
  state.classAtom = 0;
}

}  // namespace player_runtime
