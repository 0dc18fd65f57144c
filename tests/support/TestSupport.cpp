#include "support/TestSupport.h"

#include <algorithm>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <linux/magic.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "base/Text.h"

extern char** environ;

namespace testing_support {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "brimtale-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

bool PathExists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const ProcessOptions& options)
    : m_timeout(options.timeout) {
  std::map<std::string, std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    std::string text = *entry;
    size_t equals = text.find('=');
    if (equals != std::string::npos) environment[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& [key, value] : options.environment) environment[key] = value;
  for (const std::string& key : options.unset) environment.erase(key);
  std::vector<std::string> envStrings;
  for (const auto& [key, value] : environment) envStrings.push_back(key + "=" + value);
  std::vector<char*> envp, args;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argvCopy = argv;
  for (auto& s : argvCopy) args.push_back(s.data());
  args.push_back(nullptr);

  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (!options.workingDirectory.empty())
    posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());
  pid_t pid = -1;
  int error = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (error != 0) {
    close(pipeFds[0]);
    throw std::runtime_error("posix_spawn failed for " + argv[0]);
  }
  m_pid = pid;
  m_outputFd = pipeFds[0];
}

ChildProcess::~ChildProcess() {
  if (!m_reaped && m_pid > 0) {
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
  if (m_outputFd >= 0) close(m_outputFd);
}

void ChildProcess::ReadAvailableOutput() {
  char buffer[4096];
  while (m_outputFd >= 0) {
    pollfd fd{m_outputFd, POLLIN, 0};
    if (poll(&fd, 1, 0) <= 0) return;
    ssize_t n = read(m_outputFd, buffer, sizeof buffer);
    if (n <= 0) return;
    m_result.output.append(buffer, static_cast<size_t>(n));
  }
}

const std::string& ChildProcess::output() {
  ReadAvailableOutput();
  return m_result.output;
}

void RunUnderXvfbWithoutDisplay(int argc, char** argv) {
  const char* display = std::getenv("DISPLAY");
  if ((display != nullptr && display[0] != '\0') || std::getenv("BRIMTALE_UNDER_XVFB") != nullptr) return;
  setenv("BRIMTALE_UNDER_XVFB", "1", 1);
  static const std::string server = BRIMTALE_SOURCE_DIR "/tests/support/own-x-server.sh";
  std::vector<char*> args{const_cast<char*>(server.c_str())};
  args.insert(args.end(), argv, argv + argc);
  args.push_back(nullptr);
  execv(server.c_str(), args.data());
  std::fprintf(stderr, "%s: %s cannot be started (run scripts/install-deps)\n", argv[0], server.c_str());
  std::exit(1);
}

std::string PercentEncode(const std::string& text) { return PercentEncoded(text); }

bool MovieHasStarted(const std::vector<std::string>& logMessages) {
  return std::any_of(logMessages.begin(), logMessages.end(),
                     [](const std::string& message) { return message.rfind("DispatchFSCommand: ", 0) == 0; });
}

bool ChildProcess::IsRunning() {
  ReadAvailableOutput();
  if (m_reaped) return false;
  int status = 0;
  if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
    m_reaped = true;
    m_result.exited = WIFEXITED(status);
    m_result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return false;
  }
  return true;
}

ProcessResult ChildProcess::Wait() {
  auto deadline = std::chrono::steady_clock::now() + m_timeout;
  char buffer[4096];
  bool killed = false;
  while (m_outputFd >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(m_pid, SIGKILL);
      killed = true;
      break;
    }
    pollfd fd{m_outputFd, POLLIN, 0};
    int ready = poll(&fd, 1, static_cast<int>(std::min<long>(left.count(), 200)));
    if (ready > 0) {
      ssize_t n = read(m_outputFd, buffer, sizeof buffer);
      if (n <= 0) break;  // every writer closed: the child (and its children) ended or closed output
      m_result.output.append(buffer, static_cast<size_t>(n));
    } else if (!IsRunning()) {
      break;
    }
  }
  if (!m_reaped) {
    int status = 0;
    // The output may have closed before the child ended; give it the rest of the time limit.
    while (waitpid(m_pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(m_pid, SIGKILL);
        killed = true;
      }
      usleep(10000);
    }
    m_reaped = true;
    m_result.exited = WIFEXITED(status) && !killed;
    m_result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  if (killed) m_result.exited = false;
  return m_result;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  ChildProcess child(argv, options);
  return child.Wait();
}

