// The game window's movie: what passes as a movie, the offline copy's file, and the window
// fetching its movie from a real loopback server, handing the bytes to the (recording) runtime in
// a sealed memory file, keeping them at the first command, playing the kept copy when the server
// fails, and its failure page otherwise.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/FailurePage.h"
#include "flash/CTransparentFlashPlayerControlWnd.h"
#include "flash/MovieSource.h"
#include "platform/Clock.h"
#include "platform/Window.h"
#include "site/SiteVerifier.h"
#include "support/LoopbackHttpServer.h"
#include "support/RecordingRuntime.h"
#include "support/TestGameHost.h"
#include "support/TestLog.h"
#include "support/TestSiteKeys.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using testing_support::QueryValues;
using testing_support::RecordedLoad;
using testing_support::TempDir;

const bool kLogReady = (testing_support::UseTestLog(), true);

testing_support::TestGameHost g_host;

// A small uncompressed movie: "FWS", version 10, its own length, then filler.
std::string Movie(size_t size = 64, char filler = 'm') {
  std::string movie = "FWS";
  movie += '\x0a';
  for (int i = 0; i < 4; ++i) movie += static_cast<char>((size >> (8 * i)) & 0xFF);
  movie.resize(size, filler);
  return movie;
}

TEST(AcceptFetchedMovie, TakesFlashMoviesAndRefusesWhatIsNone) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string contentType;
    bool accepted;
    const char* refusalPart;
  } cases[] = {
      {"plain movie", Movie(), "application/x-shockwave-flash", true, ""},
      {"zlib movie", std::string("CWS\x0a\xff\xff\x00\x00packed", 14), "", true, ""},
      {"LZMA movie", std::string("ZWS\x0d\x10\x00\x00\x00lzma...", 15), "application/octet-stream", true, ""},
      {"a network's sign-in page", "<html><body>Sign in to the Wi-Fi</body></html>", "text/html", false,
       "not a Flash movie (text/html, 46 bytes)"},
      {"nothing", "", "", false, "not a Flash movie (0 bytes)"},
      {"only a signature", "FWS", "", false, "not a Flash movie"},
      {"a plain movie cut short", Movie(64).substr(0, 40), "", false, "cut short (40 of 64 bytes)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string refusal;
    EXPECT_EQ(AcceptFetchedMovie("http://h/m.swf", c.bytes, c.contentType, &refusal), c.accepted);
    if (!c.accepted) {
      EXPECT_NE(refusal.find(c.refusalPart), std::string::npos) << refusal;
    }
  }
}

TEST(OfflineMovieFile, ReadsBackWhatWasWrittenAndNothingElse) {
  const OfflineMovie movie{"http://h/m.swf?server=x", 1796873463, Movie(100) + std::string("\0\n\n", 3)};
  const std::string text = FormatOfflineMovie(movie);
  auto back = ParseOfflineMovie(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->url, movie.url);
  EXPECT_EQ(back->keptAt, movie.keptAt);
  EXPECT_EQ(back->bytes, movie.bytes);

  const std::string damaged[] = {
      text.substr(0, text.size() - 1),            // cut short
      text + "x",                                 // longer than it says
      "X" + text.substr(1),                       // not this store's
      text.substr(0, text.find("kept")),          // header cut
      std::string(),
  };
  for (const std::string& bad : damaged) EXPECT_FALSE(ParseOfflineMovie(bad)) << bad.substr(0, 40);
}

TEST(OfflineMovieStore, KeepsOneCopyPerKeyAndReplacesItWhole) {
  TempDir dir;
  OfflineMovieStore store(dir / "cache/brimtale");
  const std::string game = OfflineMovieKey(1, "http://game/m.swf");
  const std::string demo = OfflineMovieKey(3, "http://game/m.swf");
  EXPECT_NE(game, demo);
  EXPECT_EQ(game, OfflineMovieKey(2, " http://game/m.swf "));  // types 1 and 2 play SwfUrl alike
  EXPECT_FALSE(store.Has(game));
  EXPECT_FALSE(store.Find(game));

  ASSERT_TRUE(store.Keep(game, {"http://game/m.swf", 1, Movie(64, 'a')}));
  ASSERT_TRUE(store.Keep(game, {"http://game/m.swf", 2, Movie(80, 'b')}));
  EXPECT_TRUE(store.Has(game));
  EXPECT_FALSE(store.Has(demo));
  auto kept = store.Find(game);
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->keptAt, 2);
  EXPECT_EQ(kept->bytes, Movie(80, 'b'));
  // Only the copy itself is left in the folder: no staged file beside it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "cache/brimtale"), {}), 1);

  // A file there that this store did not write is no copy.
  for (const auto& entry : std::filesystem::directory_iterator(dir / "cache/brimtale"))
    testing_support::WriteFile(entry.path(), "<html>");
  EXPECT_FALSE(store.Has(game));
  EXPECT_FALSE(store.Find(game));
  // Nowhere to keep: a folder that cannot be made (a file stands in its place), or no folder.
  testing_support::WriteFile(dir / "blocked", "");
  EXPECT_FALSE(OfflineMovieStore(dir / "blocked/brimtale").Keep(game, {"http://game/m.swf", 3, Movie()}));
  EXPECT_FALSE(OfflineMovieStore().Keep(game, {"http://game/m.swf", 3, Movie()}));
}

