// The main window without a display: its creation in both forms, the drag arithmetic, the
// movie's loading rules, WM_SWFURL_READY, and its end. Windows are the window layer's own
// (headless here); the runtime is a recording stand-in.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "flash/CTransparentFlashPlayerControlWnd.h"
#include "flash/FlashRuntime.h"
#include "flash/MovieSource.h"
#include "platform/Clock.h"
#include "platform/Window.h"
#include "support/RecordingRuntime.h"
#include "support/TestGameHost.h"
#include "support/TestLog.h"

namespace {

using testing_support::RecordingRuntime;
using testing_support::TestLogMessagesSince;

const bool kLogReady = (testing_support::UseTestLog(), true);

// What the application would give the game window.
testing_support::TestGameHost g_host;

// What the window class's own procedure saw: the object passes every message on.
std::vector<UINT> g_classMessages;
LRESULT RecordingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  g_classMessages.push_back(message);
  return DefWindowProc(window, message, wParam, lParam);
}

uint32_t TestClass() {
  static const uint32_t atom = [] {
    WindowClassInfo info{"PlayerWindowTestClass", RecordingProcedure, nullptr, 0};
    return RegisterWindowClass(&info);
  }();
  return atom;
}

// The object under test, telling when it is gone.
class ObservedWindow : public CTransparentFlashPlayerControlWnd {
 public:
  explicit ObservedWindow(bool* deleted) : CTransparentFlashPlayerControlWnd(g_host), m_deleted(deleted) {}
  ~ObservedWindow() override { *m_deleted = true; }

 private:
  bool* m_deleted;
};

// A borderless main window at (100, 200), 640 by 480, with its object attached.
struct AttachedWindow {
  AttachedWindow() {
    window = CreateWindowEx(WS_EX_LAYERED, TestClass(), nullptr, WS_POPUP | WS_VISIBLE, 100, 200, 640, 480, nullptr);
    object = new ObservedWindow(&deleted);
    object->SubclassWindow(window);
    object->m_hFlashWnd = window;
  }
  ~AttachedWindow() {
    if (!deleted) DestroyWindow(window);
  }
  RECT Rect() const {
    RECT rect;
    object->GetWindowRect(&rect);
    return rect;
  }
  LRESULT Send(UINT message, int x, int y) { return SendMessage(window, message, 0, MAKELPARAM(x, y)); }

  HWND window = nullptr;
  ObservedWindow* object = nullptr;
  bool deleted = false;
};

void ExpectCorner(const RECT& rect, int left, int top) {
  EXPECT_EQ(rect.left, left);
  EXPECT_EQ(rect.top, top);
  EXPECT_EQ(rect.right - rect.left, 640);
  EXPECT_EQ(rect.bottom - rect.top, 480);
}

TEST(PlayerWindowDrag, WindowFollowsTheCursorByItsDisplacementFromThePress) {
  AttachedWindow main;
  ASSERT_NE(main.window, nullptr);
  main.Send(WM_LBUTTONDOWN, 10, 20);  // the cursor at (110, 220) on the screen
  EXPECT_EQ(main.object->m_nDragCursorX, 110);
  EXPECT_EQ(main.object->m_nDragCursorY, 220);
  EXPECT_EQ(main.object->m_nDragWindowX, 100);
  EXPECT_EQ(main.object->m_nDragWindowY, 200);
  EXPECT_TRUE(main.object->m_bDragging);
  EXPECT_EQ(CWnd::GetCapture(), main.window);

  main.Send(WM_MOUSEMOVE, 15, 27);  // cursor at (115, 227): moved by (5, 7)
  ExpectCorner(main.Rect(), 105, 207);
  // Client points left of and above the window arrive as negative 16-bit values: cursor at
  // (100, 199), i.e. (-10, -21) from the press.
  main.Send(WM_MOUSEMOVE, -5, -8);
  ExpectCorner(main.Rect(), 90, 179);
  main.Send(WM_MOUSEMOVE, 20, 41);  // back where the press was
  ExpectCorner(main.Rect(), 100, 200);

  main.Send(WM_LBUTTONUP, 20, 41);
  EXPECT_FALSE(main.object->m_bDragging);
  EXPECT_EQ(CWnd::GetCapture(), nullptr);
  main.Send(WM_MOUSEMOVE, 300, 300);
  ExpectCorner(main.Rect(), 100, 200);
}

