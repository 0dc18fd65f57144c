// The window layer without a display: classes, windows, the order of messages through an
// attached object and the class procedure, destruction, posted messages and geometry.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/MainLoop.h"
#include "platform/Window.h"

namespace {

struct Seen {
  HWND window;
  UINT message;
  std::string by;
};
std::vector<Seen> g_seen;

LRESULT ClassProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  g_seen.push_back({window, message, "class"});
  if (message == WM_USER + 1) return 42;
  return DefWindowProc(window, message, wParam, lParam);
}

std::vector<const void*> g_createParameters;
void CreateHook(HWND window, void* widget, const void* parameter) {
  EXPECT_EQ(widget, nullptr);  // no display: no widgets
  EXPECT_EQ(GetWindowWidget(window), nullptr);
  g_createParameters.push_back(parameter);
}

uint32_t RecordingClass() {
  static const uint32_t atom = [] {
    WindowClassInfo info{"WindowTestRecording", ClassProcedure, CreateHook, 0};
    return RegisterWindowClass(&info);
  }();
  return atom;
}

class RecordingWnd : public CWnd {
 public:
  explicit RecordingWnd(bool* gone = nullptr) : m_gone(gone) {}
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
    g_seen.push_back({m_hWnd, message, "object"});
    if (message == WM_USER + 2) return 7;  // handled here, never passed on
    return CWnd::WindowProc(message, wParam, lParam);
  }
  void PostNcDestroy() override {
    postNcDestroyWithoutWindow = m_hWnd == nullptr;
    if (m_gone != nullptr) *m_gone = true;
  }
  bool postNcDestroyWithoutWindow = false;

 private:
  bool* m_gone;
};

HWND NewWindow(uint32_t style = WS_POPUP, HWND parent = nullptr, int x = 0, int y = 0) {
  return CreateWindowEx(0, RecordingClass(), "title", style, x, y, 200, 100, parent);
}

std::vector<UINT> MessagesOf(HWND window, const std::string& by) {
  std::vector<UINT> messages;
  for (const Seen& seen : g_seen)
    if (seen.window == window && seen.by == by) messages.push_back(seen.message);
  return messages;
}

TEST(WindowClasses, AtomsAreRegisteredClassAtomsAndANameKeepsItsAtom) {
  WindowClassInfo first{"WindowTestClassA", nullptr, nullptr, 0};
  uint32_t atom = RegisterWindowClass(&first);
  EXPECT_GE(atom, 0xC000u);
  EXPECT_EQ(FindWindowClass("WindowTestClassA"), atom);
  WindowClassInfo again{"WindowTestClassA", ClassProcedure, nullptr, 0};
  EXPECT_EQ(RegisterWindowClass(&again), atom);
  WindowClassInfo other{"WindowTestClassB", nullptr, nullptr, 0};
  EXPECT_NE(RegisterWindowClass(&other), atom);
  WindowClassInfo unnamed{"", nullptr, nullptr, 0};
  EXPECT_EQ(RegisterWindowClass(&unnamed), 0u);
  EXPECT_EQ(RegisterWindowClass(nullptr), 0u);
  EXPECT_EQ(FindWindowClass("WindowTestNoSuchClass"), 0u);
}

TEST(WindowClasses, WindowsOfAnUnknownOrUnregisteredClassAreNotCreated) {
  EXPECT_EQ(CreateWindowEx(0, 0, nullptr, WS_POPUP, 0, 0, 1, 1, nullptr), nullptr);
  EXPECT_EQ(CreateWindowEx(0, 0xFFFF, nullptr, WS_POPUP, 0, 0, 1, 1, nullptr), nullptr);
  WindowClassInfo info{"WindowTestGoing", nullptr, nullptr, 0};
  uint32_t atom = RegisterWindowClass(&info);
  EXPECT_TRUE(UnregisterWindowClass("WindowTestGoing"));
  EXPECT_FALSE(UnregisterWindowClass("WindowTestGoing"));
  EXPECT_EQ(CreateWindowEx(0, atom, nullptr, WS_POPUP, 0, 0, 1, 1, nullptr), nullptr);
  // A child needs a live parent.
  EXPECT_EQ(NewWindow(WS_CHILD, nullptr), nullptr);
}