TEST(FailureNotice, FillsThePageWithoutLettingItsTextOutOfTheDataSlot) {
  const std::string page =
      "<script id=\"failure-data\" type=\"application/json\">@@FAILURE_DATA@@</script><script src=\"failure.js\"></script>";
  const FailureNotice notice{"T", "http://h/?a=1&b=2", "</script><script>alert(1)</script> \"q\"\n", 7, true};
  const std::string filled = FillFailurePage(page, "run();", notice);
  EXPECT_EQ(filled,
            "<script id=\"failure-data\" type=\"application/json\">{\"title\":\"T\",\"address\":\"http://h/?a=1\\u0026b=2\","
            "\"cause\":\"\\u003c/script\\u003e\\u003cscript\\u003ealert(1)\\u003c/script\\u003e \\\"q\\\"\\u000a\","
            "\"retry\":7,\"offline\":true}</script><script>run();</script>");

  const auto values = QueryValues("x?" + FailureNoticeQuery(notice));
  EXPECT_EQ(values.at("title"), notice.title);
  EXPECT_EQ(values.at("address"), notice.address);
  EXPECT_EQ(values.at("cause"), notice.cause);
  EXPECT_EQ(values.at("retry"), "7");
  EXPECT_EQ(values.at("offline"), "1");
  EXPECT_EQ(QueryValues("x?" + FailureNoticeQuery({"T", "", "c"})).count("retry"), 0u);
}

// The window with its movie coming from a loopback server: /movie is a movie, /movie?v=... too
// (the time query), /missing is 404, /portal a sign-in page.
class MovieLoading : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { g_host.http.Start(1); }
  static void TearDownTestSuite() { g_host.http.Stop(); }

  MovieLoading() {
    m_server.server().Get("/movie", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(Movie(200, 's'), "application/x-shockwave-flash");
    });
    m_server.server().Get("/missing", [](const httplib::Request&, httplib::Response& response) {
      response.status = 404;
      response.set_content("not here", "text/plain");
    });
    m_server.server().Get("/portal", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("<html>Sign in first</html>", "text/html");
    });
    m_server.server().set_keep_alive_max_count(1);
    m_server.Start();
    g_host.settings = {};
    g_host.settings.launcherType = 1;
    g_host.settings.offlineKey = "test-key";
    g_host.offlineMovies = OfflineMovieStore(m_dir / "cache");
    g_host.failureQuits = 0;
    m_window = CreateWindowEx(0, WindowClass(), nullptr, WS_POPUP, 0, 0, 10, 10, nullptr);
    m_object = new CTransparentFlashPlayerControlWnd(g_host);
    m_object->SubclassWindow(m_window);
    m_object->m_hFlashWnd = m_window;
  }
  ~MovieLoading() override {
    if (IsWindow(m_window)) DestroyWindow(m_window);
    g_host.offlineMovies = OfflineMovieStore();
  }

  // Loads `path` of the server as the window's movie and delivers events until the runtime has
  // been given something to show.
  RecordedLoad LoadFromServer(const std::string& path) {
    m_runtime.Clear();
    LoadSwf(m_server.Url(path), m_object);
    return NextLoad();
  }
  RecordedLoad NextLoad() {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (m_runtime.Loads().empty() && std::chrono::steady_clock::now() < deadline) {
      g_host.http.DispatchEvents();
      std::this_thread::sleep_for(5ms);
    }
    auto loads = m_runtime.Loads();
    EXPECT_EQ(loads.size(), 1u);
    return loads.empty() ? RecordedLoad{} : loads.front();
  }
  static uint32_t WindowClass() {
    static const uint32_t atom = [] {
      WindowClassInfo info{"MovieLoadingTestClass", nullptr, nullptr, 0};
      return RegisterWindowClass(&info);
    }();
    return atom;
  }
  static bool IsFailurePage(const RecordedLoad& load) { return load.url.rfind(BRIMTALE_FAILURE_PAGE_URL, 0) == 0; }

  TempDir m_dir;
  testing_support::RecordingRuntime m_runtime;
  testing_support::LoopbackHttpServer m_server;
  HWND m_window = nullptr;
  CTransparentFlashPlayerControlWnd* m_object = nullptr;
};

