#include "platform/MainLoop.h"

#include <gtk/gtk.h>

#include <utility>
#include <vector>

#include "platform/Environment.h"

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

// Whether the innermost RunMainLoop was told to quit: what would run now could find its window
// destroyed already.
bool QuitRequested() {
  const LoopState& state = State();
  return !state.quitFlags.empty() && *state.quitFlags.back();
}

// Drives one pass: waits for and dispatches events, then runs the idle hook once the
// loop has nothing pending.
void Pass(const std::function<void()>& idle) {
  g_main_context_iteration(nullptr, TRUE);
  if (idle && !QuitRequested() && !g_main_context_pending(nullptr)) idle();
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
  KeepWebViewSoundOffJack();
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

struct LoopSignal::Source {
  GSource base;
  LoopSignal* owner;
};

struct LoopSignalSource {
  static gboolean Dispatch(GSource* base, GSourceFunc, gpointer) {
    // A quitting loop delivers nothing more; the signal stays raised for whichever loop runs next.
    if (QuitRequested()) return G_SOURCE_CONTINUE;
    // Lowered before the work, so that a Raise during it runs the work again.
    g_source_set_ready_time(base, -1);
    reinterpret_cast<LoopSignal::Source*>(base)->owner->m_dispatch();
    return G_SOURCE_CONTINUE;
  }
  static constexpr GSourceFuncs kFuncs = {nullptr, nullptr, Dispatch, nullptr, nullptr, nullptr};
};

LoopSignal::LoopSignal(std::function<void()> dispatch) : m_dispatch(std::move(dispatch)) {
  GSource* source = g_source_new(const_cast<GSourceFuncs*>(&LoopSignalSource::kFuncs), sizeof(Source));
  m_source = reinterpret_cast<Source*>(source);
  m_source->owner = this;
  g_source_set_name(source, "LoopSignal");
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_attach(source, g_main_context_default());
}

LoopSignal::~LoopSignal() {
  g_source_destroy(&m_source->base);
  g_source_unref(&m_source->base);
}

// g_source_set_ready_time takes the context's lock and wakes the context when needed.
void LoopSignal::Raise() { g_source_set_ready_time(&m_source->base, 0); }

struct LoopTimerSource {
  static gboolean Fire(gpointer data) {
    auto* timer = static_cast<LoopTimer*>(data);
    timer->m_sourceId = 0;
    // Moved out first: the task may start the timer again.
    std::function<void()> task = std::move(timer->m_task);
    task();
    return G_SOURCE_REMOVE;
  }
};

void LoopTimer::Start(unsigned delayMs, std::function<void()> task) {
  Cancel();
  m_task = std::move(task);
  m_sourceId = g_timeout_add(delayMs, LoopTimerSource::Fire, this);
}

void LoopTimer::Cancel() {
  if (m_sourceId != 0) g_source_remove(m_sourceId);
  m_sourceId = 0;
  m_task = nullptr;
}

}  // namespace platform
