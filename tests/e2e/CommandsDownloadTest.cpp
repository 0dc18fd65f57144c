// Downloads asked for by the movie in a whole run, from a loopback server.
#include <gtest/gtest.h>

#include <mutex>

#include "e2e/CommandsRun.h"
#include "support/LoopbackHttpServer.h"

namespace {

using namespace std::chrono_literals;
using namespace commands_testing;

TEST(CommandsProcess, DownloadsFromTheMovieAreAnsweredInOrder) {
  testing_support::LoopbackHttpServer server;
  std::vector<std::string> targets;
  std::mutex targetsLock;
  server.server().set_keep_alive_max_count(1);
  server.server().Get(".*", [&](const httplib::Request& request, httplib::Response& response) {
    {
      std::lock_guard<std::mutex> hold(targetsLock);
      targets.push_back(request.target);
    }
    if (request.path == "/missing") {
      response.status = 404;
      response.set_content("no", "text/plain");
    } else {
      response.set_content(std::string(200000, 'd'), "application/octet-stream");
    }
  });
  server.Start();

  CommandsRun run("Commands Download");
  std::string got = run.Dir() + "/downloads/a b.bin";
  std::string missing = run.Dir() + "/downloads/missing.bin";
  std::string missingUrl = server.Url("/missing");
  run.Start("START_DOWNLOAD|" + server.Url("/files/a b.bin") + "," + got + "\nSTART_DOWNLOAD|" + missingUrl + "," +
            missing + "\n=2\nCLOSE_WINDOWS|");
  ASSERT_TRUE(run.WaitForEnd(60s));
  ProcessResult result = run.Finish();
  EXPECT_EQ(result.exitStatus, 0);

  {
    std::lock_guard<std::mutex> hold(targetsLock);
    EXPECT_EQ(targets, (std::vector<std::string>{"/files/a+b.bin", "/missing"}));
  }
  // Progress of the first, its answer, then the second's answer.
  std::vector<std::string> answers;
  for (const auto& line : MovieLines(result.output))
    if (line.rfind("COMPLETE_EVENT ", 0) == 0 || line.rfind("UPDATE_PROGRESS ", 0) == 0) answers.push_back(line);
  ASSERT_GE(answers.size(), 3u) << result.output;
  EXPECT_EQ(answers.front().rfind("UPDATE_PROGRESS ", 0), 0u);
  auto complete = std::find(answers.begin(), answers.end(), "COMPLETE_EVENT LOADER_COMPLETE," + got);
  auto failed = std::find(answers.begin(), answers.end(), "COMPLETE_EVENT LOADER_FAILTE," + missing);
  ASSERT_NE(complete, answers.end()) << result.output;
  ASSERT_NE(failed, answers.end()) << result.output;
  EXPECT_LT(complete, failed);
  EXPECT_EQ(testing_support::ReadFile(got), std::string(200000, 'd'));

  auto log = run.Log();
  auto url = std::find(log.begin(), log.end(), "Http Url: " + missingUrl);
  ASSERT_NE(url, log.end());
  ASSERT_NE(url + 1, log.end());
  EXPECT_EQ(*(url + 1), "Http Failed: " + missing);
  EXPECT_TRUE(std::none_of(log.begin(), log.end(), [](const std::string& m) { return m.rfind("HttpMgrEvent: ", 0) == 0; }));
}

}  // namespace
