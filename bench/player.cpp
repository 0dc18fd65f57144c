// The launcher with its player control, playing the test movie under an X server, against the
// bare stack (bench/peer/BarePlayerHost.cpp: a web view, the same Ruffle build and the same movie,
// nothing of the launcher). The two take turns, so a change in the machine's load touches both.
// bench-name: first_command
//   Seconds from process start to the movie's first command: for the launcher its first
//   "DispatchFSCommand" log line (runtime mapping, window, web view, player control, movie); for
//   the bare stack its first fscommand. Ratio: the bare stack's time divided by ours.
// bench-name: bridge_roundtrip
//   Round trips per second of GET_VERSION: the movie sends the command, the host answers through
//   COMPLETE_EVENT, the movie sends the next on the answer; 1,000 in a row, timed by the movie,
//   from the movie's start. Ratio: ours divided by the bare stack's. Then 1,000 more, once both
//   sides are warm (their code compiled, the page's own start-up work done): bridge_roundtrip_warm.
// bench-name: bridge_inpage
//   Our round trips as above, against the bare stack whose page answers each command itself, in
//   a microtask, without leaving the page (bridge_inpage_peer): the ceiling of any road to a
//   host. Ratio: ours divided by it. Warm, as above: bridge_inpage_warm.
// bench-name: patch_check
//   Files per second that the movie checks, each of 2,000 files of 16 KiB with HAVE_THIS_FILE and
//   then CALCULATE_MD5, every command sent on the previous answer and timed by the movie. The peer
//   is md5sum over the same files. Ratio: md5sum's time divided by ours.
// bench-name: login_to_first_command
//   Seconds from the login page handing over its token to the movie's first command, for launcher
//   type 2 whose page signs in 4 s after it has loaded and whose movie comes from a loopback
//   server. The peer is the bare stack's cold start to its first command (first_command_bare):
//   what a game window made only after the login would have to catch up. Ratio: the bare stack's
//   time divided by ours.
// With BRIMTALE_BENCH_BEFORE_LAUNCHER naming another build's launcher (an earlier commit's), its
// figures are also measured, taking turns, as NAME_before.
// Each side plays on an X server of its own (Xvfb), started before any clock.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/LoopbackHttpServer.h"
#include "support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::ChildProcess;
using testing_support::LauncherSandbox;
using testing_support::PercentEncode;

const std::string kMovie = std::string(BRIMTALE_BINARY_DIR) + "/movies/TestMovie.swf";
constexpr int kRounds = 3;
// The round trips take more turns: the in-page peer's first thousand took 41 to 63 ms from run to
// run on the two-core machine (ours 133 to 141), so the best of three put one build's ratio
// anywhere from 0.30 to 0.45.
constexpr int kRoundTripRounds = 8;
// Both sides play in a window of this size (the launcher's default), so both draw the same frames.
constexpr int kWidth = 1280;
constexpr int kHeight = 720;
// Long enough for 4,000 commands at the slowest rate seen (about 50 a second) on a busy machine.
constexpr auto kRunLimit = std::chrono::seconds(300);

