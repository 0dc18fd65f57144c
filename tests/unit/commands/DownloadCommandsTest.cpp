// START_DOWNLOAD through the bridge, with the real HTTP manager fetching from a loopback server
// and its events delivered as the GUI thread's idle hook delivers them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "flash/CTransparentFlashPlayerControlWnd.h"
#include "http/HttpTask.h"
#include "support/LoopbackHttpServer.h"
#include "support/RecordingRuntime.h"
#include "support/TestGameHost.h"
#include "support/TestLog.h"
#include "support/TestSupport.h"

namespace {

// What the application would give the game window.
testing_support::TestGameHost g_host;

using namespace std::chrono_literals;
using testing::ElementsAre;
using testing::IsEmpty;
using testing_support::TempDir;

const std::string& g_log = testing_support::UseTestLog();

// One call into the movie, in the order the movie received them.
struct MovieCall {
  std::string function;
  std::string value;
};

// "current,total" of an UPDATE_PROGRESS value.
std::pair<long, long> Progress(const std::string& value) {
  size_t comma = value.find(',');
  return {std::stol(value.substr(0, comma)), std::stol(value.substr(comma + 1))};
}

class DownloadCommands : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { g_host.http.Start(1); }
  static void TearDownTestSuite() { g_host.http.Stop(); }

  DownloadCommands() {
    auto& server = m_server.server();
    server.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
      {
        std::lock_guard<std::mutex> hold(m_targetsLock);
        m_targets.push_back(request.target);
      }
      Serve(request, response);
    });
    // One request per connection: the worker's cached connection would otherwise hold the
    // server's shutdown for its keep-alive time.
    server.set_keep_alive_max_count(1);
    m_server.Start();
    g_host.settings.moreHttpLog = false;
  }
  ~DownloadCommands() override { g_host.settings.moreHttpLog = false; }

  // /size/N: N bytes with their length, in eight slow pieces; /stream/N: the same without a
  // length (chunked); /missing: 404; anything else: its own target as the body.
  void Serve(const httplib::Request& request, httplib::Response& response) {
    std::string path = request.path;
    if (path == "/missing") {
      response.status = 404;
      response.set_content("not here", "text/plain");
    } else if (path.rfind("/size/", 0) == 0 || path.rfind("/stream/", 0) == 0) {
      bool withLength = path.rfind("/size/", 0) == 0;
      size_t size = std::stoul(path.substr(path.rfind('/') + 1));
      auto body = std::make_shared<std::string>(Body(size));
      size_t piece = size / 8 + 1;
      auto provide = [this, body, piece](size_t offset, httplib::DataSink& sink) {
        if (m_server.stopping()) return false;
        std::this_thread::sleep_for(30ms);
        size_t length = std::min(piece, body->size() - offset);
        sink.write(body->data() + offset, length);
        return true;
      };
      if (withLength) {
        response.set_content_provider(size, "application/octet-stream",
                                      [provide](size_t offset, size_t, httplib::DataSink& sink) {
                                        return provide(offset, sink);
                                      });
      } else {
        auto sent = std::make_shared<size_t>(0);
        response.set_chunked_content_provider("application/octet-stream",
                                              [body, piece, sent, provide](size_t, httplib::DataSink& sink) {
                                                if (*sent >= body->size()) {
                                                  sink.done();
                                                  return true;
                                                }
                                                size_t length = std::min(piece, body->size() - *sent);
                                                if (!provide(*sent, sink)) return false;
                                                *sent += length;
                                                return true;
                                              });
      }
    } else {
      response.set_content(request.target, "text/plain");
    }
  }

  static std::string Body(size_t size) {
    std::string body(size, '\0');
    for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>('a' + i % 23);
    return body;
  }

  void StartDownload(const std::string& url, const std::string& path) {
    m_window.DispatchFSCommand("START_DOWNLOAD", (url + "," + path).c_str());
  }

  // Delivers events as the idle hook does until `finals` final answers have arrived.
  void DeliverUntilFinalAnswers(size_t finals) {
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (FinalAnswers().size() < finals && std::chrono::steady_clock::now() < deadline) {
      g_host.http.DispatchEvents();
      std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(FinalAnswers().size(), finals);
  }

  std::vector<MovieCall> MovieCalls() const {
    std::vector<MovieCall> calls;
    for (const auto& call : m_runtime.Calls()) {
      EXPECT_TRUE(call.parsed.has_value()) << call.request;
      if (call.parsed && call.parsed->arguments.size() == 1)
        calls.push_back({call.parsed->name, call.parsed->arguments[0]});
    }
    return calls;
  }
  std::vector<std::string> FinalAnswers() const {
    std::vector<std::string> finals;
    for (const auto& value : m_runtime.ArgumentsOf("COMPLETE_EVENT"))
      if (value.rfind("LOADER_", 0) == 0) finals.push_back(value);
    return finals;
  }
  std::vector<std::string> ProgressValues() const { return m_runtime.ArgumentsOf("UPDATE_PROGRESS"); }
  std::vector<std::string> Targets() {
    std::lock_guard<std::mutex> hold(m_targetsLock);
    return m_targets;
  }

  TempDir m_dir;
  testing_support::RecordingRuntime m_runtime;
  CTransparentFlashPlayerControlWnd m_window{g_host};
  testing_support::LoopbackHttpServer m_server;
  std::mutex m_targetsLock;
  std::vector<std::string> m_targets;
};

