// A 256 MiB body from a loopback server: through HttpMgr (file task, events delivered by the GUI
// thread's loop) against the curl command-line tool writing the same body to a file, alternately,
// best of three each. Also the CPU time the GUI thread spends delivering events during our download.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "http/HttpMgr.h"
#include "platform/MainLoop.h"
#include "support/LoopbackHttpServer.h"
#include "support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kBodyBytes = 256u << 20;
constexpr size_t kServePiece = 1u << 20;
constexpr int kRounds = 3;

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double MegabytesPerSecond(double seconds) { return static_cast<double>(kBodyBytes) / 1e6 / seconds; }

struct Outcome {
  bool completed = false;
  int progressEvents = 0;
  void OnEvent(HttpTaskEvent* event) {
    using enum HttpEventType;
    if (event->type == HTTP_EVENT_PROGRESS)
      ++progressEvents;
    else
      completed = event->type == HTTP_EVENT_COMPLETE;
    done = event->type != HTTP_EVENT_PROGRESS;
  }
  bool done = false;
};

// Seconds for one download through the manager; the GUI thread's CPU seconds go to `guiCpu`.
double DownloadWithManager(HttpMgr& manager, const std::string& url, const std::string& path, double& guiCpu) {
  Outcome outcome;
  auto task = std::make_unique<HttpDownloadFileTask>();
  task->url = url;
  task->path = path;
  task->reportProgress = true;
  task->callback = std::make_unique<HttpCallbackT<Outcome>>(&outcome, &Outcome::OnEvent);
  double cpuBefore = ThreadCpuSeconds();
  Clock::time_point start = Clock::now();
  manager.AddTask(std::move(task));
  platform::RunMainLoopUntil([&] { return outcome.done; }, [&] { manager.DispatchEvents(); });
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  guiCpu = ThreadCpuSeconds() - cpuBefore;
  if (!outcome.completed || std::filesystem::file_size(path) != kBodyBytes) {
    std::fprintf(stderr, "http_download: our download failed\n");
    std::exit(1);
  }
  return seconds;
}

double DownloadWithCurl(const std::string& curl, const std::string& url, const std::string& path) {
  Clock::time_point start = Clock::now();
  testing_support::ProcessOptions options;
  options.timeout = std::chrono::milliseconds(120000);
  testing_support::ProcessResult result = testing_support::RunProcess({curl, "-s", "-f", "-o", path, url}, options);
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!result.exited || result.exitStatus != 0 || std::filesystem::file_size(path) != kBodyBytes) {
    std::fprintf(stderr, "http_download: curl failed: %s\n", result.output.c_str());
    std::exit(1);
  }
  return seconds;
}

}  // namespace

int main() {
  std::string curl = testing_support::FindProgram("curl");
  if (curl.empty()) {
    std::fprintf(stderr, "http_download: curl is not on PATH\n");
    return 1;
  }
  std::string body(kBodyBytes, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 131) >> 7);

  testing_support::LoopbackHttpServer server;
  server.server().Get("/body", [&body](const httplib::Request&, httplib::Response& response) {
    response.set_content_provider(body.size(), "application/octet-stream",
                                  [&body](size_t offset, size_t length, httplib::DataSink& sink) {
                                    return sink.write(body.data() + offset, std::min(length, kServePiece));
                                  });
  });
  server.Start();
  testing_support::TempDir dir;
  HttpMgr manager;
  manager.Start(1);

  double ours = 1e9, theirs = 1e9, guiCpu = 0;
  for (int round = 0; round < kRounds; ++round) {
    double cpu = 0;
    double seconds = DownloadWithManager(manager, server.Url("/body"), dir / "ours.bin", cpu);
    if (seconds < ours) {
      ours = seconds;
      guiCpu = cpu;
    }
    std::filesystem::remove(dir / "ours.bin");
    theirs = std::min(theirs, DownloadWithCurl(curl, server.Url("/body"), dir / "curl.bin"));
    std::filesystem::remove(dir / "curl.bin");
  }
  manager.Stop();

  std::printf("http_download %.1f MB/s\n", MegabytesPerSecond(ours));
  std::printf("http_download_curl %.1f MB/s\n", MegabytesPerSecond(theirs));
  std::printf("http_download_ratio %.3f\n", theirs / ours);
  std::printf("http_download_gui_cpu %.1f ms\n", guiCpu * 1000);
  return 0;
}
