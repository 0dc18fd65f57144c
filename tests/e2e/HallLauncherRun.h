#pragma once
// The launcher as a real process for the hall and start-argument tests: run until the log says
// enough, then end it (a launcher with a main window would run on until closed).

#include <signal.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

namespace hall_testing {

using Messages = std::vector<std::string>;

struct LauncherRun {
  testing_support::ProcessResult result;
  Messages messages;
  bool endedByItself = false;
};

inline bool HasMessage(const Messages& messages, const std::string& message) {
  for (const std::string& m : messages)
    if (m == message) return true;
  return false;
}

inline bool HasMessageStartingWith(const Messages& messages, const std::string& prefix) {
  for (const std::string& m : messages)
    if (m.rfind(prefix, 0) == 0) return true;
  return false;
}

// The messages from the first one equal to `first` on (empty when there is none).
inline Messages MessagesFrom(const Messages& messages, const std::string& first) {
  for (size_t i = 0; i < messages.size(); ++i)
    if (messages[i] == first) return Messages(messages.begin() + static_cast<long>(i), messages.end());
  return {};
}

// Runs the sandbox's launcher with `arguments` until `done` holds for its log or it ends by
// itself; one still running then is killed.
inline LauncherRun RunLauncherUntil(testing_support::LauncherSandbox& sandbox,
                                    const std::vector<std::string>& arguments, testing_support::ProcessOptions options,
                                    const std::function<bool(const Messages&)>& done,
                                    std::chrono::milliseconds budget = std::chrono::seconds(30)) {
  std::vector<std::string> argv{sandbox.Executable()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  options.timeout = budget + std::chrono::seconds(5);
  testing_support::ChildProcess child(argv, options);
  auto deadline = std::chrono::steady_clock::now() + budget;
  LauncherRun run;
  for (;;) {
    if (done(sandbox.LogMessages())) break;
    if (!child.IsRunning()) {
      run.endedByItself = true;
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!run.endedByItself) kill(child.pid(), SIGKILL);
  run.result = child.Wait();
  run.messages = sandbox.LogMessages();
  return run;
}

}  // namespace hall_testing
