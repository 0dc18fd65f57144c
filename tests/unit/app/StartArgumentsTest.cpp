// The hall's start arguments as text: the cut behind the executable's path, the pair split and
// the login analysis URL, one table of command lines.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "app/RetryPacing.h"
#include "app/StartArguments.h"
#include "res/StringTable.h"

namespace {

struct ArgumentCase {
  const char* name;
  const char* commandLine;
  const char* executable;
  std::optional<std::string> text;  // nullopt: nothing after the path
  StartArgumentMap arguments;
  std::optional<std::string> analysisUrl;  // relative to the host
};

// clang-format off
const ArgumentCase kCases[] = {
    {"bare executable", "/opt/game/launcher", "/opt/game/launcher", std::nullopt, {}, std::nullopt},
    {"only blanks after the path", "/opt/game/launcher   ", "/opt/game/launcher", "", {}, std::nullopt},
    {"shorter than the path", "/opt/l", "/opt/game/launcher", std::nullopt, {}, std::nullopt},
    {"the hall's three keys", "/opt/game/launcher ID=abc,PID=7,PROCPARA=p", "/opt/game/launcher",
     "ID=abc,PID=7,PROCPARA=p", {{"ID", "abc"}, {"PID", "7"}, {"PROCPARA", "p"}},
     "/startzelqgame.ashx?openid=abc&pid=7"},
    {"PID alone", "/opt/game/launcher PID=7", "/opt/game/launcher", "PID=7", {{"PID", "7"}}, std::nullopt},
    {"first value wins", "/opt/game/launcher ID=abc,ID=def", "/opt/game/launcher", "ID=abc,ID=def",
     {{"ID", "abc"}}, "/startzelqgame.ashx?openid=abc"},
    {"blank after the comma makes another key", "/opt/game/launcher \"ID=abc, PID=7\"", "/opt/game/launcher",
     "ID=abc, PID=7", {{" PID", "7"}, {"ID", "abc"}}, "/startzelqgame.ashx?openid=abc"},
    {"value holding an equals sign", "/opt/game/launcher PROCPARA=a=b,ID=x", "/opt/game/launcher",
     "PROCPARA=a=b,ID=x", {{"ID", "x"}, {"PROCPARA", "a=b"}}, "/startzelqgame.ashx?openid=x"},
    {"empty value takes the next pair", "/opt/game/launcher ID=,PID=7", "/opt/game/launcher", "ID=,PID=7",
     {{"ID", "PID=7"}}, "/startzelqgame.ashx?openid=PID=7"},
    {"runs of delimiters are skipped", "/opt/game/launcher ==ID===x,,,y", "/opt/game/launcher", "==ID===x,,,y",
     {{"ID", "==x"}}, "/startzelqgame.ashx?openid===x"},
    {"key without a value ends the split", "/opt/game/launcher ID=abc,PID", "/opt/game/launcher", "ID=abc,PID",
     {{"ID", "abc"}}, "/startzelqgame.ashx?openid=abc"},
    {"white space trimmed at both ends", "/opt/game/launcher \t ID=a,PID=b \r\n", "/opt/game/launcher",
     "ID=a,PID=b", {{"ID", "a"}, {"PID", "b"}}, "/startzelqgame.ashx?openid=a&pid=b"},
    {"quoted path with a blank", "\"/opt/my game/launcher\" ID=a", "/opt/my game/launcher", "ID=a", {{"ID", "a"}},
     "/startzelqgame.ashx?openid=a"},
    {"keys are case-sensitive", "/opt/game/launcher id=a,Pid=b", "/opt/game/launcher", "id=a,Pid=b",
     {{"Pid", "b"}, {"id", "a"}}, std::nullopt},
    {"values unescaped", "/opt/game/launcher ID=a&b c%20", "/opt/game/launcher", "ID=a&b c%20", {{"ID", "a&b c%20"}},
     "/startzelqgame.ashx?openid=a&b c%20"},
};
// clang-format on

TEST(StartArguments, CutSplitAndAnalysisUrl) {
  for (const ArgumentCase& c : kCases) {
    SCOPED_TRACE(c.name);
    std::optional<std::string> text = CutStartArgumentText(c.commandLine, std::string(c.executable).size());
    EXPECT_EQ(text, c.text);
    if (!text) continue;
    StartArgumentMap arguments = SplitStartArgumentPairs(*text);
    EXPECT_EQ(arguments, c.arguments);
    std::optional<std::string> url = QQLoginAnalysisUrl("http://h", arguments);
    EXPECT_EQ(url, c.analysisUrl ? std::optional<std::string>("http://h" + *c.analysisUrl) : std::nullopt);
  }
}

TEST(StartArguments, PortalAnalysisUrlCarriesTheUserIdUnchanged) {
  EXPECT_EQ(PortalLoginAnalysisUrl("http://login.example", "u 1&x"),
            "http://login.example/api/startzelqgame.ashx?openid=u 1&x");
}

TEST(StartArguments, AnalysisHostsComeFromTheEnvironmentElseTheStringTable) {
  unsetenv("BRIMTALE_HALL_ANALYSIS_HOST");
  setenv("BRIMTALE_PORTAL_ANALYSIS_HOST", "", 1);
  EXPECT_EQ(HallAnalysisHost(), res::LoadString(res::kIdsHallAnalysisHost));
  EXPECT_EQ(PortalAnalysisHost(), res::LoadString(res::kIdsPortalAnalysisHost));
  EXPECT_FALSE(HallAnalysisHost().empty());
  setenv("BRIMTALE_HALL_ANALYSIS_HOST", "http://127.0.0.1:1", 1);
  setenv("BRIMTALE_PORTAL_ANALYSIS_HOST", "http://127.0.0.1:2", 1);
  EXPECT_EQ(HallAnalysisHost(), "http://127.0.0.1:1");
  EXPECT_EQ(PortalAnalysisHost(), "http://127.0.0.1:2");
  unsetenv("BRIMTALE_HALL_ANALYSIS_HOST");
  unsetenv("BRIMTALE_PORTAL_ANALYSIS_HOST");
}

}  // namespace

