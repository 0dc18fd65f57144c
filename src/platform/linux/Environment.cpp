#include "platform/Environment.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

extern char** environ;

namespace platform {
namespace {

std::mutex g_environmentLock;  // orders this module's own changes

// The kernel's limit for one string of a new program's environment (MAX_ARG_STRLEN, 32 pages),
// its terminating NUL included: a longer "name=value" would make every later start fail.
constexpr size_t kMaxEnvironmentString = 32 * 4096;

}  // namespace

std::optional<std::string> GetEnvironmentVariable(const std::string& name) {
  const char* value = getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool SetEnvironmentVariable(const std::string& name, const std::string& value) {
  // The environment's own format could not tell such a name from its value.
  if (name.empty() || name.find('=') != std::string::npos) return false;
  if (name.size() + 1 + value.size() + 1 > kMaxEnvironmentString) return false;
  std::lock_guard<std::mutex> hold(g_environmentLock);

  // Other threads read the environment without any lock (libcurl looks up proxy variables on the
  // HTTP worker). Replacing a variable swaps one pointer in the array, which a reader sees whole
  // either way. Adding one would let the C library move the array and free the old one under a
  // reader, so a new variable goes into a fresh array instead, and the old array and every entry
  // are left allocated for the rest of the process.
  if (getenv(name.c_str()) != nullptr) return setenv(name.c_str(), value.c_str(), 1) == 0;

  std::string text = name + "=" + value;
  char* entry = static_cast<char*>(malloc(text.size() + 1));
  if (entry == nullptr) return false;
  memcpy(entry, text.c_str(), text.size() + 1);
  size_t count = 0;
  while (environ != nullptr && environ[count] != nullptr) ++count;
  auto** fresh = static_cast<char**>(malloc((count + 2) * sizeof(char*)));
  if (fresh == nullptr) {
    free(entry);
    return false;
  }
  if (count > 0) memcpy(fresh, environ, count * sizeof(char*));
  fresh[count] = entry;
  fresh[count + 1] = nullptr;
  __atomic_store_n(&environ, fresh, __ATOMIC_RELEASE);
  return true;
}

}  // namespace platform
