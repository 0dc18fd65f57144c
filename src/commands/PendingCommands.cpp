// Seams for the window, process, environment and download commands: until they are built each
// one only notes in the log that it was called.
#include "app/Log.h"
#include "flash/CTransparentFlashPlayerControlWnd.h"

namespace {

void NotBuiltYet(const char* name) { WriteLog("%s: not built yet", name); }

}  // namespace

void CTransparentFlashPlayerControlWnd::CmdGetAccessToken(CmdArgs&) { NotBuiltYet("GETACCESSTOKEN"); }
void CTransparentFlashPlayerControlWnd::CmdSetConfig(CmdArgs&) { NotBuiltYet("SETCONFIG"); }
void CTransparentFlashPlayerControlWnd::CmdClearCache(CmdArgs&) { NotBuiltYet("CLEARCACHE"); }
void CTransparentFlashPlayerControlWnd::CmdGetEnvironment(CmdArgs&) { NotBuiltYet("GET_ENVIRONMENT"); }
void CTransparentFlashPlayerControlWnd::CmdSetEnvironment(CmdArgs&) { NotBuiltYet("SET_ENVIRONMENT"); }
void CTransparentFlashPlayerControlWnd::CmdGetMacAddr(CmdArgs&) { NotBuiltYet("GET_MACADDR"); }
void CTransparentFlashPlayerControlWnd::CmdWaitAndClose(CmdArgs&) { NotBuiltYet("WART_AND_CLOSE"); }
void CTransparentFlashPlayerControlWnd::CmdGetCurrentProcessId(CmdArgs&) { NotBuiltYet("GET_CURRENT_PROCESS_ID"); }
void CTransparentFlashPlayerControlWnd::CmdGetExeVer(CmdArgs&) { NotBuiltYet("GET_EXE_VER"); }
void CTransparentFlashPlayerControlWnd::CmdStartMove(CmdArgs&) { NotBuiltYet("START_MOVE"); }
void CTransparentFlashPlayerControlWnd::CmdGetVersion(CmdArgs&) { NotBuiltYet("GET_VERSION"); }
void CTransparentFlashPlayerControlWnd::CmdGetWindowsVer(CmdArgs&) { NotBuiltYet("GET_WINDOWS_VER"); }
void CTransparentFlashPlayerControlWnd::CmdKillProcess(CmdArgs&) { NotBuiltYet("KILL_PROCESS"); }
void CTransparentFlashPlayerControlWnd::CmdGetProcess(CmdArgs&) { NotBuiltYet("GET_PROCESS"); }
void CTransparentFlashPlayerControlWnd::CmdGetCmd(CmdArgs&) { NotBuiltYet("GET_CMD"); }
void CTransparentFlashPlayerControlWnd::CmdCloseWindows(CmdArgs&) { NotBuiltYet("CLOSE_WINDOWS"); }
void CTransparentFlashPlayerControlWnd::CmdMinWindows(CmdArgs&) { NotBuiltYet("MIN_WINDOWS"); }
void CTransparentFlashPlayerControlWnd::CmdReturnWindows(CmdArgs&) { NotBuiltYet("RETURN_WINDOWS"); }
void CTransparentFlashPlayerControlWnd::CmdLog(CmdArgs&) { NotBuiltYet("LOG"); }
void CTransparentFlashPlayerControlWnd::CmdStartDownload(CmdArgs&) { NotBuiltYet("START_DOWNLOAD"); }
void CTransparentFlashPlayerControlWnd::HttpMgrEvent(HttpTaskEvent*) { NotBuiltYet("HttpMgrEvent"); }