// What one run shows: the lines awaited (empty when they did not all come) and the seconds from
// process start to the last of them.
struct Run {
  std::vector<std::string> lines;
  double seconds = 0;
};

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// An X server of one side's own. A server keeps something of the client that played on it first:
// where our launcher had played first, the bare stack's round trips ran at a fifth of their rate
// on a server of their own, also after the server had reset. So no side plays where another has.
class PrivateDisplay {
 public:
  PrivateDisplay() {
    // The cookie is for any display (family "wild"): the number is known only once the server runs.
    const std::string merge = "echo \"ffff 0000  0000  0012 4d49542d4d414749432d434f4f4b49452d31 0010 $(mcookie)\" | "
                              "xauth -q -f '" + m_auth + "' nmerge -";
    if (testing_support::RunProcess({"/bin/sh", "-c", merge}).exitStatus != 0) Fail("xauth and mcookie");
    int pipeFds[2];
    if (pipe(pipeFds) != 0) Fail("a pipe");
    m_pid = fork();
    if (m_pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);  // the server goes with the benchmark, however it ends
      dup2(pipeFds[1], 3);
      int null = open("/dev/null", O_RDWR);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
      execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "1920x1080x24", "-nolisten", "tcp", "-noreset", "-auth",
             m_auth.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(pipeFds[1]);
    // The server writes its number once it accepts connections.
    std::string number;
    char c = 0;
    while (read(pipeFds[0], &c, 1) == 1 && c != '\n') number += c;
    close(pipeFds[0]);
    if (m_pid < 0 || number.empty()) Fail("Xvfb");
    m_display = ":" + number;
  }
  ~PrivateDisplay() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    waitpid(m_pid, nullptr, 0);
  }
  PrivateDisplay(const PrivateDisplay&) = delete;
  PrivateDisplay& operator=(const PrivateDisplay&) = delete;

  void AddTo(testing_support::ProcessOptions& options) const {
    options.environment["DISPLAY"] = m_display;
    options.environment["XAUTHORITY"] = m_auth;
    options.unset.push_back("WAYLAND_DISPLAY");  // GTK would take a desktop's Wayland first
  }

 private:
  [[noreturn]] static void Fail(const char* what) {
    std::fprintf(stderr, "player: cannot start an X server: %s failed (scripts/install-deps installs Xvfb and xauth)\n", what);
    std::exit(1);
  }

  testing_support::TempDir m_dir;
  std::string m_auth = m_dir / "auth";
  pid_t m_pid = -1;
  std::string m_display;
};

enum class Side { kOurs, kBefore, kPeer };

// Each side's server, started at its first run, before that run's clock.
const PrivateDisplay& DisplayOf(Side side) {
  static std::unique_ptr<PrivateDisplay> displays[3];
  std::unique_ptr<PrivateDisplay>& display = displays[static_cast<int>(side)];
  if (!display) display = std::make_unique<PrivateDisplay>();
  return *display;
}

void Stop(ChildProcess& process) {
  kill(process.pid(), SIGKILL);
  process.Wait();
}

// Polling for the awaited lines takes CPU from the runs on a two-core machine: the start-up figure
// needs it fine-grained, the movie-timed figures need only the end.
constexpr auto kFinePoll = std::chrono::milliseconds(2);
constexpr auto kCoarsePoll = std::chrono::milliseconds(200);

// The launcher to compare ours with (BRIMTALE_BENCH_BEFORE_LAUNCHER); empty when none is named.
std::string BeforeLauncher() {
  const char* path = std::getenv("BRIMTALE_BENCH_BEFORE_LAUNCHER");
  return path != nullptr ? path : "";
}

// The messages of the log at `path` that start with `awaited`. Only lines holding the text are
// parsed: parsing the whole log at every poll took a good part of a core from the launcher while
// it started.
std::vector<std::string> LoggedLines(const std::string& path, const std::string& awaited) {
  std::vector<std::string> lines;
  for (const std::string& line : testing_support::SplitLines(testing_support::ReadFile(path))) {
    if (line.find(awaited) == std::string::npos) continue;
    std::string message = testing_support::LogMessage(line);
    if (message.rfind(awaited, 0) == 0) lines.push_back(message);
  }
  return lines;
}