TEST_F(DownloadCommands, BlanksInTheUrlAreFetchedAsPlusAndEscapesUnchanged) {
  StartDownload(m_server.Url("/files/a b c.swf"), m_dir / "blank.swf");
  StartDownload(m_server.Url("/files/x%20y.swf"), m_dir / "escaped.swf");
  DeliverUntilFinalAnswers(2);
  EXPECT_THAT(Targets(), ElementsAre("/files/a+b+c.swf", "/files/x%20y.swf"));
  EXPECT_THAT(FinalAnswers(), ElementsAre("LOADER_COMPLETE," + (m_dir / "blank.swf"),
                                          "LOADER_COMPLETE," + (m_dir / "escaped.swf")));
  EXPECT_EQ(testing_support::ReadFile(m_dir / "blank.swf"), "/files/a+b+c.swf");
}

TEST_F(DownloadCommands, NotFoundAnswersFailureThenLogsUrlAndPath) {
  std::string url = m_server.Url("/missing");
  std::string path = m_dir / "sub/missing.bin";
  size_t mark = testing_support::TestLogMessages().size();
  StartDownload(url, path);
  DeliverUntilFinalAnswers(1);
  EXPECT_THAT(FinalAnswers(), ElementsAre("LOADER_FAILTE," + path));
  auto messages = testing_support::TestLogMessagesSince(mark);
  auto found = std::find(messages.begin(), messages.end(), "Http Url: " + url);
  ASSERT_NE(found, messages.end());
  ASSERT_NE(found + 1, messages.end());
  EXPECT_EQ(*(found + 1), "Http Failed: " + path);
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "Http Failed: " + path), 1);
}

TEST_F(DownloadCommands, SuccessLogsUrlThenOkAfterTheAnswer) {
  std::string url = m_server.Url("/plain");
  std::string path = m_dir / "plain.txt";
  size_t mark = testing_support::TestLogMessages().size();
  StartDownload(url, path);
  DeliverUntilFinalAnswers(1);
  auto messages = testing_support::TestLogMessagesSince(mark);
  auto found = std::find(messages.begin(), messages.end(), "Http Url: " + url);
  ASSERT_NE(found, messages.end());
  ASSERT_NE(found + 1, messages.end());
  EXPECT_EQ(*(found + 1), "Http OK: " + path);
  // The final answer is the last call into the movie.
  auto calls = MovieCalls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back().function, "COMPLETE_EVENT");
  EXPECT_EQ(calls.back().value, "LOADER_COMPLETE," + path);
}

TEST_F(DownloadCommands, TwoDownloadsBackToBackAreAnsweredInOrder) {
  constexpr long kFirst = 96000;
  constexpr long kSecond = 64000;
  std::string first = m_dir / "first.bin";
  std::string second = m_dir / "second.bin";
  StartDownload(m_server.Url("/size/96000"), first);
  StartDownload(m_server.Url("/size/64000"), second);
  DeliverUntilFinalAnswers(2);

  auto calls = MovieCalls();
  auto firstEnd = std::find_if(calls.begin(), calls.end(), [&](const MovieCall& call) {
    return call.function == "COMPLETE_EVENT" && call.value == "LOADER_COMPLETE," + first;
  });
  ASSERT_NE(firstEnd, calls.end());
  EXPECT_EQ(calls.back().value, "LOADER_COMPLETE," + second);
  int secondProgress = 0;
  for (auto it = calls.begin(); it != calls.end(); ++it) {
    if (it->function != "UPDATE_PROGRESS") continue;
    auto [current, total] = Progress(it->value);
    if (total == kFirst) {
      EXPECT_LT(it, firstEnd) << it->value;
    }
    if (total == kSecond) {
      EXPECT_GT(it, firstEnd) << it->value;
      ++secondProgress;
    }
    EXPECT_LE(current, total == 0 ? kFirst : total);
  }
  EXPECT_GT(secondProgress, 0);
  EXPECT_EQ(testing_support::ReadFile(first), Body(kFirst));
  EXPECT_EQ(testing_support::ReadFile(second), Body(kSecond));
}