// The pause grows from 1 s to the 60 s ceiling whatever the chance, and never vanishes.
TEST(RetryPacing, PausesDoubleUpToTheCeilingWithJitterOfAtMostHalf) {
  struct Case {
    uint32_t failures;
    uint32_t lowest, highest;
  };
  const Case cases[] = {{1, 500, 1000}, {2, 1000, 2000}, {6, 16000, 32000}, {7, 30000, 60000},
                        {40, 30000, 60000}, {4000000000u, 30000, 60000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failures);
    EXPECT_EQ(RetryDelayMs(c.failures, 0.0), c.lowest);
    EXPECT_EQ(RetryDelayMs(c.failures, 1.0), c.highest);
    EXPECT_EQ(RetryDelayMs(c.failures, 7.0), c.highest);  // out-of-range chance is held to 0..1
  }
}

// Five failures are logged, then one a minute with the count of those held back; a success
// starts the count again.
TEST(RetryPacing, LogThrottleWritesTheFirstFiveThenOneAMinute) {
  LogThrottle throttle;
  uint32_t heldBack = 99;
  uint32_t now = 0xFFFFF000u;  // the tick count wraps meanwhile
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(throttle.Admit(now += 1000, &heldBack));
  EXPECT_EQ(heldBack, 0u);
  int admitted = 0;
  for (int i = 0; i < 119; ++i) admitted += throttle.Admit(now += 1000, &heldBack);
  EXPECT_EQ(admitted, 1);
  EXPECT_EQ(heldBack, 59u);
  EXPECT_TRUE(throttle.Admit(now += 60000, &heldBack));
  EXPECT_EQ(heldBack, 59u);
  throttle.Reset();
  EXPECT_TRUE(throttle.Admit(now += 1, &heldBack));
  EXPECT_EQ(heldBack, 0u);
}
