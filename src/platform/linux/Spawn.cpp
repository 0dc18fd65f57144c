#include "platform/Spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "platform/Environment.h"
#include "platform/Process.h"
#include "platform/Processes.h"

extern char** environ;

namespace platform {
namespace {

// A child started here and not reaped yet. Its process handle is a number of this table's own,
// never reused in the process: once the child is reaped and its pidfd closed, the descriptor's
// number may come back for another file, but the handle never means anything else.
struct StartedChild {
  int pid;
  int64_t handle;  // 0 when no pidfd could be had
  int pidfd;       // -1 then
};

// Children started here and not yet reaped, with the lock that guards the list and the handles.
std::mutex g_childrenLock;
std::vector<StartedChild> g_children;
int64_t g_lastHandle = 0;

std::string Absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  std::string current = GetCurrentDirectory();
  if (current.empty()) return path;
  return current + "/" + path;
}

bool IsExecutableFile(const struct stat& info) { return S_ISREG(info.st_mode) && (info.st_mode & 0111) != 0; }

// The first executable file called `name` in PATH.
std::optional<std::string> FindInPath(const std::string& name) {
  const char* path = getenv("PATH");
  std::string_view folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    size_t colon = folders.find(':');
    std::string_view entry = folders.substr(0, colon);
    std::string folder(entry.empty() ? std::string_view(".") : entry);  // an empty entry is the current folder
    std::string candidate = std::move(folder);
    candidate += '/';
    candidate += name;
    struct stat info {};
    if (stat(candidate.c_str(), &info) == 0 && IsExecutableFile(info)) return Absolute(candidate);
    if (colon == std::string_view::npos) return std::nullopt;
    folders.remove_prefix(colon + 1);
  }
}