TEST(PlayerWindowDrag, MovesWithoutAPressAndAPressWithoutMovementLeaveTheWindow) {
  AttachedWindow main;
  main.Send(WM_MOUSEMOVE, 50, 60);
  ExpectCorner(main.Rect(), 100, 200);
  main.Send(WM_LBUTTONDOWN, 50, 60);
  main.Send(WM_MOUSEMOVE, 50, 60);
  ExpectCorner(main.Rect(), 100, 200);
  main.Send(WM_LBUTTONUP, 50, 60);
}

TEST(PlayerWindowDrag, CoordinatesAreSigned16BitValuesOfLParam) {
  AttachedWindow main;
  main.Send(WM_LBUTTONDOWN, 0, 0);
  // 0xFFFF is -1, 0x8000 is -32768; bits above the low 32 carry nothing.
  SendMessage(main.window, WM_MOUSEMOVE, 0, static_cast<LPARAM>(0x8000FFFFu));
  ExpectCorner(main.Rect(), 99, 200 - 32768);
  main.Send(WM_LBUTTONUP, 0, 0);
}

TEST(PlayerWindowProcedure, EveryMessageReachesTheClassProcedureAfterTheObject) {
  AttachedWindow main;
  g_classMessages.clear();
  main.Send(WM_LBUTTONDOWN, 1, 1);
  main.Send(WM_MOUSEMOVE, 2, 2);
  main.Send(WM_LBUTTONUP, 2, 2);
  SendMessage(main.window, WM_SWFURL_READY, 0, 0);
  SendMessage(main.window, WM_PAINT, 0, 0);
  EXPECT_EQ(g_classMessages,
            (std::vector<UINT>{WM_LBUTTONDOWN, WM_MOUSEMOVE, WM_LBUTTONUP, WM_SWFURL_READY, WM_PAINT}));
}

TEST(PlayerWindowProcedure, DestroyingTheMainWindowDeletesTheObjectAndEndsTheLoop) {
  AttachedWindow main;
  g_host.mainWindow = main.object;
  EXPECT_TRUE(DestroyWindow(main.window));
  EXPECT_TRUE(main.deleted);
  EXPECT_EQ(g_host.mainWindow, nullptr);
  EXPECT_FALSE(IsWindow(main.window));
}

TEST(PlayerWindowProcedure, CloseMessageDestroysTheWindowThroughTheDefaultProcessing) {
  AttachedWindow main;
  SendMessage(main.window, WM_CLOSE, 0, 0);
  EXPECT_TRUE(main.deleted);
}

// LoadSwf and WM_SWFURL_READY with the recording runtime.
class LoadSwfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_savedType = g_host.settings.launcherType;
    m_savedResolved = g_host.resolvedSwfUrl;
    m_window.m_hFlashWnd = reinterpret_cast<HWND>(uintptr_t{0x5150});
  }
  void TearDown() override {
    g_host.settings.launcherType = m_savedType;
    g_host.resolvedSwfUrl = m_savedResolved;
  }
  // The URL LoadSwf loads `url` from under `type`, as its log line gives it.
  std::string Loaded(const std::string& url, int type) {
    g_host.settings.launcherType = type;
    size_t mark = testing_support::TestLogMessages().size();
    LoadSwf(url, &m_window);
    for (const std::string& line : TestLogMessagesSince(mark))
      if (line.rfind("*Load SwfUrl: ", 0) == 0) return line.substr(14);
    return "<not logged>";
  }

  RecordingRuntime m_runtime;
  CTransparentFlashPlayerControlWnd m_window{g_host};
  int m_savedType = 0;
  std::string m_savedResolved;
};

