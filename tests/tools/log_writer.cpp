// Writes log lines through WriteLog as its arguments say, so tests can watch a whole run of the
// log from a fresh process:
//   line:TEXT        one line with TEXT (as the argument of "%s")
//   format-lf        the format "first\nsecond" (a line feed inside the format)
//   long:N           one message of N 'x' characters
//   threads:T:N      T threads writing N numbered lines each at the same time
//   mkdir            creates <documents>/zelqlog
//   endless          numbered lines of 12,000 characters until it is killed
//   fork             a forked child writes "child PID TID" (its own, from the system) and ends;
//                    then this process writes "parent PID TID"
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/Log.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string op = argv[i];
    if (op.rfind("line:", 0) == 0) {
      WriteLog("%s", op.substr(5).c_str());
    } else if (op == "format-lf") {
      WriteLog("first\nsecond");
    } else if (op.rfind("long:", 0) == 0) {
      std::string message(std::stoul(op.substr(5)), 'x');
      WriteLog("%s", message.c_str());
    } else if (op.rfind("threads:", 0) == 0) {
      size_t colon = op.find(':', 8);
      int threads = std::stoi(op.substr(8, colon - 8));
      int lines = std::stoi(op.substr(colon + 1));
      std::vector<std::thread> workers;
      for (int t = 0; t < threads; ++t)
        workers.emplace_back([t, lines] {
          std::string filler(200, static_cast<char>('a' + t % 26));
          for (int n = 0; n < lines; ++n) WriteLog("thread %d line %d %s end", t, n, filler.c_str());
        });
      for (auto& worker : workers) worker.join();
    } else if (op == "fork") {
      auto ids = [] { return std::to_string(getpid()) + " " + std::to_string(syscall(SYS_gettid)); };
      pid_t child = fork();
      if (child == 0) {
        WriteLog("child %s", ids().c_str());
        _exit(0);
      }
      if (child < 0 || waitpid(child, nullptr, 0) != child) return 3;
      WriteLog("parent %s", ids().c_str());
    } else if (op == "endless") {
      std::string filler(12000, 'y');
      for (long n = 0;; ++n) WriteLog("endless %ld %s end", n, filler.c_str());
    } else if (op == "mkdir") {
      std::filesystem::create_directories(std::string(getenv("HOME")) + "/Documents/zelqlog");
    } else {
      return 2;
    }
  }
  return 0;
}