// Runs the launcher (`launcherPath`, ours when empty) on the test movie with `script` until
// `count` log messages start with `awaited`.
Run RunLauncher(const std::string& script, const std::string& awaited, size_t count = 1,
                std::chrono::milliseconds poll = kFinePoll, const std::string& launcherPath = "") {
  LauncherSandbox sandbox;
  if (!launcherPath.empty()) sandbox.UseExecutable(launcherPath);
  std::filesystem::copy_file(kMovie, sandbox.dir() / "TestMovie.swf");
  sandbox.WriteConfig(R"({"LauncherType": 1, "LauncherCaption": "Benchmark", "LauncherSize": {"Width": )" +
                      std::to_string(kWidth) + R"(, "Height": )" + std::to_string(kHeight) + R"(}, "SwfUrl": "file://)" +
                      sandbox.dir() / "TestMovie.swf" + "?script=" + PercentEncode(script) + R"("})");
  auto options = sandbox.Options();
  options.timeout = kRunLimit + std::chrono::seconds(30);
  DisplayOf(launcherPath.empty() ? Side::kOurs : Side::kBefore).AddTo(options);
  // The copy of the executable into the sandbox happens before the clock starts.
  const std::string path = sandbox.Executable();
  auto start = Clock::now();
  ChildProcess launcher({path, "ID=bench"}, options);
  Run run;
  while (run.lines.size() < count && Clock::now() - start < kRunLimit && launcher.IsRunning()) {
    run.lines = LoggedLines(sandbox.LogPath(), awaited);
    if (run.lines.size() < count) std::this_thread::sleep_for(poll);
  }
  run.seconds = SecondsSince(start);
  Stop(launcher);
  if (run.lines.size() < count) run.lines.clear();
  return run;
}

// The renderer the player runtime asks Ruffle for (runtime/Player.cpp): the canvas renderer where
// Mesa would draw WebGL on the CPU, for want of a GPU render node; else Ruffle's default.
std::vector<std::string> RendererArgument() {
  const char* software = std::getenv("LIBGL_ALWAYS_SOFTWARE");
  if (software != nullptr && software[0] != '\0' && std::string(software) != "0") return {"canvas"};
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/dri", error))
    if (entry.path().filename().string().rfind("renderD", 0) == 0) return {};
  return {"canvas"};
}

enum class Answers { kByTheHost, kInThePage };

// The same for the bare stack, whose standard output holds the lines.
Run RunBare(const std::string& script, const std::string& awaited, size_t count = 1,
            std::chrono::milliseconds poll = kFinePoll, Answers answers = Answers::kByTheHost) {
  testing_support::ProcessOptions options;
  options.timeout = kRunLimit + std::chrono::seconds(30);
  // Sound as the launcher sets it up (platform::KeepWebViewSoundOffJack): without it the peer's web
  // process reaches JACK on a machine without sound, and a peer stopped while it opens JACK's
  // shared store leaves it locked for every later run.
  if (std::getenv("GST_PLUGIN_FEATURE_RANK") == nullptr)
    options.environment["GST_PLUGIN_FEATURE_RANK"] = "jackaudiosink:NONE";
  DisplayOf(Side::kPeer).AddTo(options);
  std::vector<std::string> argv{BRIMTALE_BARE_PLAYER_HOST};
  if (answers == Answers::kInThePage) argv.push_back("--in-page");
  for (std::string argument : {std::string(BRIMTALE_RUFFLE_FOLDER), kMovie, script, std::to_string(kWidth),
                               std::to_string(kHeight)})
    argv.push_back(argument);
  for (std::string& renderer : RendererArgument()) argv.push_back(renderer);
  auto start = Clock::now();
  ChildProcess host(argv, options);
  Run run;
  while (run.lines.size() < count && Clock::now() - start < kRunLimit && host.IsRunning()) {
    run.lines.clear();
    for (const std::string& line : testing_support::SplitLines(host.output()))
      if (line.rfind(awaited, 0) == 0) run.lines.push_back(line);
    if (run.lines.size() < count) std::this_thread::sleep_for(poll);
  }
  run.seconds = SecondsSince(start);
  Stop(host);
  if (run.lines.size() < count) run.lines.clear();
  return run;
}

// The milliseconds of the test movie's "ROUNDTRIP N MS" reports in `lines` (after `prefix`),
// summed; -1 when one of them is not for `expected` round trips.
long RoundTripMilliseconds(const std::vector<std::string>& lines, const std::string& prefix, int expected) {
  long total = 0;
  for (const std::string& line : lines) {
    int count = 0;
    long milliseconds = 0;
    if (std::sscanf(line.c_str() + prefix.size(), "ROUNDTRIP %d %ld", &count, &milliseconds) != 2 || count != expected)
      return -1;
    total += std::max(1L, milliseconds);
  }
  return lines.empty() ? -1 : total;
}

