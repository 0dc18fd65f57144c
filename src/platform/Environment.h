#pragma once
// The launcher's own environment variables, which the programs it starts afterwards inherit.
// Any thread: a reader on another thread (getenv included) always sees a whole environment.

#include <optional>
#include <string>

namespace platform {

// The value of `name`, whole, whatever its length; nothing when the variable does not exist.
std::optional<std::string> GetEnvironmentVariable(const std::string& name);

// Sets `name` to `value` (an empty value keeps the variable, with an empty value). Returns false,
// changing nothing, for an empty name, a name holding '=', a "name=value" text of more than
// 131071 bytes (no program could be started with it in its environment), or when memory runs out.
bool SetEnvironmentVariable(const std::string& name, const std::string& value);

}  // namespace platform