TEST(WindowMessages, CreationRunsTheHookThenWmCreate) {
  g_seen.clear();
  g_createParameters.clear();
  int parameter = 0;
  HWND window = CreateWindowEx(WS_EX_LAYERED, RecordingClass(), nullptr, WS_POPUP | 0x9, 0, 0, 5, 5, nullptr,
                               &parameter);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(g_createParameters, std::vector<const void*>{&parameter});
  EXPECT_EQ(MessagesOf(window, "class"), std::vector<UINT>{WM_CREATE});
  EXPECT_EQ(GetWindowStyle(window), WS_POPUP | 0x9u);
  EXPECT_EQ(GetWindowExStyle(window), WS_EX_LAYERED);
  DestroyWindow(window);
}

TEST(WindowMessages, TheAttachedObjectSeesEachMessageFirstAndPassesItToTheClass) {
  HWND window = NewWindow();
  RecordingWnd object;
  ASSERT_TRUE(object.SubclassWindow(window));
  EXPECT_FALSE(RecordingWnd().SubclassWindow(window));  // one object per window
  g_seen.clear();
  EXPECT_EQ(SendMessage(window, WM_USER + 1, 0, 0), 42);
  EXPECT_EQ(SendMessage(window, WM_USER + 2, 0, 0), 7);
  ASSERT_EQ(g_seen.size(), 3u);
  EXPECT_EQ(g_seen[0].by, "object");
  EXPECT_EQ(g_seen[1].by, "class");
  EXPECT_EQ(g_seen[2].by, "object");
  DestroyWindow(window);
}

TEST(WindowMessages, DestructionSendsDestroyToParentThenChildrenThenNcDestroyLast) {
  bool gone = false;
  HWND parent = NewWindow();
  HWND child = NewWindow(WS_CHILD, parent, 10, 20);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(GetParent(child), parent);
  auto* object = new RecordingWnd(&gone);
  object->SubclassWindow(parent);
  g_seen.clear();
  EXPECT_TRUE(DestroyWindow(parent));
  ASSERT_EQ(g_seen.size(), 6u);
  // parent WM_DESTROY (object, class), child WM_DESTROY and WM_NCDESTROY, parent WM_NCDESTROY.
  EXPECT_EQ(g_seen[0].window, parent);
  EXPECT_EQ(g_seen[0].message, WM_DESTROY);
  EXPECT_EQ(g_seen[2].window, child);
  EXPECT_EQ(g_seen[2].message, WM_DESTROY);
  EXPECT_EQ(g_seen[3].window, child);
  EXPECT_EQ(g_seen[3].message, WM_NCDESTROY);
  EXPECT_EQ(g_seen[5].window, parent);
  EXPECT_EQ(g_seen[5].message, WM_NCDESTROY);
  EXPECT_TRUE(gone);
  EXPECT_TRUE(object->postNcDestroyWithoutWindow);
  EXPECT_EQ(object->GetSafeHwnd(), nullptr);
  EXPECT_FALSE(IsWindow(parent));
  EXPECT_FALSE(IsWindow(child));
  delete object;
}

TEST(WindowMessages, AGoneWindowFailsEverythingQuietly) {
  HWND window = NewWindow();
  DestroyWindow(window);
  EXPECT_FALSE(DestroyWindow(window));
  EXPECT_EQ(SendMessage(window, WM_USER + 1, 0, 0), 0);
  EXPECT_FALSE(PostMessage(window, WM_USER + 1, 0, 0));
  EXPECT_EQ(GetWindowStyle(window), 0u);
  EXPECT_EQ(GetDC(window), nullptr);
  CWnd detached;
  RECT rect;
  EXPECT_FALSE(detached.GetWindowRect(&rect));
  EXPECT_FALSE(detached.MoveWindow(0, 0, 1, 1));
  EXPECT_FALSE(detached.DestroyWindow());
  EXPECT_EQ(detached.WindowProc(WM_CLOSE, 0, 0), 0);
  detached.SetCapture();
  EXPECT_EQ(CWnd::GetCapture(), nullptr);
}

// Destroys its own window from inside one of its messages, then reads its own state.
class SelfDestroyingWnd : public CWnd {
 public:
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_LBUTTONDOWN) DestroyWindow();
    return CWnd::WindowProc(message, wParam, lParam);
  }
  void PostNcDestroy() override { ended = true; }
  bool ended = false;
};

TEST(WindowMessages, AWindowDestroyedInsideItsOwnMessageEndsCleanly) {
  HWND window = NewWindow();
  SelfDestroyingWnd object;
  object.SubclassWindow(window);
  EXPECT_EQ(SendMessage(window, WM_LBUTTONDOWN, 0, 0), 0);
  EXPECT_TRUE(object.ended);
  EXPECT_FALSE(IsWindow(window));
}

