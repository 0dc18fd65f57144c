#include "platform/MainLoop.h"

#include <gtk/gtk.h>

#include <utility>
#include <vector>

namespace platform {
namespace {

struct LoopState {
  bool guiAvailable = false;
  std::vector<bool*> quitFlags;  // one per running RunMainLoop, innermost last
};
LoopState& State() {
  static LoopState state;
  return state;
}

// Drives one pass: waits for and dispatches events, then runs the idle hook once the
// loop has nothing pending.
void Pass(const std::function<void()>& idle) {
  g_main_context_iteration(nullptr, TRUE);
  if (idle && !g_main_context_pending(nullptr)) idle();
}

gboolean RunPosted(gpointer data) {
  auto* task = static_cast<std::function<void()>*>(data);
  (*task)();
  delete task;
  return G_SOURCE_REMOVE;
}

}  // namespace

bool InitGui() {
  LoopState& state = State();
  if (state.guiAvailable) return true;
  // The window layer speaks X11 (window lookup, SHAPE); under Wayland it goes through XWayland.
  gdk_set_allowed_backends("x11");
  state.guiAvailable = gtk_init_check(nullptr, nullptr);
  return state.guiAvailable;
}

bool IsGuiAvailable() { return State().guiAvailable; }

void RunMainLoop(const std::function<void()>& idle) {
  LoopState& state = State();
  bool quit = false;
  state.quitFlags.push_back(&quit);
  while (!quit) Pass(idle);
  state.quitFlags.pop_back();
}

void RunMainLoopUntil(const std::function<bool()>& done, const std::function<void()>& idle) {
  while (!done()) Pass(idle);
}

void QuitMainLoop() {
  LoopState& state = State();
  if (!state.quitFlags.empty()) *state.quitFlags.back() = true;
  g_main_context_wakeup(nullptr);
}

void WakeMainLoop() { g_main_context_wakeup(nullptr); }

void PostToMainLoop(std::function<void()> task) {
  g_idle_add_full(G_PRIORITY_DEFAULT, RunPosted, new std::function<void()>(std::move(task)), nullptr);
}

}  // namespace platform
