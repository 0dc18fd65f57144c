#pragma once
// Helpers shared by the tests: temporary folders, files, and the launcher run as a real process.

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

// A fresh folder under the system's temp folder, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return m_path; }
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& contents);
bool PathExists(const std::string& path);
std::vector<std::string> SplitLines(const std::string& text);

// A child process started with its own environment and working folder.
struct ProcessResult {
  bool exited = false;  // false when it had to be killed at the time limit
  int exitStatus = -1;
  std::string output;   // standard output and standard error
};

struct ProcessOptions {
  std::string workingDirectory;
  std::map<std::string, std::string> environment;  // added to (or replacing in) ours
  std::vector<std::string> unset;                   // names taken out of ours
  std::chrono::milliseconds timeout{30000};
};

class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const ProcessOptions& options);
  ~ChildProcess();  // kills a child that is still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  int pid() const { return m_pid; }
  // Waits for the end (killing the child at the time limit).
  ProcessResult Wait();
  // Also takes in the output written so far, so that a chatty child never blocks on a full pipe.
  bool IsRunning();
  // The child's standard output and error so far (complete after Wait).
  const std::string& output();

 private:
  void ReadAvailableOutput();

  int m_pid = -1;
  int m_outputFd = -1;
  std::chrono::milliseconds m_timeout;
  bool m_reaped = false;
  ProcessResult m_result;
};

// Without an X display, runs this program again on an X server of its own with the same arguments
// and does not return; returns when there is a display (or when this is that second run). On
// failure to start the server, prints why and ends with status 1.
void RunUnderXvfbWithoutDisplay(int argc, char** argv);

// `text` with every byte but letters, digits and "-_.~" as %XX: for the test movie's script in a URL.
std::string PercentEncode(const std::string& text);

// A launcher's start-up, up to its movie's first command, takes from 3 s on an idle machine to half a
// minute on a busy one. Tests wait that long for it, and start their own budgets there.
constexpr std::chrono::seconds kMovieStartBudget{300};
// Whether the log messages show the movie's first command.
bool MovieHasStarted(const std::vector<std::string>& logMessages);

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// A launcher installation of its own: a copy of the executable in a temporary folder, a config.txt
// beside it, and a home folder whose documents hold the "zelqlog" folder (unless told otherwise).
class LauncherSandbox {
 public:
  explicit LauncherSandbox(bool withLogFolder = true);
  void WriteConfig(const std::string& json);
  // The executable's path; copied from the build (or from `source`) on first use.
  std::string Executable();
  void UseExecutable(const std::string& source);
  // Runs without a display (DISPLAY and WAYLAND_DISPLAY unset): for runs that must end by
  // themselves where, with a display, a window would wait for the player.
  void RunWithoutDisplay() { m_withoutDisplay = true; }
  std::string LogPath() const;
  std::string Log() const;
  std::vector<std::string> LogMessages() const;  // the log's lines without their prefix
  ProcessOptions Options() const;
  ProcessResult Run(const std::vector<std::string>& arguments = {}, std::chrono::milliseconds timeout =
                                                                         std::chrono::milliseconds(30000));
  const TempDir& dir() const { return m_dir; }
  std::string Home() const { return m_dir / "home"; }

 private:
  TempDir m_dir;
  std::string m_executable;
  bool m_withoutDisplay = false;
};

// Runs `body` in a forked child whose root folder is a fresh, empty tmpfs in a mount namespace of
// its own, so that whatever it deletes or fills, nothing of the machine is touched. The child ends
// with body's result as its exit status, which is returned; kNoPrivateRoot when no such root could
// be made (not root, no namespaces), in which case body never ran. Only this process's memory
// comes along: body may not start programs or load libraries. `tmpfsOptions` are the mount's.
constexpr int kNoPrivateRoot = 125;
int RunWithTmpfsAsRoot(const std::function<int()>& body, const char* tmpfsOptions = "size=16m");

// The message part of a log line ("[PID:..][TID:..][hh:mm:ss] message"); the line itself when it
// has no prefix.
std::string LogMessage(const std::string& line);

}  // namespace testing_support
