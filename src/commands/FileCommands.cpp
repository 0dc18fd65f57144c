#include "app/Log.h"
#include "flash/CTransparentFlashPlayerControlWnd.h"

void CTransparentFlashPlayerControlWnd::CmdGetNFolder(CmdArgs&) { WriteLog("%s: not built yet", "GET_NFOLDER"); }
void CTransparentFlashPlayerControlWnd::CmdGetParentFile(CmdArgs&) { WriteLog("%s: not built yet", "GET_PARENT_FILE"); }
void CTransparentFlashPlayerControlWnd::CmdDeleteCatalogue(CmdArgs&) { WriteLog("%s: not built yet", "DELETE_CATALOGUE"); }
void CTransparentFlashPlayerControlWnd::CmdDeleteSubDirectory(CmdArgs&) { WriteLog("%s: not built yet", "DELETE_SUB_DIRECTORY"); }
void CTransparentFlashPlayerControlWnd::CmdReadFile(CmdArgs&) { WriteLog("%s: not built yet", "READ_FILE"); }
void CTransparentFlashPlayerControlWnd::CmdWriteFile(CmdArgs&) { WriteLog("%s: not built yet", "WRITE_FILE"); }
void CTransparentFlashPlayerControlWnd::CmdFileReplaceName(CmdArgs&) { WriteLog("%s: not built yet", "FILE_REPLACE_NAME"); }
void CTransparentFlashPlayerControlWnd::CmdDeleteFile(CmdArgs&) { WriteLog("%s: not built yet", "DELETE_FILE"); }
void CTransparentFlashPlayerControlWnd::CmdHaveThisFile(CmdArgs&) { WriteLog("%s: not built yet", "HAVE_THIS_FILE"); }
void CTransparentFlashPlayerControlWnd::CmdRunFileAndStop(CmdArgs&) { WriteLog("%s: not built yet", "RUN_FILE_AND_STOP"); }
void CTransparentFlashPlayerControlWnd::CmdRunFile(CmdArgs&) { WriteLog("%s: not built yet", "RUN_FILE"); }
