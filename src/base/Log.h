#pragma once
// The launcher's one diagnostic channel: <documents>/zelqlog/log.txt.
//
// WriteLog formats like printf and appends one line "[PID:%u][TID:%u][hh:mm:ss] message".
// Callable from any thread, at any time of the process (its lock is ready before main runs).
// It never reports a failure: when the "zelqlog" folder is missing at the first call of a run,
// the whole run stays unlogged. The first line of a run restarts a file of 10 MiB or more and
// writes the start banner. A line longer than the buffer is cut at its limit.

[[gnu::format(printf, 1, 2)]] void WriteLog(const char* format, ...);

namespace logfile {

// Prefix and message together fill at most this many characters of a line.
constexpr int kMaxLineCharacters = 16381;
// The size at which the first line of a run starts a new file.
constexpr long kRestartSize = 0xA00000;

}  // namespace logfile
