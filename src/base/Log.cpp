#include "base/Log.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/SpecialFolders.h"

namespace {

constexpr size_t kLineBufferSize = 16384;
constexpr size_t kFormatCapacity = logfile::kMaxLineCharacters + 1;  // with the terminating zero

// Both flags only ever change from false to true. The call-made flag is set under the lock once
// the first call has tried the file, so a thread that arrives while the first open is still under
// way waits for it instead of taking the log for switched off and losing its line.
std::atomic<bool> g_callMade{false};
std::atomic<bool> g_fileOpened{false};
// Constant-initialised: ready before any static constructor or start-up code can log.
std::mutex g_logLock;

// Found once, under the log's lock: finding the documents folder reads the user's folder list, which
// every line would otherwise pay for.
const std::string& LogFilePath() {
  static const std::string path =
      platform::GetSpecialFolderPath(platform::kFolderDocuments).value_or("") + "/zelqlog/log.txt";
  return path;
}

// The first successful open of a run: restart a file that has reached the limit, write the banner.
// false when the fresh file cannot be opened.
bool BeginRun(platform::ScopedFd& file, const std::string& path) {
  std::optional<uint64_t> size = platform::FileSize(file);
  if (size && *size >= static_cast<uint64_t>(logfile::kRestartSize)) {
    file = platform::ScopedFd();
    remove(path.c_str());
    file = platform::OpenForAppending(path);
    if (!file.IsValid()) return false;
  }
  platform::LocalTime now = platform::GetLocalTime();
  char banner[80];
  int length = snprintf(banner, sizeof banner, "\n================ Started in %04d-%02d-%02d %02d:%02d:%02d ================\n",
                        now.year, now.month, now.day, now.hour, now.minute, now.second);
  platform::WriteText(file, {banner, static_cast<size_t>(std::clamp(length, 0, static_cast<int>(sizeof banner) - 1))});
  return true;
}

}  // namespace

// Each line opens and closes the file (another program may read, move or delete it between any two
// lines), straight through the system: a stream would add its own buffer, a status call and an
// allocation to every line, and a movie's command writes one or two.
void WriteLog(const char* format, ...) {
  if (g_callMade.load() && !g_fileOpened.load()) return;
  std::lock_guard<std::mutex> hold(g_logLock);
  if (g_callMade.load() && !g_fileOpened.load()) return;

  const std::string& path = LogFilePath();
  platform::ScopedFd file = platform::OpenForAppending(path);
  g_callMade.store(true);
  if (!file.IsValid()) return;
  if (!g_fileOpened.load()) {
    g_fileOpened.store(true);
    if (!BeginRun(file, path)) return;
  }

  char line[kLineBufferSize] = {};
  platform::LocalTime now = platform::GetLocalTime();
  int prefix = snprintf(line, kFormatCapacity, "[PID:%u][TID:%u][%02d:%02d:%02d] ", platform::GetCurrentProcessId(),
                        platform::GetCurrentThreadId(), now.hour, now.minute, now.second);
  size_t used = prefix > 0 ? static_cast<size_t>(prefix) : 0;
  if (used < kFormatCapacity - 1) {
    va_list arguments;
    va_start(arguments, format);
    // vsnprintf cuts a message that does not fit at the capacity.
    vsnprintf(line + used, kFormatCapacity - used, format, arguments);
    va_end(arguments);
  }
  // The line goes as far as its first NUL, as the stream's "%s" wrote it.
  size_t length = strlen(line);
  line[length] = '\n';
  platform::WriteText(file, {line, length + 1});
}
