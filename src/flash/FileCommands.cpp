// The file and directory commands of the movie.
#include "ops/FileOperations.h"

#include <climits>
#include <cstdlib>
#include <string>

#include "base/Log.h"
#include "base/Text.h"
#include "flash/CTransparentFlashPlayerControlWnd.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Processes.h"
#include "platform/Spawn.h"
#include "platform/SpecialFolders.h"

void CTransparentFlashPlayerControlWnd::CmdGetNFolder(CmdArgs& args) {
  if (args.size() != 1) {
    WriteLog("GET_NFOLDER, argc must equal: 1");
    return;
  }
  SendCompleteEvent("GET_NFOLDER", platform::GetSpecialFolderPath(ReadNumber(args[0])).value_or(""));
}

void CTransparentFlashPlayerControlWnd::CmdGetParentFile(CmdArgs&) {
  SendCompleteEvent("GET_PARENT_FILE", platform::GetCurrentDirectory());
}

void CTransparentFlashPlayerControlWnd::CmdReadFile(CmdArgs& args) {
  if (args.size() != 1) {
    WriteLog("READ_FILE, argc must equal: 1");
    return;
  }
  SendCompleteEvent("READ_FILE", commands::ReadFileHex(args[0]));
}

void CTransparentFlashPlayerControlWnd::CmdWriteFile(CmdArgs& args) {
  if (args.size() != 2) {
    WriteLog("WRITE_FILE, argc must equal: 2");
    return;
  }
  SendCompleteEvent("WRITE_FILE", commands::WriteFileHex(args[0], args[1]) ? "1" : "0");
}

void CTransparentFlashPlayerControlWnd::CmdDeleteFile(CmdArgs& args) {
  if (args.size() != 1) {
    WriteLog("DELETE_FILE, argc must equal: 1");
    return;
  }
  SendCompleteEvent(platform::DeleteFile(args[0]) ? "DELETE_FILE_SUCC" : "DELETE_FILE_FAILTE", args[0]);
}

void CTransparentFlashPlayerControlWnd::CmdDeleteCatalogue(CmdArgs& args) {
  if (args.size() != 2) {
    WriteLog("DELETE_CATALOGUE, argc must equal: 2");
    return;
  }
  SendCompleteEvent("DELETE_CATALOGUE", commands::DeleteDirectory(true, args[0], 1, args[1]) ? "1" : "0");
}

void CTransparentFlashPlayerControlWnd::CmdDeleteSubDirectory(CmdArgs& args) {
  if (args.size() != 2) {
    WriteLog("DELETE_SUB_DIRECTORY, argc must equal: 2");
    return;
  }
  commands::DeleteDirectory(false, args[0], 0, args[1]);
  SendCompleteEvent("DELETE_SUB_DIRECTORY", "1");
}

void CTransparentFlashPlayerControlWnd::CmdHaveThisFile(CmdArgs& args) {
  if (args.size() != 1) {
    WriteLog("HAVE_THIS_FILE, argc must equal: 1");
    return;
  }
  SendCompleteEvent(commands::FileExists(args[0]) ? "HAVE_FILE" : "NO_HAVE_FILE", args[0]);
}

void CTransparentFlashPlayerControlWnd::CmdFileReplaceName(CmdArgs& args) {
  if (args.size() != 2) {
    WriteLog("FILE_REPLACE_NAME, argc must equal: 2");
    return;
  }
  // The movie learns nothing of the outcome; an existing target is never replaced.
  platform::RenameNoReplace(args[0], args[1]);
  SendCompleteEvent("FILE_REPLACE_NAME", args[0]);
}

namespace {

enum class AfterStart { Return, WaitForEnd };

// RUN_FILE and RUN_FILE_AND_STOP: entry 1 the file, entry 2 the working directory, the rest the
// parameters joined by blanks. Both answer under the name "RUN_FILE".
void RunFile(CTransparentFlashPlayerControlWnd& window, const CmdArgs& args, AfterStart after) {
  std::string file = args[0];
  std::string workingDirectory = args.size() >= 2 ? args[1] : "";
  std::string parameters;
  for (size_t i = 2; i < args.size(); ++i) {
    if (i > 2) parameters += ' ';
    parameters += args[i];
  }
  platform::ShellOpenResult started = platform::ShellOpen(file, parameters, workingDirectory);
  if (after == AfterStart::WaitForEnd && started.instApp > 32 && started.processHandle != 0) {
    platform::WaitForProcessHandle(started.processHandle);
    platform::ReapEndedChildren();
  }
  if (started.instApp <= 32)
    window.SendCompleteEvent("RUN_FILE_FAILTE", file, std::to_string(started.instApp));
  else
    window.SendCompleteEvent("RUN_FILE", file, std::to_string(started.processHandle));
}

}  // namespace

void CTransparentFlashPlayerControlWnd::CmdRunFile(CmdArgs& args) {
  if (args.size() < 1) {
    WriteLog("RUN_FILE, argc must GreaterEqual: 1");
    return;
  }
  RunFile(*this, args, AfterStart::Return);
}

void CTransparentFlashPlayerControlWnd::CmdRunFileAndStop(CmdArgs& args) {
  if (args.size() < 1) {
    WriteLog("RUN_FILE_AND_STOP, argc must GreaterEqual: 1");
    return;
  }
  RunFile(*this, args, AfterStart::WaitForEnd);
}
