#include "app/Log.h"
#include "flash/CTransparentFlashPlayerControlWnd.h"

void CTransparentFlashPlayerControlWnd::CmdCalculateMd5(CmdArgs&) { WriteLog("%s: not built yet", "CALCULATE_MD5"); }
void CTransparentFlashPlayerControlWnd::CmdDecompress(CmdArgs&) { WriteLog("%s: not built yet", "DECOMPRESS"); }
