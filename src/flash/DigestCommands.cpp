// CALCULATE_MD5 and DECOMPRESS: the movie checks and unpacks the files it has downloaded.
#include <string>

#include "base/Log.h"
#include "flash/CTransparentFlashPlayerControlWnd.h"
#include "ops/Md5.h"
#include "ops/QuickLz.h"

void CTransparentFlashPlayerControlWnd::CmdCalculateMd5(CmdArgs& args) {
  if (args.size() != 1) {
    WriteLog("CALCULATE_MD5, argc must equal: 1");
    return;
  }
  std::string digest = CalcMd5(args[0]);
  WriteLog("CalcMd5: %s, %s", args[0], digest.c_str());
  SendCompleteEvent("CALCULATE_MD5", digest, args[0]);
}

void CTransparentFlashPlayerControlWnd::CmdDecompress(CmdArgs& args) {
  if (args.size() != 2) {
    WriteLog("DECOMPRESS, argc must equal: 2");
    return;
  }
  WriteLog("Start Decompress file: %s => %s", args[0], args[1]);
  // The destination is replaced only by a whole, decoded result; on failure it stays as it was.
  int status = DecompressFile(args[0], args[1]);
  WriteLog("Start Decompress file result: %d", status);
  SendCompleteEvent(status == 0 ? "DECOMPRESS_COMPLETE" : "DECOMPRESS_FAILTE", args[0]);
}