void PrintFigure(const std::string& name, double value, const char* unit) {
  std::printf("%s %.3f %s\n", name.c_str(), value, unit);
}

void PrintRatio(const std::string& name, double ratio) { std::printf("%s_ratio %.3f\n", name.c_str(), ratio); }

int FirstCommand() {
  const std::string before = BeforeLauncher();
  double ours = 1e30, bare = 1e30, earlier = 1e30;
  for (int round = 0; round < kRounds; ++round) {
    Run launcher = RunLauncher("LOG|first", "DispatchFSCommand:");
    Run peer = RunBare("LOG|first", "FIRST_COMMAND");
    if (launcher.lines.empty() || peer.lines.empty()) {
      std::fprintf(stderr, "first_command: the movie sent no command (launcher %zu, bare %zu)\n", launcher.lines.size(),
                   peer.lines.size());
      return 1;
    }
    ours = std::min(ours, launcher.seconds);
    bare = std::min(bare, peer.seconds);
    if (before.empty()) continue;
    Run old = RunLauncher("LOG|first", "DispatchFSCommand:", 1, kFinePoll, before);
    if (!old.lines.empty()) earlier = std::min(earlier, old.seconds);
  }
  PrintFigure("first_command", ours, "s");
  PrintFigure("first_command_bare", bare, "s");
  PrintRatio("first_command", bare / ours);
  if (!before.empty()) {
    PrintFigure("first_command_before", earlier, "s");
    PrintRatio("first_command_before", bare / earlier);
  }
  return 0;
}

// Runs the launcher (`executable`, ours when empty) as launcher type 2 whose login page hands over
// its token 4 s after it has loaded; the movie, which sends a command at once, comes from a loopback
// server. Returns the seconds from the token's handing over to the movie's first command, -1 when
// it did not come.
double RunLoginToFirstCommand(const std::string& executable) {
  testing_support::LoopbackHttpServer server;
  const std::string movie = testing_support::ReadFile(kMovie);
  std::atomic<int64_t> tokenAt{0};  // steady clock, nanoseconds
  server.server().Get("/login.html", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(R"(<!doctype html><html><body style="background:#3060a0"><script>
window.external.ResizeAndCenter(400, 300);
setTimeout(function () {
  var request = new XMLHttpRequest();
  request.open('GET', '/token', false);
  request.send();
  window.external.StartGameV2('{"userid": 1}');
}, 4000);
</script></body></html>)",
                         "text/html");
  });
  server.server().Get("/token", [&](const httplib::Request&, httplib::Response& response) {
    tokenAt = Clock::now().time_since_epoch().count();
    response.set_content("", "text/plain");
  });
  server.server().Get("/movie.swf", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(movie, "application/x-shockwave-flash");
  });
  server.server().set_keep_alive_max_count(1);
  server.Start();

  LauncherSandbox sandbox;
  if (!executable.empty()) sandbox.UseExecutable(executable);
  sandbox.WriteConfig(R"({"LauncherType": 2, "LauncherCaption": "Benchmark", "LauncherSize": {"Width": )" +
                      std::to_string(kWidth) + R"(, "Height": )" + std::to_string(kHeight) + R"(}, "LoginUrl": ")" +
                      server.Url("/login.html") + R"(", "SwfUrl": ")" + server.Url("/movie.swf?script=LOG%7Cfirst") +
                      R"("})");
  auto options = sandbox.Options();
  options.timeout = kRunLimit + std::chrono::seconds(30);
  DisplayOf(executable.empty() ? Side::kOurs : Side::kBefore).AddTo(options);
  const auto start = Clock::now();
  ChildProcess launcher({sandbox.Executable()}, options);
  Clock::time_point firstCommandAt{};
  while (Clock::now() - start < kRunLimit && launcher.IsRunning()) {
    if (!LoggedLines(sandbox.LogPath(), "DispatchFSCommand:").empty()) {
      firstCommandAt = Clock::now();
      break;
    }
    // Coarse until the token is handed over, so that polling takes nothing from the start-up.
    std::this_thread::sleep_for(tokenAt.load() == 0 ? kCoarsePoll : kFinePoll);
  }
  Stop(launcher);
  if (firstCommandAt == Clock::time_point{} || tokenAt.load() == 0) return -1;
  return std::chrono::duration<double>(firstCommandAt - Clock::time_point(Clock::duration(tokenAt.load()))).count();
}

