#include <cstdio>
#include <cstring>

#include "app/LauncherApp.h"
#include "base/AppInfo.h"

namespace {

constexpr const char* kHelp = R"(Usage: brimtale-launcher [ID=...,PID=...,PROCPARA=...]
       brimtale-launcher --help | --version

The desktop launcher and patcher of Brimtale: it shows the portal's login page, then the game
window, whose movie patches and starts the game.

The configuration (one JSON object) is the first of these files that exists:
  config.txt beside the executable
  $XDG_CONFIG_HOME/brimtale/config.txt (else ~/.config/brimtale/config.txt)
  /etc/brimtale/config.txt
With "LauncherType": 1 the game hall starts the launcher with its comma-separated KEY=VALUE
arguments. The launcher needs an X11 display (XWayland on a Wayland desktop). Its log is
<documents folder>/zelqlog/log.txt, written when that folder exists.

  --help     print this help and end
  --version  print the version and end

See brimtale-launcher(6).
)";

// Whether the arguments ask for the help or the version, which are answered without starting.
// Anything else, the game hall's KEY=VALUE arguments among it, is left to the launcher.
bool AnsweredInformationOption(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0) {
      fputs(kHelp, stdout);
      return true;
    }
    if (strcmp(argv[i], "--version") == 0) {
      printf("brimtale-launcher %s\n", GetExeVersion(nullptr).c_str());
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (AnsweredInformationOption(argc, argv)) return fflush(stdout) == 0 && !ferror(stdout) ? 0 : 1;
  return theApp.Run();
}