TEST_F(MovieLoading, AFetchedMovieIsHandedOverUnderItsOwnUrlAndKeptAtItsFirstCommand) {
  const RecordedLoad load = LoadFromServer("/movie?v=1");
  EXPECT_EQ(load.window, m_window);
  ASSERT_TRUE(load.handedBytes) << load.url;
  EXPECT_EQ(*load.handedBytes, Movie(200, 's'));
  EXPECT_EQ(load.handedUrl.rfind(m_server.Url("/movie?v=1&"), 0), 0u) << load.handedUrl;
  // Nothing is kept before the movie has shown that it plays.
  EXPECT_FALSE(g_host.offlineMovies.Has("test-key"));
  m_object->DispatchFSCommand("LOG", "first");
  auto kept = g_host.offlineMovies.Find("test-key");
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->url, m_server.Url("/movie?v=1"));  // as configured: without the time query
  EXPECT_EQ(kept->bytes, Movie(200, 's'));
}

TEST_F(MovieLoading, WithoutAnOfflineCopyTheFailurePageNamesTheAddressAndTheCause) {
  struct Case {
    std::string path;
    std::string causePart;
  } cases[] = {
      {"/missing", "HTTP 404"},
      {"/portal", "not a Flash movie (text/html"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const RecordedLoad load = LoadFromServer(c.path);
    ASSERT_TRUE(IsFailurePage(load)) << load.url;
    auto notice = QueryValues(load.url);
    EXPECT_EQ(notice["title"], "The game cannot be loaded");
    EXPECT_EQ(notice["address"].rfind(m_server.Url(c.path) + "?", 0), 0u) << notice["address"];
    EXPECT_NE(notice["cause"].find(c.causePart), std::string::npos) << notice["cause"];
    EXPECT_EQ(notice.count("retry"), 0u);
  }
  // A server that is not there at all (the discard port: nothing listens on loopback).
  m_runtime.Clear();
  LoadSwf("http://127.0.0.1:9/movie.swf", m_object);
  const RecordedLoad load = NextLoad();
  ASSERT_TRUE(IsFailurePage(load)) << load.url;
  EXPECT_NE(QueryValues(load.url)["cause"].find("onnect"), std::string::npos) << load.url;
}

TEST_F(MovieLoading, WhenTheMovieCannotBeFetchedTheKeptCopyPlaysAndIsNotKeptAgain) {
  ASSERT_TRUE(g_host.offlineMovies.Keep("test-key", {m_server.Url("/movie?v=0"), 5, Movie(90, 'k')}));
  size_t mark = testing_support::TestLogMessages().size();
  const RecordedLoad load = LoadFromServer("/missing");
  ASSERT_TRUE(load.handedBytes) << load.url;
  EXPECT_EQ(*load.handedBytes, Movie(90, 'k'));
  // The copy plays under the URL it was kept for, with a fresh time query.
  EXPECT_EQ(load.handedUrl.rfind(m_server.Url("/movie?v=0&"), 0), 0u) << load.handedUrl;
  bool logged = false;
  for (const std::string& line : testing_support::TestLogMessagesSince(mark))
    logged = logged || line.find("playing the offline copy of " + m_server.Url("/movie?v=0")) != std::string::npos;
  EXPECT_TRUE(logged);
  m_object->DispatchFSCommand("LOG", "first");
  EXPECT_EQ(g_host.offlineMovies.Find("test-key")->keptAt, 5);

  // A kept copy that is no movie is refused like a fetched one: the failure page shows.
  ASSERT_TRUE(g_host.offlineMovies.Keep("test-key", {m_server.Url("/movie"), 6, "<html>"}));
  EXPECT_TRUE(IsFailurePage(LoadFromServer("/missing")));
}

TEST_F(MovieLoading, TryAgainFetchesAnewAndQuitEndsTheWindowAsAFailure) {
  g_host.settings.swfUrl = m_server.Url("/missing");
  ASSERT_TRUE(IsFailurePage(LoadFromServer("/missing")));
  g_host.settings.swfUrl = m_server.Url("/movie");
  m_runtime.Clear();
  SendMessage(m_window, WM_COMMAND, IDRETRY, 0);
  const RecordedLoad again = NextLoad();
  ASSERT_TRUE(again.handedBytes) << again.url;

  SendMessage(m_window, WM_COMMAND, IDCANCEL, 0);
  EXPECT_FALSE(IsWindow(m_window));
  EXPECT_EQ(g_host.failureQuits, 1);
  EXPECT_EQ(g_host.lastFailureQuit, GameWindowHost::FailureQuit::kFailed);
}

// With a signed site the movie is checked at the seam, before the player has a byte of it: the
// address as configured (query included) must be listed, and the bytes, fetched now or kept from
// before, must be the listed ones. A refused movie shows the failure page, and quitting there ends
// the run as one whose site could not be verified.
TEST_F(MovieLoading, WithASignedSiteOnlyTheListedMoviePlays) {
  m_server.server().Get("/other", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(Movie(200, 'o'), "application/x-shockwave-flash");
  });
  const std::string listed = Movie(200, 's');
  SiteIndex index;
  index.version = 1;
  index.expires = platform::GetUnixTime() + 86400;
  index.files["movie"] = {listed.size(), Sha256Of(testing_support::Bytes(listed)), {"v=1"}};
  index.files["other"] = index.files["movie"];
  index.files["missing"] = index.files["movie"];
  SiteVerifier site(m_server.Url("/"), FormatSitePublicKey(testing_support::kOldKey.publicKey), "");
  ASSERT_EQ(site.TakeFetchedIndex(testing_support::SignedIndex(FormatSiteIndexPayload(index)), platform::GetUnixTime(), false),
            SiteVerifier::IndexAnswer::kAccepted);
  g_host.signedSite = &site;
  ASSERT_TRUE(g_host.offlineMovies.Keep("test-key", {m_server.Url("/movie?v=1"), 5, Movie(200, 'k')}));

  struct Case {
    const char* path;
    const char* refusal;  // nullptr: handed over
  } cases[] = {
      {"/movie?v=1", nullptr},
      {"/movie?v=2", "the query \"v=2\" is not one the site's index lists for movie"},
      {"/movie", "the query \"\" is not one"},
      {"/other?v=1", "the movie's SHA-256 is not the one the site's index gives"},
      {"/unlisted", "\"unlisted\" is not a file of the site's index"},
      {"/missing?v=1", "HTTP 404"},  // and the kept copy, not the listed movie, is refused
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const RecordedLoad load = LoadFromServer(c.path);
    if (c.refusal == nullptr) {
      ASSERT_TRUE(load.handedBytes) << load.url;
      EXPECT_EQ(*load.handedBytes, listed);
      continue;
    }
    ASSERT_TRUE(IsFailurePage(load)) << load.url;
    auto notice = QueryValues(load.url);
    EXPECT_NE(notice["cause"].find(c.refusal), std::string::npos) << notice["cause"];
  }
  // A movie the player would read itself cannot be checked.
  m_runtime.Clear();
  LoadSwf("file:///srv/movie.swf", m_object);
  ASSERT_EQ(m_runtime.Loads().size(), 1u);
  EXPECT_TRUE(IsFailurePage(m_runtime.Loads()[0])) << m_runtime.Loads()[0].url;
  EXPECT_EQ(QueryValues(m_runtime.Loads()[0].url)["title"], "The game's files could not be verified");

  SendMessage(m_window, WM_COMMAND, IDCANCEL, 0);
  EXPECT_EQ(g_host.failureQuits, 1);
  EXPECT_EQ(g_host.lastFailureQuit, GameWindowHost::FailureQuit::kSiteNotVerified);
  g_host.signedSite = nullptr;
}

