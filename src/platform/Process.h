#pragma once
// Facts about the running process, and leaving it. Callable from any thread.

#include <cstdint>
#include <string>

namespace platform {

uint32_t GetCurrentProcessId();
uint32_t GetCurrentThreadId();

// Full path of the running executable (/proc/self/exe); empty when it cannot be read.
std::string GetModuleFileName();

// The command line as one text: the executable's full path, then each argument after a blank,
// in double quotes where the argument holds a blank.
std::string GetCommandLine();

// The process's current directory; empty when it cannot be read.
std::string GetCurrentDirectory();

// Ends the process at once with `code` (-1 shows as exit status 255): no destructors, no atexit
// handlers, no flushing of stdio buffers. Open staged files (TempFiles.h) are removed first, and
// the web engine's helper processes ended (Processes.h).
[[noreturn]] void ExitProcessNow(int code);

// Writes text to the debugger channel (standard error).
void OutputDebugString(const char* text);

}  // namespace platform
