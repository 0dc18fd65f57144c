#include "platform/Environment.h"

#include <cstdlib>

namespace platform {

std::optional<std::string> GetEnvironmentVariable(const std::string& name) {
  const char* value = getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool SetEnvironmentVariable(const std::string& name, const std::string& value) {
  // setenv refuses an empty name and one holding '=' (EINVAL), as the environment's own format
  // could not tell such a name from its value.
  return setenv(name.c_str(), value.c_str(), 1) == 0;
}

}  // namespace platform
