// The window, process and environment commands of the movie. GUI thread only, except the waiter
// that WART_AND_CLOSE starts.
#include "flash/CTransparentFlashPlayerControlWnd.h"

#include <climits>
#include <cstdio>
#include <new>
#include <string>
#include <thread>

#include "base/AppInfo.h"
#include "base/Log.h"
#include "base/Text.h"
#include "hall/QQHallMsgHelper.h"
#include "platform/Environment.h"
#include "platform/Process.h"
#include "platform/Processes.h"
#include "platform/SpecialFolders.h"
#include "platform/SystemInfo.h"

namespace {

constexpr int kFolderInternetCache = 32;  // CSIDL_INTERNET_CACHE

std::string FormatNumber(long long value) { return std::to_string(value); }

// A command with a count rule runs only with exactly `count` entries; otherwise its message goes
// to the log and the movie hears nothing.
bool HasEntries(const CmdArgs& args, size_t count, const char* countMessage) {
  if (args.size() == count) return true;
  WriteLog("%s", countMessage);
  return false;
}

// The address is looked up once per process, also when that lookup found none.
const std::string& GetMacAddress() {
  static const std::string address = platform::LookUpMacAddress();
  return address;
}

}  // namespace

void CTransparentFlashPlayerControlWnd::CmdGetAccessToken(CmdArgs&) {
  SendCompleteEvent("GETACCESSTOKEN", m_host.AccessToken());
}

void CTransparentFlashPlayerControlWnd::CmdSetConfig(CmdArgs& args) {
  if (!HasEntries(args, 2, "SETCONFIG, argc must equal: 2")) return;
  bool stored = m_host.MovieStrings().Set(ReadNumber(args[0]), args[1]);
  SendCompleteEvent("SETCONFIG", stored ? "1" : "0");
}

void CTransparentFlashPlayerControlWnd::CmdClearCache(CmdArgs&) {
  // The removal runs detached and its outcome is never examined: the answer is always "1".
  if (auto cache = platform::GetSpecialFolderPath(kFolderInternetCache))
    platform::StartRemovingDirectoryTree(*cache + "/Unity/WebPlayer/Cache");
  SendCompleteEvent("CLEARCACHE", "1");
}

void CTransparentFlashPlayerControlWnd::CmdGetEnvironment(CmdArgs& args) {
  if (!HasEntries(args, 1, "GET_ENVIRONMENT, argc must equal: 1")) return;
  // The whole value, whatever its length; empty when the variable does not exist.
  SendCompleteEvent("GET_ENVIRONMENT", platform::GetEnvironmentVariable(args[0]).value_or(""));
}

void CTransparentFlashPlayerControlWnd::CmdSetEnvironment(CmdArgs& args) {
  if (!HasEntries(args, 2, "SET_ENVIRONMENT, argc must equal: 2")) return;
  bool set = platform::SetEnvironmentVariable(args[0], args[1]);
  SendCompleteEvent("SET_ENVIRONMENT", set ? "1" : "0");
}

void CTransparentFlashPlayerControlWnd::CmdGetMacAddr(CmdArgs&) {
  // The empty third value gives the movie a trailing comma, which it expects.
  SendCompleteEvent("GET_MACADDR", GetMacAddress(), "");
}

void CTransparentFlashPlayerControlWnd::CmdWaitAndClose(CmdArgs& args) {
  if (!HasEntries(args, 1, "WART_AND_CLOSE, argc must equal: 1")) return;
  // Leaving the taskbar while still shown lets the window manager hear of it at once; the hint
  // also stays with the hidden window for any later showing.
  SetShownInTaskbar(false);
  ShowWindow(SW_HIDE);
  int handle = ReadNumber(args[0]);
  // The waiter touches neither the window nor the movie: the GUI thread goes on (the hidden movie
  // may still send commands) until the process ends under it. The exit sequence does not run.
  std::thread([handle] {
    if (handle != 0) platform::WaitForProcessHandle(handle);
    QQHallMsgHelper::SendQQHallMsg();
    platform::ExitProcessNow(0);
  }).detach();
}

void CTransparentFlashPlayerControlWnd::CmdGetCurrentProcessId(CmdArgs&) {
  SendCompleteEvent("GET_CURRENT_PROCESS_ID", FormatNumber(static_cast<int>(platform::GetCurrentProcessId())));
}