// The URL a movie is loaded from, by launcher type: local files and type 3 are never changed; the
// rest get the time as a query, after "&" when the URL holds a query already.
TEST(MovieUrlWithTime, AppendsTheTimeAsTheUrlsOwnQueryAllows) {
  constexpr int64_t kTime = 1796873463;
  struct Case {
    const char* url;
    int type;
    const char* loaded;
  } cases[] = {
      {"http://h/m.swf", 1, "http://h/m.swf?1796873463"},
      {"http://h/m.swf", 0, "http://h/m.swf?1796873463"},
      {"  https://h/m.swf?v=2 \r\n", 2, "https://h/m.swf?v=2&1796873463"},
      {"http://h/DemoMovie.swf?server=http%3A%2F%2Fh%3A18879", 1,
       "http://h/DemoMovie.swf?server=http%3A%2F%2Fh%3A18879&1796873463"},
      {"http://h/m.swf?", 1, "http://h/m.swf?&1796873463"},
      {"http://h/m.swf?v=1#top", 1, "http://h/m.swf?v=1&1796873463#top"},
      {"m.swf", 1, "m.swf?1796873463"},
      {"", 1, "?1796873463"},
      {"files:/x.swf", 2, "files:/x.swf?1796873463"},
      {"file:///srv/movie.swf", 1, "file:///srv/movie.swf"},
      {"  \tFiLe:/srv/m.swf?x=1 ", 2, "  \tFiLe:/srv/m.swf?x=1 "},
      {"\nFILE:relative.swf", 0, "\nFILE:relative.swf"},
      {" http://h/m.swf?v=1 ", 3, " http://h/m.swf?v=1 "},
      {"http://h/m.swf", 3, "http://h/m.swf"},
  };
  for (const Case& c : cases) EXPECT_EQ(MovieUrlWithTime(c.url, c.type, kTime), c.loaded) << c.url << " type " << c.type;
}

TEST_F(LoadSwfTest, LoadsTheUrlWithTheCurrentTime) {
  int64_t before = platform::GetUnixTime();
  std::string loaded = Loaded("https://h/m.swf?v=2", 1);
  int64_t after = platform::GetUnixTime();
  std::smatch match;
  ASSERT_TRUE(std::regex_match(loaded, match, std::regex(R"(https://h/m\.swf\?v=2&([0-9]+))"))) << loaded;
  EXPECT_GE(std::stoll(match[1]), before);
  EXPECT_LE(std::stoll(match[1]), after);
}

TEST_F(LoadSwfTest, TheLoadedUrlIsLogged) {
  size_t mark = testing_support::TestLogMessages().size();
  std::string loaded = Loaded("http://h/%d%s.swf", 3);
  EXPECT_EQ(TestLogMessagesSince(mark), (std::vector<std::string>{"*Load SwfUrl: http://h/%d%s.swf"}));
}

TEST_F(LoadSwfTest, SwfUrlReadyLoadsTheResolvedUrlEachTimeAndNothingWhenItIsEmpty) {
  HWND window = CreateWindowEx(0, TestClass(), nullptr, WS_POPUP, 0, 0, 10, 10, nullptr);
  bool deleted = false;
  auto* object = new ObservedWindow(&deleted);
  object->SubclassWindow(window);
  object->m_hFlashWnd = window;
  g_host.settings.launcherType = 3;

  g_host.resolvedSwfUrl = "";
  SendMessage(window, WM_SWFURL_READY, 0, 0);
  EXPECT_TRUE(m_runtime.Loads().empty());

  // A local movie: the player loads it (a movie from a server is fetched first, MovieLoadingTest).
  g_host.resolvedSwfUrl = " file:///srv/resolved.swf";
  SendMessage(window, WM_SWFURL_READY, 0, 0);
  SendMessage(window, WM_SWFURL_READY, 0, 0);
  auto loads = m_runtime.Loads();
  ASSERT_EQ(loads.size(), 2u);
  EXPECT_EQ(loads[0].url, " file:///srv/resolved.swf");
  EXPECT_EQ(loads[1].window, window);
  DestroyWindow(window);
  EXPECT_TRUE(deleted);
}

// A runtime that hands out a player class of the window layer and records what the main window
// asks of it.
struct PlayerRuntimeRecord {
  uint32_t playerAtom = 0;
  std::vector<std::pair<HWND, UINT>> forwarded;  // FPC_CallWndProc
  std::vector<HWND> painted;
  std::vector<std::pair<HWND, BOOL>> menus;
  std::vector<std::pair<HWND, void*>> listeners;
  std::vector<std::pair<HWND, std::string>> loads;
};
PlayerRuntimeRecord g_record;