TEST(WindowMessages, CloseDestroysThroughTheDefaultProcedure) {
  HWND window = NewWindow();
  SendMessage(window, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindow(window));
}

// Runs the loop until `done` or two seconds have passed; a ticker keeps the loop from blocking.
bool RunLoopUntil(const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  std::atomic<bool> stop{false};
  std::thread ticker([&] {
    while (!stop) {
      platform::PostToMainLoop([] {});
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  platform::RunMainLoopUntil([&] { return done() || std::chrono::steady_clock::now() > deadline; }, [] {});
  stop = true;
  ticker.join();
  return done();
}

TEST(WindowMessages, PostedMessagesArriveOnTheLoopFromAnyThreadButNotAfterDestruction) {
  HWND window = NewWindow();
  g_seen.clear();
  std::thread poster([&] { EXPECT_TRUE(PostMessage(window, WM_USER + 3, 0, 0)); });
  poster.join();
  EXPECT_TRUE(MessagesOf(window, "class").empty());  // not before the loop runs
  EXPECT_TRUE(RunLoopUntil([&] { return !MessagesOf(window, "class").empty(); }));

  EXPECT_TRUE(PostMessage(window, WM_USER + 4, 0, 0));
  DestroyWindow(window);
  HWND next = NewWindow();  // may reuse the address
  g_seen.clear();
  RunLoopUntil([] { return false; });
  for (const Seen& seen : g_seen) EXPECT_NE(seen.message, WM_USER + 4u);
  DestroyWindow(next);
}

// Whatever the pass that quits still holds (the idle hook, a raised signal) does not run: the
// main window may be gone already.
TEST(MainLoop, NothingRunsAfterQuit) {
  int idleRuns = 0;
  int signalRuns = 0;
  platform::PostToMainLoop([] { platform::QuitMainLoop(); });
  // Made after the task above, so that both are ready in one pass and the task is dispatched first.
  platform::LoopSignal signal([&] { ++signalRuns; });
  signal.Raise();
  platform::RunMainLoop([&] { ++idleRuns; });
  EXPECT_EQ(idleRuns, 0);
  EXPECT_EQ(signalRuns, 0);
  // The signal stays raised for the next loop.
  EXPECT_TRUE(RunLoopUntil([&] { return signalRuns == 1; }));
}

TEST(WindowGeometry, WithoutADisplayWindowsKeepTheGeometryTheyAreGiven) {
  HWND parent = NewWindow(WS_POPUP, nullptr, 30, 40);
  HWND child = NewWindow(WS_CHILD, parent, 5, 6);
  CWnd top, inner;
  top.SubclassWindow(parent);
  inner.SubclassWindow(child);
  RECT rect;
  ASSERT_TRUE(top.GetWindowRect(&rect));
  EXPECT_EQ(rect.left, 30);
  EXPECT_EQ(rect.top, 40);
  EXPECT_EQ(rect.right, 230);
  EXPECT_EQ(rect.bottom, 140);
  ASSERT_TRUE(inner.GetWindowRect(&rect));  // screen coordinates: the parent's corner plus the offset
  EXPECT_EQ(rect.left, 35);
  EXPECT_EQ(rect.top, 46);
  EXPECT_TRUE(top.MoveWindow(-50, 70, 300, 200));
  ASSERT_TRUE(inner.GetWindowRect(&rect));
  EXPECT_EQ(rect.left, -45);
  EXPECT_EQ(rect.top, 76);
  // Except a side longer than any window can have.
  EXPECT_TRUE(top.MoveWindow(0, 0, 100000, 40000));
  ASSERT_TRUE(top.GetWindowRect(&rect));
  EXPECT_EQ(rect.right, 32767);
  EXPECT_EQ(rect.bottom, 32767);
  top.SetWindowText("Größe & <Zeichen>");
  EXPECT_EQ(top.GetWindowText(), "Größe & <Zeichen>");
  EXPECT_FALSE(top.IsWindowVisible());
  EXPECT_FALSE(top.ShowWindow(SW_SHOW));
  EXPECT_TRUE(top.IsWindowVisible());
  EXPECT_TRUE(top.ShowWindow(SW_MINIMIZE));
  EXPECT_TRUE(top.IsIconic());
  top.ShowWindow(SW_RESTORE);
  EXPECT_FALSE(top.IsIconic());
  top.DestroyWindow();
}

}  // namespace
