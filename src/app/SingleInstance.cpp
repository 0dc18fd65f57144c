// The single-instance lock, and what a later copy does when another holds it: it asks the first
// copy to present its window over the lock's channel, else raises the window bearing the caption.
#include <cstdio>
#include <string>

#include "app/LauncherApp.h"
#include "base/Log.h"
#include "platform/Environment.h"
#include "platform/MainLoop.h"
#include "platform/TopLevelWindows.h"

namespace {

// How long a later copy waits for the first copy's answer: the first copy answers from its main
// loop, which a long command of its movie can hold up.
constexpr int kPresentAnswerTimeoutMs = 5000;
// Exit statuses: another copy runs and this one could not show it; no lock could be made at all.
constexpr int kExitFirstCopyNotRaised = 1;
constexpr int kExitNoInstanceLock = 1;

void SayAlreadyRunning(const char* outcome) {
  WriteLog("Already Running: %s", outcome);
  std::fprintf(stderr, "brimtale-launcher: already running; %s\n", outcome);
}

}  // namespace

bool CLauncherApp::CheckSingleInstance() {
  std::string name = "ZELQ_LAUNCHER_MUTEX_" + GetExeVersion(nullptr);
  if (name.size() > 118) name.resize(118);
  switch (m_hMutex.Acquire(name)) {
    case platform::InstanceLock::Result::kAcquired: {
      const std::string caption = m_config.LauncherCaption;
      bool serving = m_hMutex.ServePresentRequests([caption](const std::string& startupId) {
        bool presented = platform::PresentOwnWindow(caption, startupId);
        WriteLog("Present Requested: %s (%s)", startupId.c_str(), presented ? "presented" : "no window");
        return presented;
      });
      if (!serving) WriteLog("Instance Channel Failed: later copies raise this one by its caption");
      return true;
    }
    case platform::InstanceLock::Result::kHeldElsewhere:
      RaiseFirstCopy();
      return false;
    case platform::InstanceLock::Result::kFailed:
      break;
  }
  // Without a lock a second copy would run beside this one, both patching the same files.
  std::string places;
  for (const std::string& path : platform::InstanceLockCandidates(name)) places += (places.empty() ? "" : ", ") + path;
  WriteLog("No Instance Lock: none can be made in %s", places.c_str());
  std::fprintf(stderr, "brimtale-launcher: cannot make the single-instance lock in any of %s; not starting\n",
               places.c_str());
  m_exitCode = kExitNoInstanceLock;
  return false;
}

void CLauncherApp::RaiseFirstCopy() {
  // Read before the display is opened: GDK takes the variable out of the environment.
  const std::string startupId = platform::GetEnvironmentVariable("DESKTOP_STARTUP_ID").value_or("");
  switch (m_hMutex.AskHolderToPresent(startupId, kPresentAnswerTimeoutMs)) {
    case platform::InstanceLock::PresentAnswer::kPresented:
      SayAlreadyRunning("raised the first copy");
      return;
    case platform::InstanceLock::PresentAnswer::kNoWindow:
      SayAlreadyRunning("could not raise the first copy (it has no window to show)");
      m_exitCode = kExitFirstCopyNotRaised;
      return;
    case platform::InstanceLock::PresentAnswer::kNoAnswer:
      break;
  }
  // A first copy without the channel (an older version, or one busy for longer): its window is
  // looked for by caption, as on the original platform.
  WriteLog("Already Running: the first copy did not answer; its window is looked for by caption");
  if (!platform::InitGui()) {
    SayAlreadyRunning("could not raise the first copy (it did not answer, and no display is open)");
    m_exitCode = kExitFirstCopyNotRaised;
    return;
  }
  platform::NativeWindowId window = platform::FindTopLevelWindow(m_config.LauncherCaption);
  if (window != 0 && platform::BringWindowToForeground(window)) {
    SayAlreadyRunning("raised the first copy");
    return;
  }
  SayAlreadyRunning(("could not raise the first copy (it did not answer, and no window is titled \"" +
                     m_config.LauncherCaption + "\")").c_str());
  m_exitCode = kExitFirstCopyNotRaised;
}
