#pragma once
// Other processes: listing them, ending them, waiting for one, and starting a hidden helper.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct ProcessEntry {
  uint32_t id = 0;
  std::string exeFile;  // the executable's file name, without its folder
};

// Every running process, by ascending id. The file name comes from the process's executable,
// else (a kernel thread, another user's process) from its command name. Nothing when the list
// cannot be read at all. Any thread.
std::optional<std::vector<ProcessEntry>> ListProcesses();

// Ends the process `id` at once (SIGKILL). Only a positive id is ever signalled: 0 and negative
// ids would reach whole process groups or every process. Returns whether the signal was sent.
// Any thread.
bool KillProcess(int64_t id);

// Blocks until the process behind the process handle `handle` (as SpawnProcess, Spawn.h, hands it
// out) has ended. A number that is no handle, or the handle of a process already reaped, returns
// at once. Any thread.
void WaitForProcessHandle(int64_t handle);

// Ends the helper processes of the web engine that this process started (its web and network
// processes), which would otherwise outlive it for as long as they take to notice that it is gone:
// each is asked to end (SIGTERM), and killed when it has not ended within `grace`. Returns once
// every one has ended (their zombies are reaped by the engine or, after exit, by the system).
// Call it when no web view is left, at the end of the run. Any thread.
void EndWebEngineProcesses(std::chrono::milliseconds grace = std::chrono::seconds(1));

// Raises this process's soft limit of open descriptors to its hard limit, so that files, sockets
// and process handles do not run out at the usual 1024. Called once at start-up; any thread.
void RaiseDescriptorLimit();

// Starts a hidden process of its own (its own session, no terminal, no output) that removes
// `directory` with everything in it, and returns without waiting for the removal. false when that
// process could not be started; the removal's own outcome is never known. Any thread.
bool StartRemovingDirectoryTree(const std::string& directory);

}  // namespace platform