int LoginToFirstCommand() {
  const std::string before = BeforeLauncher();
  double ours = 1e30, bare = 1e30, earlier = 1e30;
  for (int round = 0; round < kRounds; ++round) {
    const double launcher = RunLoginToFirstCommand("");
    Run peer = RunBare("LOG|first", "FIRST_COMMAND");
    if (launcher < 0 || peer.lines.empty()) {
      std::fprintf(stderr, "login_to_first_command: the movie sent no command (launcher %.3f, bare %zu)\n", launcher,
                   peer.lines.size());
      return 1;
    }
    ours = std::min(ours, launcher);
    bare = std::min(bare, peer.seconds);
    if (before.empty()) continue;
    const double old = RunLoginToFirstCommand(before);
    if (old >= 0) earlier = std::min(earlier, old);
  }
  PrintFigure("login_to_first_command", ours, "s");
  PrintFigure("login_to_first_command_bare", bare, "s");
  if (!before.empty()) PrintFigure("login_to_first_command_before", earlier, "s");
  PrintRatio("login_to_first_command", bare / ours);
  return 0;
}

// Round trips per second of the test movie's `index`th "ROUNDTRIP" report in the lines of one run;
// 0 when the run gave none.
double RoundTripsPerSecond(const Run& run, const std::string& prefix, int count, size_t index = 0) {
  if (index >= run.lines.size()) return 0;
  long milliseconds = RoundTripMilliseconds({run.lines[index]}, prefix, count);
  return milliseconds < 0 ? 0 : count * 1000.0 / milliseconds;
}

// Our round trips against a peer's, turn by turn (and the earlier launcher's, if one is named):
// `name` is the figure, the bare stack answering as a host does (bridge_roundtrip) or in its page
// (bridge_inpage). The movie runs its round trips twice: the first right from its start (the
// figure itself), the second once both sides are warm (NAME_warm).
int BridgeRoundTrip(const std::string& name, Answers peerAnswers) {
  constexpr int kCount = 1000;
  const std::string repeat = "*" + std::to_string(kCount) + "|GET_VERSION|";
  const std::string script = repeat + "\n" + repeat;
  const std::string before = BeforeLauncher();
  double ours[2] = {}, peer[2] = {}, earlier[2] = {};
  auto keepBest = [](double (&best)[2], const Run& run, const std::string& prefix) {
    for (size_t i = 0; i < 2; ++i) best[i] = std::max(best[i], RoundTripsPerSecond(run, prefix, kCount, i));
    return run.lines.size() == 2;
  };
  for (int round = 0; round < kRoundTripRounds; ++round) {
    bool launcher = keepBest(ours, RunLauncher(script, "FlashLog: ROUNDTRIP ", 2, kCoarsePoll), "FlashLog: ");
    bool bare = keepBest(peer, RunBare(script, "ROUNDTRIP ", 2, kCoarsePoll, peerAnswers), "");
    if (!launcher || !bare) {
      std::fprintf(stderr, "%s: no result from the movie (launcher %d, peer %d)\n", name.c_str(), launcher, bare);
      return 1;
    }
    if (!before.empty()) keepBest(earlier, RunLauncher(script, "FlashLog: ROUNDTRIP ", 2, kCoarsePoll, before), "FlashLog: ");
  }
  const std::string peerName = peerAnswers == Answers::kInThePage ? name + "_peer" : name + "_bare";
  const char* const suffixes[2] = {"", "_warm"};
  for (size_t i = 0; i < 2; ++i) {
    PrintFigure(name + suffixes[i], ours[i], "round_trips/s");
    PrintFigure(peerName + suffixes[i], peer[i], "round_trips/s");
    PrintRatio(name + suffixes[i], ours[i] / peer[i]);
    if (!before.empty()) {
      PrintFigure(name + "_before" + suffixes[i], earlier[i], "round_trips/s");
      PrintRatio(name + "_before" + suffixes[i], earlier[i] / peer[i]);
    }
  }
  return 0;
}

