// The script bridge: the command table, the runtime's event listener, the dispatcher and the
// answers to the movie. GUI thread only.
#include "flash/CTransparentFlashPlayerControlWnd.h"

#include <string>
#include <string_view>

#include "base/Log.h"
#include "flash/BridgeText.h"
#include "flash/FlashRuntime.h"
#include "platform/Process.h"

namespace {

// A text of the runtime's event: `length` bytes when counted, else up to the first NUL.
std::string_view WholeText(const char* text, size_t length) {
  if (text == nullptr) return {};
  return length > 0 ? std::string_view(text, length) : std::string_view(text);
}

}  // namespace

CTransparentFlashPlayerControlWnd::CTransparentFlashPlayerControlWnd(GameWindowHost& host) : m_host(host) {
  InitCmdHandlers();
}

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
      if (window != nullptr)
        window->DispatchFSCommand(WholeText(info->command, info->commandLength), WholeText(info->args, info->argsLength));
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

void CTransparentFlashPlayerControlWnd::DispatchFSCommand(std::string_view command, std::string_view arguments) {
  KeepMovieForOffline();
  // The log shows each text as far as its first NUL.
  std::string name(command);
  std::string text(arguments);
  WriteLog("DispatchFSCommand: %s\t%s", name.c_str(), text.c_str());

  // A name holding a NUL is no command's name.
  auto found = m_cmdHandlers.find(name);
  if (found == m_cmdHandlers.end()) {
    std::string message = bridge::FormatHandlerNotFound(name.c_str());
    platform::OutputDebugString(message.c_str());
    // The same text, line feed included, so the log shows what the debugger channel shows.
    WriteLog("%s", message.c_str());
    return;
  }

  if (text.find('\0') != std::string::npos) {
    // A handler would see the text cut at the NUL, and act on another path than the movie named.
    WriteLog("%s: an argument holds a NUL, refused", name.c_str());
    std::string answer = bridge::FormatRefusal(name, text);
    if (!answer.empty()) CallFlashFunction("COMPLETE_EVENT", answer);
    return;
  }

  // The entries borrow from this copy, which outlives the handler's call.
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
  // The runtime's handed-over movies and failure page are the launcher's to show, not a movie's.
  if (bridge::IsLauncherOnlyPlayerUrl(args[0])) {
    WriteLog("LOAD_SWF refused: %s", args[0]);
    return;
  }
  // The player would fetch it itself, past every check of a signed site.
  if (m_host.SignedSite() != nullptr) {
    WriteLog("LOAD_SWF refused: %s: a movie the player loads itself cannot be verified", args[0]);
    return;
  }
  flash::FPC_LoadMovieA(m_hFlashWnd, 0, args[0]);
}
