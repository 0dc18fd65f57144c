// The launcher with its player control, playing the test movie under an X server.
// bench-name: first_command
//   Seconds from the launcher's start to the movie's first command in the log (process start,
//   runtime mapping, window, web view, player control, movie). No peer: a figure of its own.
// bench-name: bridge_roundtrip
//   Round trips per second of GET_VERSION: the movie sends the command, the launcher answers
//   through COMPLETE_EVENT, the movie sends the next on the answer; 1,000 in a row, timed by the
//   movie. No peer.
// Without a DISPLAY the benchmark runs itself again under xvfb-run.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::ChildProcess;
using testing_support::LauncherSandbox;
using testing_support::PercentEncode;

const std::string kMovie = std::string(BRIMTALE_BINARY_DIR) + "/movies/TestMovie.swf";

// Runs the launcher on the test movie with `script` until a log message starts with `awaited`;
// returns that message and the seconds it took, or an empty message after two minutes.
std::pair<std::string, double> RunUntil(const std::string& script, const std::string& awaited) {
  LauncherSandbox sandbox;
  std::filesystem::copy_file(kMovie, sandbox.dir() / "TestMovie.swf");
  sandbox.WriteConfig(R"({"LauncherType": 1, "LauncherCaption": "Benchmark", "SwfUrl": "file://)" +
                      sandbox.dir() / "TestMovie.swf" + "?script=" + PercentEncode(script) + R"("})");
  auto options = sandbox.Options();
  options.timeout = std::chrono::seconds(150);
  std::string executable = sandbox.Executable();
  auto start = Clock::now();
  ChildProcess launcher({executable, "ID=bench"}, options);
  std::string found;
  while (found.empty() && Clock::now() - start < std::chrono::seconds(120) && launcher.IsRunning()) {
    for (const std::string& message : sandbox.LogMessages())
      if (message.rfind(awaited, 0) == 0) found = message;
    if (found.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  kill(launcher.pid(), SIGKILL);
  launcher.Wait();
  return {found, seconds};
}

}  // namespace

int main(int argc, char** argv) {
  const char* display = std::getenv("DISPLAY");
  if ((display == nullptr || display[0] == '\0') && std::getenv("BRIMTALE_BENCH_UNDER_XVFB") == nullptr) {
    setenv("BRIMTALE_BENCH_UNDER_XVFB", "1", 1);
    std::vector<char*> args{const_cast<char*>("xvfb-run"), const_cast<char*>("-a"), const_cast<char*>("-s"),
                            const_cast<char*>("-screen 0 1920x1080x24 -nolisten tcp"), argv[0]};
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execvp("xvfb-run", args.data());
    std::fprintf(stderr, "player: xvfb-run cannot be started\n");
    return 1;
  }
  std::vector<std::string> names(argv + 1, argv + argc);
  if (names.empty()) names = {"first_command", "bridge_roundtrip"};
  for (const std::string& name : names) {
    if (name == "first_command") {
      auto [message, seconds] = RunUntil("LOG|first", "DispatchFSCommand:");
      if (message.empty()) {
        std::fprintf(stderr, "first_command: the movie sent no command\n");
        return 1;
      }
      std::printf("first_command %.3f s\n", seconds);
    } else if (name == "bridge_roundtrip") {
      constexpr int kCount = 1000;
      auto [message, seconds] = RunUntil("*" + std::to_string(kCount) + "|GET_VERSION|", "FlashLog: ROUNDTRIP ");
      int count = 0;
      long milliseconds = 0;
      if (std::sscanf(message.c_str(), "FlashLog: ROUNDTRIP %d %ld", &count, &milliseconds) != 2 || count != kCount) {
        std::fprintf(stderr, "bridge_roundtrip: no result from the movie (%s)\n", message.c_str());
        return 1;
      }
      std::printf("bridge_roundtrip %.1f round_trips/s\n", count * 1000.0 / std::max(1L, milliseconds));
    } else {
      std::fprintf(stderr, "player: unknown benchmark %s\n", name.c_str());
      return 2;
    }
  }
  return 0;
}
