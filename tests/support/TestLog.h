#pragma once
// The launcher's log inside a unit test process. WriteLog writes below $HOME, and a run whose
// first line finds no log folder stays unlogged, so the folder must be in place before the first
// WriteLog of the process: call UseTestLog from a namespace-scope initialiser of the test file.

#include <string>
#include <vector>

namespace testing_support {

// Points HOME at a fresh folder holding Documents/zelqlog (and XDG_CONFIG_HOME at a folder of
// its own, so no user-dirs.dirs of the machine moves the documents folder). Once per process;
// later calls only return the log's path. The folder is removed when the process ends.
const std::string& UseTestLog();

// Where the log is written now: another part of the test process may move HOME to a home of its
// own (with its own log folder), and the log follows it.
std::string CurrentLogPath();

// The messages of the current log's lines (without their prefix, banner and empty lines), in order.
std::vector<std::string> TestLogMessages();

// The messages written after `mark` messages (a count taken earlier from TestLogMessages().size()).
std::vector<std::string> TestLogMessagesSince(size_t mark);

}  // namespace testing_support