// A URL scheme: a letter, then letters, digits, '+', '-' or '.', then ':'. One letter alone is
// taken for a drive name, not a scheme.
bool LooksLikeUrl(std::string_view file) {
  size_t colon = file.find(':');
  if (colon == std::string_view::npos || colon < 2) return false;
  auto isAlpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (!isAlpha(file[0])) return false;
  for (size_t i = 1; i < colon; ++i) {
    char c = file[i];
    if (!isAlpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

// The shell code for a path that cannot be examined: "path not found" when its folder is
// missing as well.
int CodeForMissingPath(const std::string& path, int error) {
  if (error != ENOENT) return ShellCodeForError(error);
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return kShellFileNotFound;
  struct stat info {};
  return stat(path.substr(0, slash).c_str(), &info) == 0 ? kShellFileNotFound : kShellPathNotFound;
}

ShellOpenResult FromSpawn(const SpawnResult& spawned) {
  if (spawned.error != 0) return {ShellCodeForError(spawned.error), 0};
  return {kShellSuccess, spawned.processHandle};
}

ShellOpenResult OpenWithDesktop(const std::string& target, const std::string& workingDirectory) {
  auto opener = FindInPath("xdg-open");
  if (!opener) return {kShellNoAssociation, 0};
  SpawnResult spawned = SpawnProcess(*opener, {"xdg-open", target}, workingDirectory);
  if (spawned.error == ENOENT || spawned.error == ENOEXEC) return {kShellNoAssociation, 0};
  return FromSpawn(spawned);
}

}  // namespace

int ShellCodeForError(int error) {
  switch (error) {
    case ENOENT:
      return kShellFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return kShellPathNotFound;
    case ENOMEM:
    case E2BIG:
    case EAGAIN:
      return kShellOutOfMemory;
    case ENOEXEC:
    case ELIBBAD:
      return kShellBadFormat;
    default:
      return kShellAccessDenied;
  }
}

std::vector<std::string> SplitShellWords(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n') {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
      ++i;
      continue;
    }
    inWord = true;
    if (c == '\\') {
      if (i + 1 < text.size()) {
        if (text[i + 1] != '\n') word += text[i + 1];  // a backslash and a line feed join lines
        i += 2;
      } else {
        word += c;
        ++i;
      }
    } else if (c == '\'') {
      size_t end = text.find('\'', i + 1);
      if (end == std::string_view::npos) end = text.size();
      word.append(text.substr(i + 1, end - i - 1));
      i = end + 1;
    } else if (c == '"') {
      ++i;
      while (i < text.size() && text[i] != '"') {
        if (text[i] == '\\' && i + 1 < text.size() &&
            (text[i + 1] == '"' || text[i + 1] == '\\' || text[i + 1] == '$' || text[i + 1] == '`')) {
          word += text[i + 1];
          i += 2;
        } else {
          word += text[i++];
        }
      }
      ++i;  // the closing quote
    } else {
      word += c;
      ++i;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

SpawnResult SpawnProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& workingDirectory) {
  ReapEndedChildren();
  // The child changes its folder before it starts the program: a relative path must not move
  // with it.
  std::string path = program.find('/') == std::string::npos ? program : Absolute(program);

  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  if (argv.empty()) argv.push_back(const_cast<char*>(program.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  if (!workingDirectory.empty()) posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigdefault(&attributes, &all);

  const std::vector<std::string> environment = ProgramEnvironment();
  std::vector<char*> envp;
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);

  SpawnResult result;
  pid_t pid = -1;
  int error = posix_spawnp(&pid, path.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    result.error = error;
    return result;
  }
  result.pid = pid;
  // The child is ours and not reaped yet, so its id cannot have been reused.
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  std::lock_guard<std::mutex> hold(g_childrenLock);
  if (pidfd >= 0) {
    fcntl(pidfd, F_SETFD, FD_CLOEXEC);
    result.processHandle = ++g_lastHandle;
  }
  g_children.push_back({pid, result.processHandle, pidfd});
  return result;
}

ShellOpenResult ShellOpen(const std::string& file, const std::string& parameters, const std::string& workingDirectory) {
  if (!workingDirectory.empty()) {
    struct stat folder {};
    if (stat(workingDirectory.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) return {kShellPathNotFound, 0};
  }
  if (file.empty()) return {kShellFileNotFound, 0};
  std::string path = Absolute(file);
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    int error = errno;
    // A URL is opened as such, unless a file of that name exists.
    if (LooksLikeUrl(file)) return OpenWithDesktop(file, workingDirectory);
    if (file.find('/') == std::string::npos) {
      if (auto found = FindInPath(file)) {
        path = *found;
        if (stat(path.c_str(), &info) != 0) return {CodeForMissingPath(path, errno), 0};
      } else {
        return {kShellFileNotFound, 0};
      }
    } else {
      return {CodeForMissingPath(path, error), 0};
    }
  }
  if (!IsExecutableFile(info)) return OpenWithDesktop(path, workingDirectory);

  std::vector<std::string> arguments{file};
  for (std::string& word : SplitShellWords(parameters)) arguments.push_back(std::move(word));
  return FromSpawn(SpawnProcess(path, arguments, workingDirectory));
}

void ReapEndedChildren() {
  std::lock_guard<std::mutex> hold(g_childrenLock);
  std::erase_if(g_children, [](const StartedChild& child) {
    pid_t ended = waitpid(child.pid, nullptr, WNOHANG);
    // -1 as well: someone else has reaped it, so it is no longer ours to wait for.
    if (ended != child.pid && ended >= 0) return false;
    if (child.pidfd >= 0) close(child.pidfd);
    return true;
  });
}

void WaitForProcessHandle(int64_t handle) {
  // The wait holds a copy of the pidfd: the child may be reaped, and its pidfd closed, meanwhile.
  int fd = -1;
  {
    std::lock_guard<std::mutex> hold(g_childrenLock);
    for (const StartedChild& child : g_children)
      if (handle != 0 && child.handle == handle) fd = fcntl(child.pidfd, F_DUPFD_CLOEXEC, 0);
  }
  if (fd < 0) return;
  // A pidfd turns readable once its process has ended.
  pollfd watch{fd, POLLIN, 0};
  while (poll(&watch, 1, -1) < 0 && errno == EINTR) {
  }
  close(fd);
}

}  // namespace platform