uint32_t FakeGetClassAtom(HFPC hFPC) { return hFPC == 7 ? g_record.playerAtom : 0; }
BOOL FakeCallWndProc(HWND window, UINT message, WPARAM, LPARAM, LRESULT*, BOOL*) {
  g_record.forwarded.emplace_back(window, message);
  return 1;
}
void FakePaintTo(HWND window, HDC) { g_record.painted.push_back(window); }
HRESULT FakePutStandardMenu(HWND window, BOOL enable) {
  g_record.menus.emplace_back(window, enable);
  return 0;
}
void FakeSetEventListener(HWND window, PFLASHPLAYERCONTROLEVENTLISTENER, void* context) {
  g_record.listeners.emplace_back(window, context);
}
HRESULT FakeLoadMovie(HWND window, int, const char* url) {
  g_record.loads.emplace_back(window, url);
  return 0;
}
void* ResolveFake(const char* name) {
  std::string_view n(name);
  if (n == "FPC_GetClassAtomA") return reinterpret_cast<void*>(&FakeGetClassAtom);
  if (n == "FPC_CallWndProc") return reinterpret_cast<void*>(&FakeCallWndProc);
  if (n == "FPC_PaintTo") return reinterpret_cast<void*>(&FakePaintTo);
  if (n == "FPC_PutStandardMenu") return reinterpret_cast<void*>(&FakePutStandardMenu);
  if (n == "FPCSetEventListener") return reinterpret_cast<void*>(&FakeSetEventListener);
  if (n == "FPC_LoadMovieA") return reinterpret_cast<void*>(&FakeLoadMovie);
  return nullptr;
}

class CreatePlayerWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_record = {};
    WindowClassInfo player{"FakePlayerClass", nullptr, nullptr, 0};
    g_record.playerAtom = RegisterWindowClass(&player);
    flash::SetRuntimeExportResolver(&ResolveFake);
    m_saved = g_host.settings;
    g_host.runtime = 7;
    g_host.settings.launcherType = 1;
    g_host.settings.caption = "Caption Ü";
    g_host.settings.swfUrl = "file:///m.swf";
    g_host.settings.width = 320;
    g_host.settings.height = 240;
  }
  void TearDown() override {
    if (g_host.mainWindow != nullptr) g_host.mainWindow->DestroyWindow();
    flash::SetRuntimeExportResolver(nullptr);
    g_host.settings = m_saved;
    g_host.runtime = 0;
  }
  GameWindowSettings m_saved;
};

TEST_F(CreatePlayerWindowTest, BorderlessFormIsOneLayeredPlayerWindow) {
  size_t mark = testing_support::TestLogMessages().size();
  auto* object = static_cast<CTransparentFlashPlayerControlWnd*>(CreateFlashPlayerWindow(g_host));
  ASSERT_NE(object, nullptr);
  g_host.mainWindow = object;
  HWND window = object->GetSafeHwnd();
  EXPECT_EQ(object->m_hFlashWnd, window);
  EXPECT_EQ(GetWindowExStyle(window), WS_EX_LAYERED);
  EXPECT_EQ(GetWindowStyle(window), WS_POPUP | WS_VISIBLE);
  EXPECT_EQ(object->GetWindowText(), "Caption Ü");
  RECT rect;
  ASSERT_TRUE(object->GetWindowRect(&rect));
  EXPECT_EQ(rect.right - rect.left, 320);
  EXPECT_EQ(rect.bottom - rect.top, 240);
  EXPECT_EQ(g_record.menus, (std::vector<std::pair<HWND, BOOL>>{{window, 0}}));
  EXPECT_EQ(g_record.listeners, (std::vector<std::pair<HWND, void*>>{{window, object}}));
  EXPECT_EQ(g_record.loads, (std::vector<std::pair<HWND, std::string>>{{window, "file:///m.swf"}}));

  auto messages = TestLogMessagesSince(mark);
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_TRUE(std::regex_match(messages[0], std::regex("Before CreateWindowEx: [0-9]+")));
  EXPECT_TRUE(std::regex_match(messages[1], std::regex("After CreateWindowEx: [0-9]+")));
  EXPECT_EQ(messages[2], "*Load SwfUrl: file:///m.swf");

  // In this form no message is forwarded: the window is the player.
  SendMessage(window, WM_LBUTTONDOWN, 0, 0);
  SendMessage(window, WM_LBUTTONUP, 0, 0);
  EXPECT_TRUE(g_record.forwarded.empty());
}

