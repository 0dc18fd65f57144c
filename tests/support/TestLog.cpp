#include "support/TestLog.h"

#include <cstdlib>
#include <filesystem>

#include "platform/SpecialFolders.h"
#include "support/TestSupport.h"

namespace testing_support {

const std::string& UseTestLog() {
  static TempDir home;
  static const std::string path = [] {
    std::filesystem::create_directories(home / "Documents/zelqlog");
    std::filesystem::create_directories(home / ".config");
    setenv("HOME", home.path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    return home / "Documents/zelqlog/log.txt";
  }();
  return path;
}

std::string CurrentLogPath() {
  UseTestLog();
  return platform::GetSpecialFolderPath(platform::kFolderDocuments).value_or("") + "/zelqlog/log.txt";
}

std::vector<std::string> TestLogMessages() {
  std::vector<std::string> messages;
  for (const std::string& line : SplitLines(ReadFile(CurrentLogPath()))) {
    if (line.empty() || line.rfind("================", 0) == 0) continue;
    messages.push_back(LogMessage(line));
  }
  return messages;
}

std::vector<std::string> TestLogMessagesSince(size_t mark) {
  std::vector<std::string> messages = TestLogMessages();
  if (mark >= messages.size()) return {};
  return std::vector<std::string>(messages.begin() + static_cast<long>(mark), messages.end());
}

}  // namespace testing_support
