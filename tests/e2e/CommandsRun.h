#pragma once
// One launcher run for the command tests: the real launcher of type 1 (as the game hall starts
// it, with the test hall library beside it) playing the command movie, whose script sends the
// commands and reports every answer on standard error.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace commands_testing {

using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::LauncherSandbox;
using testing_support::ProcessOptions;
using testing_support::ProcessResult;
using testing_support::SplitLines;

inline const std::string kMovie = BRIMTALE_BINARY_DIR "/movies/CommandsMovie.swf";

inline bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds budget) {
  auto deadline = std::chrono::steady_clock::now() + budget;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

inline bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The lines the movie reported ("MOVIE ..." on the launcher's standard error), without the prefix.
inline std::vector<std::string> MovieLines(const std::string& output) {
  std::vector<std::string> lines;
  for (const std::string& line : SplitLines(output)) {
    size_t at = line.find("MOVIE ");
    if (at != std::string::npos) lines.push_back(line.substr(at + 6));
  }
  return lines;
}

// One launcher run of type 1 (as the game hall starts it, with the test hall library beside it)
// whose movie runs `script`.
class CommandsRun {
 public:
  explicit CommandsRun(const std::string& caption) : m_caption(caption) {
    std::filesystem::copy_file(BRIMTALE_TEST_HALL_LIBRARY, m_sandbox.dir() / "QQGameProcMsgHelper.so");
  }

  void Start(const std::string& script) {
    std::string url = "file://" + kMovie + "?script=" + testing_support::PercentEncode(script);
    m_sandbox.WriteConfig(R"({"LauncherType": 1, "MoreHttpLog": false, "LauncherCaption": ")" + m_caption +
                          R"(", "SwfUrl": ")" + url + R"("})");
    ProcessOptions options = m_sandbox.Options();
    options.environment["BRIMTALE_TEST_HALL_RECORD"] = HallRecordPath();
    options.environment["BRIMTALE_HALL_ANALYSIS_HOST"] = "http://127.0.0.1:9";  // refused at once
    options.timeout = 90s;
    m_child = std::make_unique<ChildProcess>(std::vector<std::string>{m_sandbox.Executable(), "ID=u1,PROCPARA=p"},
                                             options);
  }

  // Waits until the log holds `message`, within `budget` from the movie's start.
  ::testing::AssertionResult WaitForLog(const std::string& message, std::chrono::milliseconds budget = 60s) {
    if (!WaitForMovieStart()) return Stalled("the movie did not start");
    WaitUntil([&] { return Contains(m_sandbox.LogMessages(), message) || !m_child->IsRunning(); }, budget);
    if (Contains(m_sandbox.LogMessages(), message)) return ::testing::AssertionSuccess();
    return Stalled("no log line \"" + message + "\"");
  }
  // Waits for the launcher's end, within `budget` from the movie's start.
  ::testing::AssertionResult WaitForEnd(std::chrono::milliseconds budget) {
    if (!WaitForMovieStart()) return Stalled("the movie did not start");
    if (WaitUntil([&] { return !m_child->IsRunning(); }, budget)) return ::testing::AssertionSuccess();
    return Stalled("the launcher did not end");
  }
  ProcessResult Finish() { return m_child->Wait(); }
  bool IsRunning() { return m_child->IsRunning(); }

  std::vector<std::string> Log() const { return m_sandbox.LogMessages(); }
  std::vector<std::string> HallRecord() const {
    return testing_support::PathExists(HallRecordPath()) ? SplitLines(testing_support::ReadFile(HallRecordPath()))
                                                         : std::vector<std::string>{};
  }
  std::string Dir() const { return m_sandbox.dir().path(); }
  const std::string& caption() const { return m_caption; }

 private:
  std::string HallRecordPath() const { return m_sandbox.dir() / "hall-record.txt"; }

  bool WaitForMovieStart() {
    auto started = [&] { return testing_support::MovieHasStarted(m_sandbox.LogMessages()); };
    return WaitUntil([&] { return started() || !m_child->IsRunning(); }, testing_support::kMovieStartBudget) &&
           started();
  }
  ::testing::AssertionResult Stalled(const std::string& what) {
    return ::testing::AssertionFailure() << what << "\n--- launcher output:\n"
                                         << m_child->output() << "\n--- log:\n"
                                         << m_sandbox.Log();
  }

  std::string m_caption;
  LauncherSandbox m_sandbox;
  std::unique_ptr<ChildProcess> m_child;
};

// The quit message to the hall: "SendMsg <length> 1 <DataLen>".
inline bool SentQuitMessage(const std::vector<std::string>& record) {
  return std::any_of(record.begin(), record.end(),
                     [](const std::string& line) { return line.rfind("SendMsg ", 0) == 0 && line.find(" 1 ") != std::string::npos; });
}

}  // namespace commands_testing