TEST_F(CreatePlayerWindowTest, BorderedFormHasTheHiddenPlayerAsChildAndForwardsEveryMessage) {
  g_host.settings.showBorder = true;
  size_t mark = testing_support::TestLogMessages().size();
  auto* object = static_cast<CTransparentFlashPlayerControlWnd*>(CreateFlashPlayerWindow(g_host));
  ASSERT_NE(object, nullptr);
  g_host.mainWindow = object;
  HWND window = object->GetSafeHwnd();
  HWND player = object->m_hFlashWnd;
  ASSERT_NE(player, window);
  EXPECT_EQ(GetParent(player), window);
  EXPECT_EQ(GetWindowStyle(player), WS_CHILD | 0x0009u);
  EXPECT_EQ(GetWindowStyle(window), WS_POPUP | WS_VISIBLE | WS_THICKFRAME);
  EXPECT_EQ(GetWindowExStyle(window), 0u);
  EXPECT_EQ(FindWindowClass("MainWClass") != 0, true);
  EXPECT_EQ(g_record.menus, (std::vector<std::pair<HWND, BOOL>>{{player, 0}}));
  EXPECT_EQ(g_record.listeners, (std::vector<std::pair<HWND, void*>>{{player, object}}));
  EXPECT_EQ(TestLogMessagesSince(mark), (std::vector<std::string>{"*Load SwfUrl: file:///m.swf"}));

  g_record.forwarded.clear();
  SendMessage(window, WM_LBUTTONDOWN, 0, MAKELPARAM(3, 4));
  SendMessage(window, WM_PAINT, 0, 0);
  SendMessage(window, WM_USER + 5, 0, 0);
  EXPECT_EQ(g_record.forwarded,
            (std::vector<std::pair<HWND, UINT>>{{player, WM_LBUTTONDOWN}, {player, WM_PAINT}, {player, WM_USER + 5}}));
  EXPECT_EQ(g_record.painted, std::vector<HWND>{player});
  SendMessage(window, WM_LBUTTONUP, 0, 0);

  // Closing the main window takes the player with it.
  object->DestroyWindow();
  EXPECT_FALSE(IsWindow(player));
  EXPECT_EQ(g_host.mainWindow, nullptr);
}

// A window made ready behind the login is hidden and nameless, logs nothing, and has its player
// prepare itself and hold the movie; shown, it logs what a window made then would, in the same
// order, and starts the held movie.
TEST_F(CreatePlayerWindowTest, APreparedWindowHidesUntilShownAndHoldsItsMovieTillThen) {
  g_host.settings.launcherType = 2;
  for (bool border : {false, true}) {
    SCOPED_TRACE(border);
    g_host.settings.showBorder = border;
    g_record.loads.clear();
    size_t mark = testing_support::TestLogMessages().size();
    CTransparentFlashPlayerControlWnd* object = PrepareFlashPlayerWindow(g_host);
    ASSERT_NE(object, nullptr);
    g_host.mainWindow = object;
    HWND player = object->m_hFlashWnd;
    EXPECT_EQ(GetWindowStyle(object->GetSafeHwnd()) & WS_VISIBLE, 0u);
    EXPECT_FALSE(object->IsWindowVisible());
    // A second copy of the launcher must find the login dialog by the caption, not this window.
    EXPECT_EQ(object->GetWindowText(), "");
    EXPECT_TRUE(TestLogMessagesSince(mark).empty());
    EXPECT_EQ(g_record.listeners.back(), (std::pair<HWND, void*>{player, object}));
    EXPECT_EQ(g_record.loads, (std::vector<std::pair<HWND, std::string>>{
                                  {player, BRIMTALE_PREPARE_PLAYER_URL},
                                  {player, BRIMTALE_HELD_MOVIE_URL "file:///m.swf"}}));

    EXPECT_EQ(ShowPreparedFlashPlayerWindow(object), object);
    EXPECT_TRUE(object->IsWindowVisible());
    EXPECT_EQ(object->GetWindowText(), "Caption Ü");
    EXPECT_EQ(g_record.loads.back(), (std::pair<HWND, std::string>{player, BRIMTALE_START_MOVIE_URL}));
    EXPECT_EQ(g_record.loads.size(), 3u);
    auto messages = TestLogMessagesSince(mark);
    ASSERT_EQ(messages.size(), border ? 1u : 3u);
    if (!border) {
      EXPECT_TRUE(std::regex_match(messages[0], std::regex("Before CreateWindowEx: [0-9]+")));
      EXPECT_TRUE(std::regex_match(messages[1], std::regex("After CreateWindowEx: [0-9]+")));
    }
    EXPECT_EQ(messages.back(), "*Load SwfUrl: file:///m.swf");
    object->DestroyWindow();
  }
}

