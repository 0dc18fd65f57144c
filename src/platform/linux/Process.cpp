#include "platform/Process.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/Processes.h"
#include "platform/TempFiles.h"

namespace platform {

namespace {

// Every log line asks for both, and each is a system call (two microseconds together here). They
// are kept per thread. A forked child's one thread starts with the forking thread's copies, so a
// fork makes every kept pair stale.
std::atomic<unsigned> g_forks{0};

struct ThreadIds {
  unsigned forks = ~0u;
  uint32_t process = 0;
  uint32_t thread = 0;
};

const ThreadIds& CurrentIds() {
  static const bool watchingForks = [] {
    pthread_atfork(nullptr, nullptr, [] { g_forks.fetch_add(1); });
    return true;
  }();
  (void)watchingForks;
  thread_local ThreadIds ids;
  const unsigned forks = g_forks.load();
  if (ids.forks != forks)
    ids = {forks, static_cast<uint32_t>(getpid()), static_cast<uint32_t>(syscall(SYS_gettid))};
  return ids;
}

}  // namespace

uint32_t GetCurrentProcessId() { return CurrentIds().process; }

uint32_t GetCurrentThreadId() { return CurrentIds().thread; }

std::string GetModuleFileName() {
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return {};
    if (static_cast<size_t>(length) < buffer.size()) return std::string(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

std::string GetCommandLine() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string line = GetModuleFileName();
  // argv[0] is replaced by the full path; the arguments follow as a shell would show them.
  size_t start = raw.find('\0');
  while (start != std::string::npos && start + 1 < raw.size()) {
    size_t end = raw.find('\0', start + 1);
    std::string argument = raw.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
    line += ' ';
    if (argument.find(' ') != std::string::npos || argument.find('\t') != std::string::npos)
      line += '"' + argument + '"';
    else
      line += argument;
    start = end;
  }
  return line;
}

std::string GetCurrentDirectory() {
  std::vector<char> buffer(256);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return {};
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

void ExitProcessNow(int code) {
  // Whatever is being written for a later rename would otherwise stay behind as a hidden file.
  RemoveOpenStagedFiles();
  // A web process busy with a movie would only notice later that the launcher is gone.
  EndWebEngineProcesses();
  _exit(code);
}

void OutputDebugString(const char* text) {
  fputs(text, stderr);
  fflush(stderr);
}

}  // namespace platform