void CTransparentFlashPlayerControlWnd::CmdGetExeVer(CmdArgs& args) {
  if (!HasEntries(args, 1, "GET_EXE_VER, argc must equal: 1")) return;
  const char* path = args[0];
  // Running out of memory while the version is read and written out (std::bad_alloc) is the one
  // error this command reports to the movie; a file that cannot be read or carries no version
  // answers an empty version.
  std::string version;
  bool outOfMemory = false;
  try {
    version = GetExeVersion(path);
  } catch (const std::bad_alloc&) {
    outOfMemory = true;
  }
  if (outOfMemory)
    SendCompleteEvent("GET_EXE_VER_FAILED", path);
  else
    SendCompleteEvent("GET_EXE_VER", path, version);
}

void CTransparentFlashPlayerControlWnd::CmdStartMove(CmdArgs&) { SendCompleteEvent("START_MOVE"); }

void CTransparentFlashPlayerControlWnd::CmdGetVersion(CmdArgs&) { SendCompleteEvent("GET_VERSION", "1"); }

void CTransparentFlashPlayerControlWnd::CmdGetWindowsVer(CmdArgs&) {
  auto version = platform::GetOsVersion();
  if (!version) {
    SendCompleteEvent("GET_WINDOWS_VER_FAILTE");
    return;
  }
  char numbers[128];
  snprintf(numbers, sizeof numbers, "%d,%d,%d,%d,%d,%d,%d,%d", static_cast<int>(version->majorVersion),
           static_cast<int>(version->minorVersion), static_cast<int>(version->buildNumber),
           static_cast<int>(version->platformId), version->servicePackMajor, version->servicePackMinor,
           version->suiteMask, version->productType);
  SendCompleteEvent("GET_WINDOWS_VER", numbers);
}

void CTransparentFlashPlayerControlWnd::CmdKillProcess(CmdArgs& args) {
  if (!HasEntries(args, 1, "KILL_PROCESS, argc must equal: 1")) return;
  int id = ReadNumber(args[0]);
  // Whether the process existed or the signal was allowed is not told: the movie learns only
  // that the command ran. Nothing before the answer allocates, so the out-of-memory answer
  // "KILL_PROCESS_FAILTE" has no cause here and is never sent.
  platform::KillProcess(id);
  SendCompleteEvent("KILL_PROCESS", FormatNumber(id));
}

void CTransparentFlashPlayerControlWnd::CmdGetProcess(CmdArgs&) {
  auto processes = platform::ListProcesses();
  if (!processes) {
    SendCompleteEvent("GET_PROCESS_FAILTE");
    return;
  }
  std::string list;
  for (const auto& process : *processes) {
    list += FormatNumber(static_cast<int>(process.id));
    list += '?';
    // A Windows file name never holds '?' or '|', and the movie splits the list at them: a
    // process that named itself so would forge or hide entries.
    for (char c : process.exeFile) list += (c == '?' || c == '|') ? '_' : c;
    list += '|';
  }
  SendCompleteEvent("GET_PROCESS", list);
}

void CTransparentFlashPlayerControlWnd::CmdGetCmd(CmdArgs&) {
  std::string commandLine = platform::GetCommandLine();
  WriteLog("GetCommandLine: %s", commandLine.c_str());
  SendCompleteEvent("GET_CMD", commandLine);
}

void CTransparentFlashPlayerControlWnd::CmdCloseWindows(CmdArgs&) {
  // At once, without the exit sequence: downloads are cut off and nothing more is logged.
  platform::ExitProcessNow(0);
}

void CTransparentFlashPlayerControlWnd::CmdMinWindows(CmdArgs&) {
  ShowWindow(SW_MINIMIZE);
  SendCompleteEvent("MIN_WINDOWS");
}

void CTransparentFlashPlayerControlWnd::CmdReturnWindows(CmdArgs&) { SendCompleteEvent("RETURN_WINDOWS"); }

void CTransparentFlashPlayerControlWnd::CmdLog(CmdArgs& args) {
  if (!HasEntries(args, 1, "LOG, argc must equal: 1")) return;
  WriteLog("FlashLog: %s", args[0]);
}
