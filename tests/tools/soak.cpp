// A long launcher run that shows whether memory or descriptors leak: the test movie sends 20,000
// bridge commands, then 200 downloads from a loopback server, each after the previous answer. The
// launcher's resident memory and open descriptors (and the resident memory of its child processes,
// the web view's) are printed when the movie starts, after the commands and after the downloads.
// Without a DISPLAY it runs itself again under xvfb-run. Not part of the test suite: scripts/soak.

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/LoopbackHttpServer.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::LauncherSandbox;

const std::string kMovie = std::string(BRIMTALE_BINARY_DIR) + "/movies/TestMovie.swf";
constexpr int kCommands = 20000;
constexpr int kDownloads = 200;

long ResidentKiB(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

int OpenDescriptors(int pid) {
  int count = 0;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error))
    ++count;
  return count;
}

// The resident memory of every process below `pid`.
long DescendantsResidentKiB(int pid) {
  long total = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(text.substr(close + 2));
    char state;
    int parent = 0;
    fields >> state >> parent;
    if (parent == pid) total += ResidentKiB(std::stoi(name)) + DescendantsResidentKiB(std::stoi(name));
  }
  return total;
}

void Report(const char* when, int pid) {
  std::printf("%-16s launcher rss %6ld KiB  descriptors %4d  children rss %7ld KiB\n", when, ResidentKiB(pid),
              OpenDescriptors(pid), DescendantsResidentKiB(pid));
  std::fflush(stdout);
}

bool WaitForLogPrefix(LauncherSandbox& sandbox, ChildProcess& launcher, const std::string& prefix,
                      std::chrono::seconds budget) {
  auto deadline = std::chrono::steady_clock::now() + budget;
  while (std::chrono::steady_clock::now() < deadline && launcher.IsRunning()) {
    for (const std::string& message : sandbox.LogMessages())
      if (message.rfind(prefix, 0) == 0) return true;
    std::this_thread::sleep_for(500ms);
  }
  std::fprintf(stderr, "soak: no log line \"%s\"\n%s\n", prefix.c_str(), launcher.output().c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  testing_support::RunUnderXvfbWithoutDisplay(argc, argv);

  testing_support::LoopbackHttpServer server;
  const std::string body(256 * 1024, 'p');
  server.server().Get("/patch.bin", [&body](const httplib::Request&, httplib::Response& response) {
    response.set_content(body, "application/octet-stream");
  });
  server.Start();

  LauncherSandbox sandbox;
  std::filesystem::copy_file(kMovie, sandbox.dir() / "TestMovie.swf");
  std::string script = "LOG|soak start\n*" + std::to_string(kCommands) + "|GET_VERSION|\n*" +
                       std::to_string(kDownloads) + "|START_DOWNLOAD|" + server.Url("/patch.bin") + "," +
                       sandbox.dir() / "downloads/patch.bin";
  sandbox.WriteConfig(R"({"LauncherType": 1, "LauncherCaption": "Soak", "MoreHttpLog": false, "SwfUrl": "file://)" +
                      sandbox.dir() / "TestMovie.swf" + "?script=" + testing_support::PercentEncode(script) + R"("})");
  auto options = sandbox.Options();
  options.timeout = 3600s;
  ChildProcess launcher({sandbox.Executable(), "ID=soak"}, options);

  auto start = std::chrono::steady_clock::now();
  if (!WaitForLogPrefix(sandbox, launcher, "FlashLog: soak start", testing_support::kMovieStartBudget)) return 1;
  Report("movie started", launcher.pid());
  if (!WaitForLogPrefix(sandbox, launcher, "FlashLog: ROUNDTRIP " + std::to_string(kCommands) + " ", 1800s))
    return 1;
  Report("after commands", launcher.pid());
  if (!WaitForLogPrefix(sandbox, launcher, "FlashLog: ROUNDTRIP " + std::to_string(kDownloads) + " ", 1800s))
    return 1;
  Report("after downloads", launcher.pid());
  std::printf("%d commands and %d downloads in %.1f s; %d requests reached the server\n", kCommands, kDownloads,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), server.requestCount());
  kill(launcher.pid(), SIGTERM);
  launcher.Wait();
  return 0;
}
