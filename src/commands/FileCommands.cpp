// The file and directory commands of the movie, and the operations behind them.
#include "commands/FileCommands.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/Log.h"
#include "flash/CTransparentFlashPlayerControlWnd.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Processes.h"
#include "platform/SpecialFolders.h"
#include "platform/Spawn.h"

namespace commands {
namespace {

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using ScopedFile = std::unique_ptr<FILE, FileCloser>;

constexpr char kHexDigits[] = "0123456789ABCDEF";

void DeleteTree(const platform::DirectoryHandle& directory) {
  for (const platform::DirectoryEntry& entry : directory.List("*")) {
    if (entry.isDirectory) {
      // A child that cannot be opened (or was swapped for a link meanwhile) is left alone; the
      // removal below then fails for it, as for anything else that could not be emptied.
      platform::DirectoryHandle child = directory.OpenChild(entry.name);
      if (child.IsOpen()) DeleteTree(child);
      directory.RemoveChildDirectory(entry.name);
    } else {
      directory.DeleteChildFile(entry.name);
    }
  }
}

// atoi's reading of a number, without its undefined overflow: out-of-range values saturate.
int ParseInt(const char* text) {
  errno = 0;
  long value = strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

}  // namespace

void AppendHex(std::span<const uint8_t> bytes, std::string& text) {
  size_t start = text.size();
  text.resize(start + bytes.size() * 2);
  char* out = text.data() + start;
  for (uint8_t byte : bytes) {
    *out++ = kHexDigits[byte >> 4];
    *out++ = kHexDigits[byte & 0x0F];
  }
}

int HexDigitValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  return 0;
}

std::string ReadFileHex(const char* path) {
  std::string text;
  ScopedFile file(fopen(path, "rb"));
  if (!file) return text;
  uint8_t buffer[65536];
  for (;;) {
    size_t count = fread(buffer, 1, sizeof buffer, file.get());
    if (count == 0) break;
    AppendHex(std::span<const uint8_t>(buffer, count), text);
  }
  return text;
}

bool WriteFileHex(const char* path, std::string_view hex) {
  if (hex.size() % 2 != 0) return false;
  FILE* file = fopen(path, "wb");
  if (file == nullptr) return false;
  bool written = true;
  uint8_t buffer[1024];
  size_t used = 0;
  for (size_t i = 0; i < hex.size() && written; i += 2) {
    buffer[used++] = static_cast<uint8_t>(HexDigitValue(hex[i]) * 16 + HexDigitValue(hex[i + 1]));
    if (used == sizeof buffer) {
      written = fwrite(buffer, 1, used, file) == used;
      used = 0;
    }
  }
  if (written && used > 0) written = fwrite(buffer, 1, used, file) == used;
  // The close flushes the last block: its failure (a full disk) is a failed write too.
  bool closed = fclose(file) == 0;
  return written && closed;
}

bool DeleteDirectory(bool removeSelf, const char* directory, int depth, const char* pattern) {
  if (depth != 0) pattern = "*.*";
  // The entries are looked for where directory and pattern together point: a pattern may carry
  // folders before its last component.
  std::string search = std::string(directory) + "/" + pattern;
  size_t slash = search.rfind('/');
  std::string folder = slash == 0 ? "/" : search.substr(0, slash);
  std::string namePattern = search.substr(slash + 1);

  platform::DirectoryHandle handle = platform::DirectoryHandle::Open(folder);
  if (handle.IsOpen()) {
    for (const platform::DirectoryEntry& entry : handle.List(namePattern)) {
      if (entry.isDirectory) {
        platform::DirectoryHandle child = handle.OpenChild(entry.name);
        if (child.IsOpen()) DeleteTree(child);
        handle.RemoveChildDirectory(entry.name);
      } else {
        handle.DeleteChildFile(entry.name);
      }
    }
  }
  if (removeSelf) return platform::RemoveDirectory(directory);
  return true;
}

bool FileExists(const char* path) { return platform::PathOrPatternExists(path); }

}  // namespace commands

void CTransparentFlashPlayerControlWnd::CmdGetNFolder(CmdArgs& args) {
  if (args.size() != 1) {
    WriteLog("GET_NFOLDER, argc must equal: 1");
    return;
  }
  SendCompleteEvent("GET_NFOLDER", platform::GetSpecialFolderPath(commands::ParseInt(args[0])).value_or(""));
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
