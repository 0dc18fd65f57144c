#include "platform/Processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fstream>
#include <string_view>

#include "platform/Files.h"

extern char** environ;

namespace platform {
namespace {

std::string ReadLink(const std::string& path) {
  std::string buffer(256, '\0');
  for (;;) {
    ssize_t length = readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0) return {};
    if (static_cast<size_t>(length) < buffer.size()) return buffer.substr(0, static_cast<size_t>(length));
    buffer.resize(buffer.size() * 2);
  }
}

std::optional<uint32_t> ParseProcessId(std::string_view name) {
  if (name.empty() || name.size() > 10) return std::nullopt;
  uint64_t value = 0;
  for (char c : name) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value == 0 || value > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(value);
}

// The executable's file name, else the command name; empty when the process is gone.
std::string ProcessFileName(uint32_t id) {
  std::string folder = "/proc/" + std::to_string(id);
  std::string exe = ReadLink(folder + "/exe");
  if (!exe.empty()) {
    constexpr std::string_view kDeleted = " (deleted)";
    if (exe.size() > kDeleted.size() && exe.compare(exe.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0)
      exe.resize(exe.size() - kDeleted.size());
    return exe.substr(exe.rfind('/') + 1);
  }
  std::ifstream comm(folder + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

// The parent of process `id`; 0 when it is gone or its status cannot be read.
pid_t ParentOf(uint32_t id) {
  std::ifstream stat("/proc/" + std::to_string(id) + "/stat");
  std::string line;
  std::getline(stat, line);
  // "id (command) state parent ...": the command may hold blanks and parentheses of its own.
  const size_t end = line.rfind(')');
  if (end == std::string::npos) return 0;
  char state = 0;
  int parent = 0;
  return std::sscanf(line.c_str() + end + 1, " %c %d", &state, &parent) == 2 ? parent : 0;
}

constexpr std::string_view kWebEnginePrefix = "WebKit";

bool IsWebEngineChild(uint32_t id) {
  return ParentOf(id) == getpid() && ProcessFileName(id).rfind(kWebEnginePrefix, 0) == 0;
}

// Waits until every process of `ends` has ended or `limit` has passed; returns the ones left.
std::vector<ScopedFd> WaitForEnds(std::vector<ScopedFd> ends, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!ends.empty()) {
    std::vector<pollfd> polled;
    for (const ScopedFd& end : ends) polled.push_back({end.get(), POLLIN, 0});
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    const int ready = poll(polled.data(), polled.size(), static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) break;
    std::vector<ScopedFd> running;
    for (size_t i = 0; i < ends.size(); ++i)
      if (polled[i].revents == 0) running.push_back(std::move(ends[i]));
    ends = std::move(running);
  }
  return ends;
}

}  // namespace

void EndWebEngineProcesses(std::chrono::milliseconds grace) {
  auto processes = ListProcesses();
  if (!processes) return;
  std::vector<ScopedFd> ends;
  for (const ProcessEntry& process : *processes) {
    if (process.exeFile.rfind(kWebEnginePrefix, 0) != 0) continue;
    ScopedFd end(static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(process.id), 0)));
    // The descriptor holds on to the process its id named when it was opened: checking again now
    // that it is our child keeps a signal from reaching another process that took a freed id.
    if (!end.IsValid() || !IsWebEngineChild(process.id)) continue;
    syscall(SYS_pidfd_send_signal, end.get(), SIGTERM, nullptr, 0);
    ends.push_back(std::move(end));
  }
  std::vector<ScopedFd> left = WaitForEnds(std::move(ends), grace);
  for (const ScopedFd& end : left) syscall(SYS_pidfd_send_signal, end.get(), SIGKILL, nullptr, 0);
  WaitForEnds(std::move(left), grace);
}

std::optional<std::vector<ProcessEntry>> ListProcesses() {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return std::nullopt;
  std::vector<ProcessEntry> processes;
  while (dirent* entry = readdir(proc)) {
    auto id = ParseProcessId(entry->d_name);
    if (!id) continue;
    std::string name = ProcessFileName(*id);
    if (name.empty()) continue;  // ended while the list was read
    processes.push_back({*id, std::move(name)});
  }
  closedir(proc);
  std::sort(processes.begin(), processes.end(),
            [](const ProcessEntry& a, const ProcessEntry& b) { return a.id < b.id; });
  return processes;
}

bool KillProcess(int64_t id) {
  if (id <= 0 || id > INT_MAX) return false;
  return kill(static_cast<pid_t>(id), SIGKILL) == 0;
}

void RaiseDescriptorLimit() {
  rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

bool StartRemovingDirectoryTree(const std::string& directory) {
  // The shell starts the removal in the background and ends at once, so the removal runs on
  // without being waited for, and is adopted (and reaped) by the system, not left as our zombie.
  const char* argv[] = {"/bin/sh", "-c", "rm -rf -- \"$1\" &", "sh", directory.c_str(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  for (int fd = 0; fd <= 2; ++fd) posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  // A session of its own: no terminal, and no signal aimed at the launcher's group reaches it.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigdefault(&attributes, &all);

  pid_t shell = -1;
  int result = posix_spawn(&shell, argv[0], &actions, &attributes, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (result != 0) return false;
  while (waitpid(shell, nullptr, 0) < 0 && errno == EINTR) {
  }
  return true;
}

}  // namespace platform
