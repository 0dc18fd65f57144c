#include "platform/Environment.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

extern char** environ;

namespace platform {
namespace {

// The kernel's limit for one string of a new program's environment (MAX_ARG_STRLEN, 32 pages),
// its terminating NUL included: a longer "name=value" would make every later start fail.
constexpr size_t kMaxEnvironmentString = 32 * 4096;

// What the kernel lets a new program's arguments and environment take in all is a quarter of the
// stack limit (sysconf's ARG_MAX), never more than 6 MiB. The environment leaves this much of it to
// the path and the arguments of the programs the movie starts.
constexpr size_t kKernelArgumentCap = size_t{6} << 20;
constexpr size_t kArgumentRoom = size_t{128} << 10;

// Replaced strings and outgrown arrays are never freed (see SetEnvironmentVariable), so the bytes
// that the changes of one run may allocate in all are bounded: a movie that changes its variables
// without end is refused once they have cost this much.
constexpr size_t kChangeBudget = size_t{32} << 20;

// The environment array this module installed, and what the changes have allocated so far.
// Guarded by the lock, which orders this module's own changes.
struct OwnEnvironment {
  std::mutex lock;
  char** array = nullptr;  // null until the first new variable
  size_t capacity = 0;     // slots, the terminating null included
  size_t allocated = 0;
};
OwnEnvironment& Own() {
  static auto* own = new OwnEnvironment;  // never destroyed: the environment outlives everything
  return *own;
}

// What a started program's environment would take of the kernel's limit: each string with its
// NUL, and its pointer.
size_t ExecSize(const char* entry) { return strlen(entry) + 1 + sizeof(char*); }

size_t ExecBudget() {
  long argumentMax = sysconf(_SC_ARG_MAX);
  size_t limit = argumentMax > 0 ? std::min(static_cast<size_t>(argumentMax), kKernelArgumentCap) : 131072;
  return limit > kArgumentRoom ? limit - kArgumentRoom : 0;
}

// The slot of `name` in the environment, or the count of entries (the terminating null's slot).
size_t FindSlot(const std::string& name, bool& found) {
  size_t index = 0;
  found = false;
  for (; environ != nullptr && environ[index] != nullptr; ++index) {
    const char* entry = environ[index];
    if (strncmp(entry, name.c_str(), name.size()) == 0 && entry[name.size()] == '=') {
      found = true;
      return index;
    }
  }
  return index;
}

// Stores `entry` where readers on other threads may be walking the array: one pointer, whole.
void Publish(char** slot, char* entry) { __atomic_store_n(slot, entry, __ATOMIC_RELEASE); }

// Makes room for one more entry after the `count` there are: the environment becomes (or stays)
// this module's own array, which grows by doubling. The old array is left allocated.
bool MakeRoom(OwnEnvironment& own, size_t count) {
  if (environ == own.array && count + 2 <= own.capacity) return true;
  size_t capacity = std::max<size_t>(64, 2 * (count + 2));
  size_t bytes = capacity * sizeof(char*);
  if (own.allocated + bytes > kChangeBudget) return false;
  // Zero-filled: every slot after the entries is a terminating null before it is used.
  auto** fresh = static_cast<char**>(calloc(capacity, sizeof(char*)));
  if (fresh == nullptr) return false;
  if (count > 0) memcpy(fresh, environ, count * sizeof(char*));
  own.allocated += bytes;
  own.array = fresh;
  own.capacity = capacity;
  __atomic_store_n(&environ, fresh, __ATOMIC_RELEASE);
  return true;
}

}  // namespace

std::optional<std::string> GetEnvironmentVariable(const std::string& name) {
  const char* value = getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool SetEnvironmentVariable(const std::string& name, const std::string& value) {
  // The environment's own format could not tell such a name from its value.
  if (name.empty() || name.find('=') != std::string::npos) return false;
  const std::string text = name + "=" + value;
  if (text.size() + 1 > kMaxEnvironmentString) return false;
  OwnEnvironment& own = Own();
  std::lock_guard<std::mutex> hold(own.lock);

  // Other threads read the environment without any lock (libcurl looks up proxy variables on the
  // HTTP worker), so nothing they may hold is ever freed or changed in place: a replaced value is a
  // new string whose pointer is swapped in, a new variable goes into a free slot after the last
  // one, and an array that is full is copied into one twice its size. The strings and arrays given
  // up stay allocated, within the change budget.
  bool found = false;
  const size_t slot = FindSlot(name, found);
  if (found && strcmp(environ[slot] + name.size() + 1, value.c_str()) == 0) return true;

  size_t size = sizeof(char*);  // the terminating null
  for (size_t i = 0; environ != nullptr && environ[i] != nullptr; ++i) size += ExecSize(environ[i]);
  size = size - (found ? ExecSize(environ[slot]) : 0) + ExecSize(text.c_str());
  if (size > ExecBudget() || own.allocated + text.size() + 1 > kChangeBudget) return false;

  if (!found && !MakeRoom(own, slot)) return false;
  char* entry = static_cast<char*>(malloc(text.size() + 1));
  if (entry == nullptr) return false;
  memcpy(entry, text.c_str(), text.size() + 1);
  own.allocated += text.size() + 1;
  Publish(&environ[slot], entry);
  return true;
}

namespace {

constexpr char kSoundRanks[] = "GST_PLUGIN_FEATURE_RANK";

// What KeepWebViewSoundOffJack changed: the user's own ranks, and the entry that replaced them.
struct SoundRanksChange {
  bool made = false;
  std::optional<std::string> users;
  std::string entry;
};
SoundRanksChange& SoundRanksChanged() {
  static SoundRanksChange change;
  return change;
}

}  // namespace

// GStreamer's automatic sound output tries JACK when neither a PulseAudio (or PipeWire) server nor
// an ALSA device answers: on a machine without sound, a web view that plays sound opens JACK's
// client library, which opens the user's metadata store (/dev/shm/jack_db-UID, a Berkeley DB shared
// by all the user's processes). A process killed while opening it leaves its lock held for ever,
// and every later opener waits for it: the web process then hangs before its page runs, and the
// window stays black. A machine with sound answers before JACK is reached and loses nothing; a
// user who wants JACK says so in GST_PLUGIN_FEATURE_RANK, which is then left as it is. The web
// engine starts its processes with the launcher's environment, so the change is made there, and
// taken back for the programs started for the player.
void KeepWebViewSoundOffJack() {
  constexpr char kJackOutOfReach[] = "jackaudiosink:NONE";
  const std::optional<std::string> users = GetEnvironmentVariable(kSoundRanks);
  if (users && users->find("jackaudiosink") != std::string::npos) return;
  const std::string ranks = users ? *users + "," + kJackOutOfReach : kJackOutOfReach;
  if (!SetEnvironmentVariable(kSoundRanks, ranks)) return;
  SoundRanksChanged() = {true, users, std::string(kSoundRanks) + "=" + ranks};
}

std::vector<std::string> ProgramEnvironment() {
  const SoundRanksChange& change = SoundRanksChanged();
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    // A value the movie set since (SET_ENVIRONMENT) is the movie's, and stays.
    if (change.made && change.entry == *entry) {
      if (change.users) entries.push_back(std::string(kSoundRanks) + "=" + *change.users);
      continue;
    }
    entries.emplace_back(*entry);
  }
  return entries;
}

}  // namespace platform