// md5sum over `files`, in seconds.
double Md5sumSeconds(const std::vector<std::string>& files) {
  std::vector<std::string> argv{"/usr/bin/env", "md5sum"};
  argv.insert(argv.end(), files.begin(), files.end());
  auto start = Clock::now();
  testing_support::ProcessResult result = testing_support::RunProcess(argv);
  double seconds = SecondsSince(start);
  return result.exited && result.exitStatus == 0 ? seconds : -1;
}

int PatchCheck() {
  constexpr int kFiles = 2000;
  constexpr size_t kFileSize = 16 * 1024;
  testing_support::TempDir dir;
  std::vector<std::string> files;
  std::string contents(kFileSize, '\0');
  for (int i = 0; i < kFiles; ++i) {
    for (size_t k = 0; k < kFileSize; ++k) contents[k] = static_cast<char>((i * 131 + k * 7) & 0xFF);
    files.push_back(dir / ("f" + std::to_string(i)));
    testing_support::WriteFile(files.back(), contents);
  }
  const std::string pattern = dir / "f{i}";
  const std::string script = "*" + std::to_string(kFiles) + "|HAVE_THIS_FILE|" + pattern + "\n*" +
                             std::to_string(kFiles) + "|CALCULATE_MD5|" + pattern;
  const std::string before = BeforeLauncher();
  double ours = 1e30, md5sum = 1e30, earlier = 1e30;
  for (int round = 0; round < kRounds; ++round) {
    long launcher = RoundTripMilliseconds(RunLauncher(script, "FlashLog: ROUNDTRIP ", 2, kCoarsePoll).lines, "FlashLog: ", kFiles);
    double peer = Md5sumSeconds(files);
    if (launcher < 0 || peer < 0) {
      std::fprintf(stderr, "patch_check: no result (launcher %ld ms, md5sum %.3f s)\n", launcher, peer);
      return 1;
    }
    ours = std::min(ours, launcher / 1000.0);
    md5sum = std::min(md5sum, peer);
    if (!before.empty()) {
      long old = RoundTripMilliseconds(
          RunLauncher(script, "FlashLog: ROUNDTRIP ", 2, kCoarsePoll, before).lines, "FlashLog: ", kFiles);
      if (old > 0) earlier = std::min(earlier, old / 1000.0);
    }
  }
  PrintFigure("patch_check", kFiles / ours, "files/s");
  PrintFigure("patch_check_md5sum", kFiles / md5sum, "files/s");
  PrintRatio("patch_check", md5sum / ours);
  if (!before.empty()) {
    PrintFigure("patch_check_before", kFiles / earlier, "files/s");
    PrintRatio("patch_check_before", md5sum / earlier);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Each figure shows as soon as it is known, even when a later one fails.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::vector<std::string> names(argv + 1, argv + argc);
  if (names.empty()) names = {"first_command", "bridge_roundtrip", "bridge_inpage", "patch_check", "login_to_first_command"};
  for (const std::string& name : names) {
    int status = name == "first_command"            ? FirstCommand()
                 : name == "bridge_roundtrip"       ? BridgeRoundTrip(name, Answers::kByTheHost)
                 : name == "bridge_inpage"          ? BridgeRoundTrip(name, Answers::kInThePage)
                 : name == "patch_check"            ? PatchCheck()
                 : name == "login_to_first_command" ? LoginToFirstCommand()
                                                    : (std::fprintf(stderr, "player: unknown benchmark %s\n", name.c_str()), 2);
    if (status != 0) return status;
  }
  return 0;
}
