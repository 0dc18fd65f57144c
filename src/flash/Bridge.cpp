// The script bridge: the command table, the runtime's event listener, the dispatcher and the
// answers to the movie. GUI thread only.
#include "flash/CTransparentFlashPlayerControlWnd.h"

#include <string>

#include "app/Log.h"
#include "flash/BridgeText.h"
#include "flash/FlashRuntime.h"
#include "platform/Process.h"

CTransparentFlashPlayerControlWnd::CTransparentFlashPlayerControlWnd() { InitCmdHandlers(); }

CTransparentFlashPlayerControlWnd::~CTransparentFlashPlayerControlWnd() = default;

void CTransparentFlashPlayerControlWnd::InitCmdHandlers() {
  using Self = CTransparentFlashPlayerControlWnd;
  // The movie's commands, in the order the movie's protocol lists them; each name once.
  static const struct {
    const char* name;
    CmdHandler handler;
  } kCommands[] = {
      {"GETACCESSTOKEN", &Self::CmdGetAccessToken},
      {"SETCONFIG", &Self::CmdSetConfig},
      {"CLEARCACHE", &Self::CmdClearCache},
      {"GET_NFOLDER", &Self::CmdGetNFolder},
      {"GET_ENVIRONMENT", &Self::CmdGetEnvironment},
      {"SET_ENVIRONMENT", &Self::CmdSetEnvironment},
      {"GET_MACADDR", &Self::CmdGetMacAddr},
      {"WART_AND_CLOSE", &Self::CmdWaitAndClose},
      {"GET_CURRENT_PROCESS_ID", &Self::CmdGetCurrentProcessId},
      {"GET_EXE_VER", &Self::CmdGetExeVer},
      {"START_MOVE", &Self::CmdStartMove},
      {"GET_VERSION", &Self::CmdGetVersion},
      {"GET_WINDOWS_VER", &Self::CmdGetWindowsVer},
      {"KILL_PROCESS", &Self::CmdKillProcess},
      {"GET_PROCESS", &Self::CmdGetProcess},
      {"GET_PARENT_FILE", &Self::CmdGetParentFile},
      {"GET_CMD", &Self::CmdGetCmd},
      {"CLOSE_WINDOWS", &Self::CmdCloseWindows},
      {"MIN_WINDOWS", &Self::CmdMinWindows},
      {"RETURN_WINDOWS", &Self::CmdReturnWindows},
      {"DELETE_CATALOGUE", &Self::CmdDeleteCatalogue},
      {"DELETE_SUB_DIRECTORY", &Self::CmdDeleteSubDirectory},
      {"READ_FILE", &Self::CmdReadFile},
      {"WRITE_FILE", &Self::CmdWriteFile},
      {"COMPRESS", &Self::CmdNothing},
      {"LOAD_SWF", &Self::CmdLoadSwf},
      {"CALCULATE_MD5", &Self::CmdCalculateMd5},
      {"DECOMPRESS", &Self::CmdDecompress},
      {"FILE_REPLACE_NAME", &Self::CmdFileReplaceName},
      {"DELETE_FILE", &Self::CmdDeleteFile},
      {"START_DOWNLOAD", &Self::CmdStartDownload},
      {"HAVE_THIS_FILE", &Self::CmdHaveThisFile},
      {"BEGIN_GAME", &Self::CmdNothing},
      {"RUN_FILE_AND_STOP", &Self::CmdRunFileAndStop},
      {"RUN_FILE", &Self::CmdRunFile},
      {"LOG", &Self::CmdLog},
  };
  for (const auto& command : kCommands) m_cmdHandlers.emplace(command.name, command.handler);
}

void CTransparentFlashPlayerControlWnd::FlashEventListener(HWND playerWindow, void* context, NMHDR* event) {
  if (event == nullptr || event->hwndFrom != playerWindow) return;
  switch (event->code) {
    case FPCN_FSCOMMAND: {
      auto* window = static_cast<CTransparentFlashPlayerControlWnd*>(context);
      const auto* info = reinterpret_cast<const SFPCFSCommandInfoStruct*>(event);
      if (window != nullptr) window->DispatchFSCommand(info->command, info->args);
      break;
    }
    case FPCN_TRACE: {
      const auto* trace = reinterpret_cast<const SFPCTraceStruct*>(event);
      if (trace->text != nullptr) platform::OutputDebugString(trace->text);
      break;
    }
    default:
      break;
  }
}

void CTransparentFlashPlayerControlWnd::DispatchFSCommand(const char* command, const char* arguments) {
  if (command == nullptr) command = "";
  if (arguments == nullptr) arguments = "";
  WriteLog("DispatchFSCommand: %s\t%s", command, arguments);

  auto found = m_cmdHandlers.find(command);
  if (found == m_cmdHandlers.end()) {
    std::string message = bridge::FormatHandlerNotFound(command);
    platform::OutputDebugString(message.c_str());
    // The same text, line feed included, so the log shows what the debugger channel shows.
    WriteLog("%s", message.c_str());
    return;
  }

  // The entries borrow from this copy, which outlives the handler's call.
  std::string text(arguments);
  CmdArgs args = bridge::SplitCommandArguments(text.data());
  (this->*(found->second))(args);
}

void CTransparentFlashPlayerControlWnd::CallFlashFunction(const std::string& name, const std::string& argument) {
  std::string request = bridge::FormatInvokeRequest(name, argument);
  // The movie's answer is not wanted, and a failed call is not retried.
  flash::FPCCallFunctionA(m_hFlashWnd, request.c_str(), nullptr, nullptr);
}

void CTransparentFlashPlayerControlWnd::SendCompleteEvent(const std::string& a) { CallFlashFunction("COMPLETE_EVENT", a); }

void CTransparentFlashPlayerControlWnd::SendCompleteEvent(const std::string& a, const std::string& b) {
  CallFlashFunction("COMPLETE_EVENT", a + "," + b);
}

void CTransparentFlashPlayerControlWnd::SendCompleteEvent(const std::string& a, const std::string& b,
                                                          const std::string& c) {
  CallFlashFunction("COMPLETE_EVENT", a + "," + b + "," + c);
}

void CTransparentFlashPlayerControlWnd::CmdNothing(CmdArgs&) {}

void CTransparentFlashPlayerControlWnd::CmdLoadSwf(CmdArgs& args) {
  if (args.size() != 1) {
    WriteLog("LOAD_SWF, argc must equal: 1");
    return;
  }
  flash::FPC_LoadMovieA(m_hFlashWnd, 0, args[0]);
}