TEST_F(MovieLoading, OnlyTheLatestLoadIsHandedOver) {
  m_runtime.Clear();
  LoadSwf(m_server.Url("/missing"), m_object);
  LoadSwf(m_server.Url("/movie"), m_object);
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (m_runtime.Loads().empty() && std::chrono::steady_clock::now() < deadline) {
    g_host.http.DispatchEvents();
    std::this_thread::sleep_for(5ms);
  }
  // One worker answers in order: the first answer came before the second and was not taken.
  auto loads = m_runtime.Loads();
  ASSERT_EQ(loads.size(), 1u);
  EXPECT_TRUE(loads[0].handedBytes);
}

// A window prepared behind the login fetches its movie and hands it over held; what goes wrong
// meanwhile shows nothing, and the window fetches again when it shows, as one made then would.
TEST_F(MovieLoading, APreparedWindowHoldsTheFetchedMovieAndTriesAgainWhenItShows) {
  struct Case {
    std::string path;
    bool playable;
  } cases[] = {{"/movie", true}, {"/missing", false}, {"/portal", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    g_host.settings.swfUrl = m_server.Url(c.path);
    m_runtime.Clear();
    size_t mark = testing_support::TestLogMessages().size();
    m_object->HoldMovieUntilStart();
    EXPECT_EQ(m_runtime.Loads().front().url, BRIMTALE_PREPARE_PLAYER_URL);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    auto logged = [&](const std::string& part) {
      for (const std::string& line : testing_support::TestLogMessagesSince(mark))
        if (line.find(part) != std::string::npos) return true;
      return false;
    };
    while (m_runtime.Loads().size() < 2 && !logged("before the login ends") && std::chrono::steady_clock::now() < deadline) {
      g_host.http.DispatchEvents();
      std::this_thread::sleep_for(5ms);
    }
    EXPECT_FALSE(logged("*Load SwfUrl"));
    auto loads = m_runtime.Loads();
    if (c.playable) {
      ASSERT_EQ(loads.size(), 2u);
      EXPECT_TRUE(loads[1].held);
      ASSERT_TRUE(loads[1].handedBytes);
      EXPECT_EQ(*loads[1].handedBytes, Movie(200, 's'));
    } else {
      EXPECT_EQ(loads.size(), 1u);  // no failure page in a window nobody sees
      EXPECT_TRUE(logged("LoadSwf: " + m_server.Url(c.path) + "?"));
    }

    m_runtime.Clear();
    mark = testing_support::TestLogMessages().size();
    m_object->StartPreparedMovie(MovieStart::kConfigured);
    if (c.playable) {
      ASSERT_EQ(m_runtime.Loads().size(), 1u);
      EXPECT_EQ(m_runtime.Loads()[0].url, BRIMTALE_START_MOVIE_URL);
      EXPECT_EQ(testing_support::TestLogMessagesSince(mark),
                std::vector<std::string>{"*Load SwfUrl: " + loads[1].handedUrl});
    } else {
      const RecordedLoad shown = NextLoad();
      EXPECT_TRUE(IsFailurePage(shown)) << shown.url;
    }
  }
}

// A movie still on its way when the prepared window shows plays as soon as it comes, unless the
// window shows something else: the player chose to play offline, and there is no offline copy.
TEST_F(MovieLoading, AMovieStillOnItsWayWhenThePreparedWindowShows) {
  // Tasks run one after another on the one worker: once the marker's event is delivered, the
  // movie's came before it.
  struct Marker {
    bool delivered = false;
    void OnEvent(HttpTaskEvent*) { delivered = true; }
  };
  g_host.settings.swfUrl = m_server.Url("/movie");
  for (MovieStart start : {MovieStart::kConfigured, MovieStart::kOfflineCopy}) {
    SCOPED_TRACE(start == MovieStart::kConfigured ? "configured" : "offline");
    ASSERT_FALSE(g_host.offlineMovies.Has("test-key"));
    m_object->HoldMovieUntilStart();
    m_runtime.Clear();
    m_object->StartPreparedMovie(start);
    Marker marker;
    auto task = std::make_unique<HttpDownloadStringTask>();
    task->url = m_server.Url("/missing");
    task->callback = std::make_unique<HttpCallbackT<Marker>>(&marker, &Marker::OnEvent);
    g_host.http.AddTask(std::move(task));
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!marker.delivered && std::chrono::steady_clock::now() < deadline) {
      g_host.http.DispatchEvents();
      std::this_thread::sleep_for(5ms);
    }
    const auto loads = m_runtime.Loads();
    ASSERT_EQ(loads.size(), 1u);
    EXPECT_FALSE(loads[0].held);
    if (start == MovieStart::kConfigured)
      EXPECT_TRUE(loads[0].handedBytes);
    else
      EXPECT_TRUE(IsFailurePage(loads[0])) << loads[0].url;
  }
}

TEST_F(MovieLoading, LocalMoviesAreLeftToThePlayer) {
  m_runtime.Clear();
  LoadSwf("file:///srv/movie.swf", m_object);
  auto loads = m_runtime.Loads();
  ASSERT_EQ(loads.size(), 1u);
  EXPECT_EQ(loads[0].url, "file:///srv/movie.swf");
}

}  // namespace
