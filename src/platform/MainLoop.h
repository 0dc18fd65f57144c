#pragma once
// The GUI thread's message loop (the GLib main loop) and the idle hook.

#include <functional>

namespace platform {

// Opens the display for windows (GDK on its X11 backend). Returns false when no display can be
// opened; the loop itself still runs then, without windows. GUI thread, once.
bool InitGui();
bool IsGuiAvailable();

// Runs the loop on the calling (GUI) thread until QuitMainLoop. After each pass in which the loop
// has drained its pending events, `idle` runs once (the application's OnIdle); never after
// QuitMainLoop.
void RunMainLoop(const std::function<void()>& idle);

// Runs the loop until `done` returns true (checked after each pass), calling `idle` as above.
// For modal dialogs; may nest inside RunMainLoop.
void RunMainLoopUntil(const std::function<bool()>& done, const std::function<void()>& idle);

// Makes the innermost RunMainLoop return after the current pass. GUI thread.
void QuitMainLoop();

// Wakes the loop so that its idle hook runs soon, even when no window event arrives.
// Callable from any thread.
void WakeMainLoop();

// Runs `task` on the GUI thread at the loop's next pass. Callable from any thread.
void PostToMainLoop(std::function<void()> task);

// Runs a task once on the GUI thread after a delay, unless cancelled or destroyed before. GUI thread.
class LoopTimer {
 public:
  LoopTimer() = default;
  ~LoopTimer() { Cancel(); }
  LoopTimer(const LoopTimer&) = delete;
  LoopTimer& operator=(const LoopTimer&) = delete;

  // Replaces a pending task.
  void Start(unsigned delayMs, std::function<void()> task);
  void Cancel();
  bool IsPending() const { return m_sourceId != 0; }

 private:
  friend struct LoopTimerSource;
  std::function<void()> m_task;
  unsigned m_sourceId = 0;
};

// A signal that any thread can raise to have `dispatch` run on the GUI thread at the loop's next
// pass, in the outermost loop or a nested one alike. Unlike the idle hook it does not wait for
// the loop to drain: a window or web view that keeps the loop busy cannot hold it back. Raising
// it again before it ran runs `dispatch` once; `dispatch` is never re-entered, and does not run
// once QuitMainLoop was called for the running loop. Constructed and destroyed on the GUI thread.
class LoopSignal {
 public:
  explicit LoopSignal(std::function<void()> dispatch);
  ~LoopSignal();
  LoopSignal(const LoopSignal&) = delete;
  LoopSignal& operator=(const LoopSignal&) = delete;

  // Any thread.
  void Raise();

 private:
  struct Source;
  friend struct LoopSignalSource;
  std::function<void()> m_dispatch;
  Source* m_source;
};

}  // namespace platform
