#pragma once
// The launcher's own environment variables, which the programs it starts afterwards inherit.
// Any thread: a reader on another thread (getenv included) always sees a whole environment.

#include <optional>
#include <string>
#include <vector>

namespace platform {

// The value of `name`, whole, whatever its length; nothing when the variable does not exist.
std::optional<std::string> GetEnvironmentVariable(const std::string& name);

// Sets `name` to `value` (an empty value keeps the variable, with an empty value). Returns false,
// changing nothing, for an empty name, a name holding '=', a "name=value" text of more than
// 131071 bytes, or a change that would make the whole environment more than a started program can
// be given (the kernel's limit for arguments and environment, less 128 KiB left to the arguments):
// programs started afterwards must still start. Replaced values stay allocated (a reader on another
// thread may hold them), so a run's changes may allocate 32 MiB in all; later ones return false,
// as does running out of memory. Setting the value a variable already has costs nothing.
bool SetEnvironmentVariable(const std::string& name, const std::string& value);

// Takes JACK out of the sound outputs that GStreamer may choose by itself in the processes started
// afterwards (the web views' processes), unless GST_PLUGIN_FEATURE_RANK already ranks it: see
// Environment.cpp. Called before the first web view.
void KeepWebViewSoundOffJack();

// The environment of a program started for the player (the game, RUN_FILE): the launcher's own,
// as the movie's SET_ENVIRONMENT left it, without what the launcher set for its web views alone.
std::vector<std::string> ProgramEnvironment();

}  // namespace platform