// Launcher type 3 learns its movie's URL during the login: the prepared window holds that movie,
// and starts it when the URL is still the one to play; else it loads the one to play at the show.
TEST_F(CreatePlayerWindowTest, APreparedWindowOfType3HoldsTheMovieOfTheUrlThatCame) {
  g_host.settings.launcherType = 3;
  struct Case {
    const char* arrived;  // during the login; empty: none came
    const char* atShow;   // ResolvedSwfUrl when the window shows
    std::vector<std::string> loadsAtShow;
  } cases[] = {
      {"file:///a.swf", " file:///a.swf", {BRIMTALE_START_MOVIE_URL}},
      {"file:///a.swf", "file:///b.swf", {"file:///b.swf"}},
      {"", "file:///b.swf", {"file:///b.swf"}},
      {"", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.arrived) + " then " + c.atShow);
    g_record.loads.clear();
    g_host.resolvedSwfUrl = "";
    g_host.swfUrlRequests = 0;
    CTransparentFlashPlayerControlWnd* object = PrepareFlashPlayerWindow(g_host);
    ASSERT_NE(object, nullptr);
    g_host.mainWindow = object;
    size_t mark = testing_support::TestLogMessages().size();
    if (c.arrived[0] != '\0') {
      g_host.resolvedSwfUrl = c.arrived;
      SendMessage(object->GetSafeHwnd(), WM_SWFURL_READY, 0, 0);
      EXPECT_EQ(g_record.loads.back().second, std::string(BRIMTALE_HELD_MOVIE_URL) + c.arrived);
      EXPECT_TRUE(TestLogMessagesSince(mark).empty());
    }
    const size_t before = g_record.loads.size();
    g_host.resolvedSwfUrl = c.atShow;
    ShowPreparedFlashPlayerWindow(object);
    std::vector<std::string> loads;
    for (size_t i = before; i < g_record.loads.size(); ++i) loads.push_back(g_record.loads[i].second);
    EXPECT_EQ(loads, c.loadsAtShow);
    // Without a URL the window asks for it, as a window made now would.
    EXPECT_EQ(g_host.swfUrlRequests, c.atShow[0] == '\0' ? 1 : 0);
    object->DestroyWindow();
  }
  g_host.resolvedSwfUrl = "";
}

TEST_F(CreatePlayerWindowTest, WithoutAPlayerClassNoWindowIsLeftBehind) {
  g_host.runtime = 0;  // the runtime hands out no class
  for (bool border : {false, true}) {
    g_host.settings.showBorder = border;
    size_t mark = testing_support::TestLogMessages().size();
    EXPECT_EQ(CreateFlashPlayerWindow(g_host), nullptr);
    EXPECT_EQ(PrepareFlashPlayerWindow(g_host), nullptr);
    auto messages = TestLogMessagesSince(mark);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "CreateFlashPlayerWindow: the player window cannot be created");
    EXPECT_TRUE(g_record.loads.empty());
  }
}

}  // namespace