TEST_F(DownloadCommands, WithoutALengthProgressHasTotalZero) {
  std::string path = m_dir / "stream.bin";
  StartDownload(m_server.Url("/stream/40000"), path);
  DeliverUntilFinalAnswers(1);
  auto progress = ProgressValues();
  ASSERT_FALSE(progress.empty());
  long largest = 0;
  for (const auto& value : progress) {
    auto [current, total] = Progress(value);
    EXPECT_EQ(total, 0) << value;
    largest = std::max(largest, current);
  }
  EXPECT_GT(largest, 0);
  EXPECT_THAT(FinalAnswers(), ElementsAre("LOADER_COMPLETE," + path));
  EXPECT_EQ(testing_support::ReadFile(path), Body(40000));
}

TEST_F(DownloadCommands, ProgressIsLoggedOnlyWithMoreHttpLog) {
  for (bool moreHttpLog : {false, true}) {
    g_host.settings.moreHttpLog = moreHttpLog;
    m_runtime.Clear();
    size_t mark = testing_support::TestLogMessages().size();
    StartDownload(m_server.Url("/size/50000"), m_dir / "logged.bin");
    DeliverUntilFinalAnswers(1);

    std::vector<std::string> logged;
    for (const auto& message : testing_support::TestLogMessagesSince(mark))
      if (message.rfind("HttpMgrEvent: ", 0) == 0) logged.push_back(message);
    std::vector<std::string> expected;
    if (moreHttpLog) {
      // One line per progress call, with type, total and current, in the calls' order.
      for (const auto& value : ProgressValues()) {
        auto [current, total] = Progress(value);
        expected.push_back("HttpMgrEvent: 2\t" + std::to_string(total) + "\t" + std::to_string(current));
      }
      ASSERT_FALSE(expected.empty());
    }
    EXPECT_EQ(logged, expected) << "MoreHttpLog " << moreHttpLog;
  }
}

// Counts of 2 GiB and more reach the movie and the log whole, as decimal numbers.
TEST_F(DownloadCommands, ProgressCountsOf2GiBAndMoreAreNotWrapped) {
  struct Case {
    int64_t current;
    int64_t total;
    const char* value;
  };
  const Case cases[] = {
      {int64_t{9} << 20, int64_t{3} << 30, "9437184,3221225472"},
      {int64_t{1} << 31, int64_t{1} << 31, "2147483648,2147483648"},
      {(int64_t{1} << 32) + 5, 0, "4294967301,0"},
  };
  g_host.settings.moreHttpLog = true;
  HttpDownloadFileTask task;
  for (const Case& c : cases) {
    m_runtime.Clear();
    size_t mark = testing_support::TestLogMessages().size();
    HttpTaskEvent event{.type = HttpEventType::HTTP_EVENT_PROGRESS, .total = c.total, .current = c.current, .task = &task};
    m_window.HttpMgrEvent(&event);
    EXPECT_THAT(ProgressValues(), ElementsAre(c.value));
    EXPECT_THAT(testing_support::TestLogMessagesSince(mark),
                testing::Contains("HttpMgrEvent: 2\t" + std::to_string(c.total) + "\t" + std::to_string(c.current)));
  }
}

TEST_F(DownloadCommands, AnyOtherEntryCountFetchesNothing) {
  for (const char* arguments : {"", "http://127.0.0.1:1/a", "http://127.0.0.1:1/a,b,c"}) {
    size_t mark = testing_support::TestLogMessages().size();
    m_window.DispatchFSCommand("START_DOWNLOAD", arguments);
    auto messages = testing_support::TestLogMessagesSince(mark);
    EXPECT_THAT(messages, testing::Contains("START_DOWNLOADF, argc must equal: 2")) << arguments;
  }
  auto deadline = std::chrono::steady_clock::now() + 300ms;
  while (std::chrono::steady_clock::now() < deadline) {
    g_host.http.DispatchEvents();
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_THAT(m_runtime.Calls(), IsEmpty());
  EXPECT_EQ(m_server.requestCount(), 0);
}

}  // namespace
