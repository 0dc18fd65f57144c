// The web process extension travels inside this library (compiled in as a byte array, HostFiles.h),
// which itself is loaded from memory: at
// the web context's creation it is written to a folder of this process's own (mode 0700, under
// XDG_RUNTIME_DIR), where WebKit loads it into each web process. The folder goes at exit; one left
// behind by a process that was killed goes when the next run finds its process gone.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "HostFiles.h"
#include "RuntimeState.h"
#include "SealedFile.h"

namespace player_runtime {

namespace {

constexpr char kFolderPrefix[] = "brimtale-channel-";
constexpr char kModuleName[] = "libbrimtale-channel.so";
// The module's name in the build, under which the library carries it.
constexpr char kBuiltModule[] = "brimtale_channel_extension.so";

std::string g_folder;  // this process's folder; empty until written

void RemoveFolder(const std::string& folder) {
  unlink((folder + "/" + kModuleName).c_str());
  rmdir(folder.c_str());
}

void RemoveOwnFolder() {
  if (!g_folder.empty()) RemoveFolder(g_folder);
}

// Folders of earlier runs whose process no longer exists ("brimtale-channel-PID-XXXXXX"). Only a
// real folder of this user's own is emptied, through its descriptor: a link, a FIFO or another
// user's folder that merely bears the name is left as it is.
void RemoveAbandonedFolders(const std::string& base) {
  DIR* directory = opendir(base.c_str());
  if (directory == nullptr) return;
  const int baseFd = dirfd(directory);
  while (dirent* entry = readdir(directory)) {
    const std::string name = entry->d_name;
    if (name.rfind(kFolderPrefix, 0) != 0) continue;
    long pid = std::strtol(name.c_str() + sizeof kFolderPrefix - 1, nullptr, 10);
    if (pid <= 0 || pid == getpid() || kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    int folder = openat(baseFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (folder < 0) continue;
    struct stat found {};
    const bool ours = fstat(folder, &found) == 0 && found.st_uid == geteuid();
    if (ours) unlinkat(folder, kModuleName, 0);
    close(folder);
    if (ours) unlinkat(baseFd, name.c_str(), AT_REMOVEDIR);
  }
  closedir(directory);
}

// The folder holding the module; empty when it cannot be written.
std::string WriteModule() {
  const char* base = std::getenv("XDG_RUNTIME_DIR");
  if (base == nullptr || base[0] != '/') return {};
  RemoveAbandonedFolders(base);
  std::string folder = std::string(base) + "/" + kFolderPrefix + std::to_string(getpid()) + "-XXXXXX";
  if (mkdtemp(folder.data()) == nullptr) return {};  // mode 0700
  std::string path = folder + "/" + kModuleName;
  const HostFile* module = FindChannelExtension(kBuiltModule);
  int fd = module != nullptr ? open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0500) : -1;
  bool written = fd >= 0 && WriteWhole(fd, module->data, module->size);
  if (fd >= 0 && close(fd) != 0) written = false;
  if (!written) {
    RemoveFolder(folder);
    return {};
  }
  return folder;
}

}  // namespace

bool InstallChannelExtension(WebKitWebContext* context) {
  if (g_folder.empty()) {
    g_folder = WriteModule();
    if (g_folder.empty()) return false;
    std::atexit(RemoveOwnFolder);
  }
  webkit_web_context_set_web_extensions_directory(context, g_folder.c_str());
  webkit_web_context_set_web_extensions_initialization_user_data(
      context, g_variant_new("(ss)", RuntimeScheme(), (std::string("/") + kPlayerPage).c_str()));
  return true;
}

}  // namespace player_runtime