LauncherSandbox::LauncherSandbox(bool withLogFolder) {
  std::filesystem::create_directories(Home() + "/Documents");
  std::filesystem::create_directories(m_dir / "runtime");
  chmod((m_dir / "runtime").c_str(), 0700);
  if (withLogFolder) std::filesystem::create_directories(Home() + "/Documents/zelqlog");
  std::filesystem::create_directories(m_dir / "app");
}

void LauncherSandbox::WriteConfig(const std::string& json) { WriteFile(m_dir / "app/config.txt", json); }

void LauncherSandbox::UseExecutable(const std::string& source) {
  m_executable = m_dir / "app/brimtale-launcher";
  std::filesystem::copy_file(source, m_executable, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::permissions(m_executable, std::filesystem::perms::owner_all);
}

std::string LauncherSandbox::Executable() {
  if (m_executable.empty()) UseExecutable(BRIMTALE_LAUNCHER_PATH);
  return m_executable;
}

std::string LauncherSandbox::LogPath() const { return Home() + "/Documents/zelqlog/log.txt"; }

std::string LauncherSandbox::Log() const { return ReadFile(LogPath()); }

std::vector<std::string> LauncherSandbox::LogMessages() const {
  std::vector<std::string> messages;
  for (const std::string& line : SplitLines(Log())) messages.push_back(LogMessage(line));
  return messages;
}

ProcessOptions LauncherSandbox::Options() const {
  ProcessOptions options;
  options.workingDirectory = m_dir.path();
  options.environment["HOME"] = Home();
  options.environment["XDG_CONFIG_HOME"] = Home() + "/.config";
  options.environment["XDG_STATE_HOME"] = Home() + "/.local/state";  // a signed site's state
  options.environment["XDG_CACHE_HOME"] = Home() + "/.cache";  // the kept movies stay in the sandbox
  options.environment["XDG_RUNTIME_DIR"] = m_dir / "runtime";
  // The login reports' default hosts are the game's real servers: a test's run never reaches
  // beyond loopback (port 9 refuses at once). Tests that look at the reports set their own.
  options.environment["BRIMTALE_HALL_ANALYSIS_HOST"] = "http://127.0.0.1:9";
  options.environment["BRIMTALE_PORTAL_ANALYSIS_HOST"] = "http://127.0.0.1:9";
  if (m_withoutDisplay) options.unset = {"DISPLAY", "WAYLAND_DISPLAY"};
  return options;
}

ProcessResult LauncherSandbox::Run(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout) {
  std::vector<std::string> argv{Executable()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  ProcessOptions options = Options();
  options.timeout = timeout;
  return RunProcess(argv, options);
}

std::string LogMessage(const std::string& line) {
  static const std::regex prefix(R"(^\[PID:\d+\]\[TID:\d+\]\[\d\d:\d\d:\d\d\] )");
  std::smatch match;
  if (std::regex_search(line, match, prefix)) return match.suffix();
  return line;
}

int RunWithTmpfsAsRoot(const std::function<int()>& body, const char* tmpfsOptions) {
  char scratch[] = "/tmp/brimtale-private-root-XXXXXX";
  if (mkdtemp(scratch) == nullptr) return kNoPrivateRoot;
  pid_t child = fork();
  if (child == 0) {
    // Each step must hold before the next; body runs only once the root is the new tmpfs.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", scratch, "tmpfs", MS_NOSUID | MS_NODEV, tmpfsOptions) != 0 || chroot(scratch) != 0 ||
        chdir("/") != 0)
      _exit(kNoPrivateRoot);
    struct statfs root {};
    std::error_code error;
    if (statfs("/", &root) != 0 || root.f_type != TMPFS_MAGIC || !std::filesystem::is_empty("/", error) || error)
      _exit(kNoPrivateRoot);
    _exit(body());
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) status = kNoPrivateRoot << 8;
  rmdir(scratch);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace testing_support
