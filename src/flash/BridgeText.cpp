#include "flash/BridgeText.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "brimtale/runtime_api.h"

namespace bridge {
namespace {

// Every padding entry points here; handlers only read their entries.
const char kEmptyEntry[] = "";

// The failure answers of the commands that have one; "{1}" and "{2}" stand for entries 1 and 2.
constexpr struct {
  const char* command;
  const char* answer;
} kRefusals[] = {
    {"SETCONFIG", "SETCONFIG,0"},
    {"GET_NFOLDER", "GET_NFOLDER,"},
    {"GET_ENVIRONMENT", "GET_ENVIRONMENT,"},
    {"SET_ENVIRONMENT", "SET_ENVIRONMENT,0"},
    {"GET_EXE_VER", "GET_EXE_VER_FAILED,{1}"},
    {"KILL_PROCESS", "KILL_PROCESS_FAILTE,{1}"},
    {"DELETE_CATALOGUE", "DELETE_CATALOGUE,0"},
    {"READ_FILE", "READ_FILE,"},
    {"WRITE_FILE", "WRITE_FILE,0"},
    {"CALCULATE_MD5", "CALCULATE_MD5,00000000000000000000000000000000,{1}"},
    {"DECOMPRESS", "DECOMPRESS_FAILTE,{1}"},
    {"FILE_REPLACE_NAME", "FILE_REPLACE_NAME,{1}"},
    {"DELETE_FILE", "DELETE_FILE_FAILTE,{1}"},
    {"START_DOWNLOAD", "LOADER_FAILTE,{2}"},
    {"HAVE_THIS_FILE", "NO_HAVE_FILE,{1}"},
    {"RUN_FILE_AND_STOP", "RUN_FILE_FAILTE,{1},2"},
    {"RUN_FILE", "RUN_FILE_FAILTE,{1},2"},
};

}  // namespace

std::string FormatRefusal(std::string_view command, std::string_view arguments) {
  for (const auto& refusal : kRefusals) {
    if (command != refusal.command) continue;
    std::string text(arguments.substr(0, arguments.find('\0')));
    std::vector<const char*> entries = SplitCommandArguments(text.data());
    // One pass, so that an entry's own text is never taken for a placeholder.
    std::string answer;
    for (const char* c = refusal.answer; *c != '\0'; ++c) {
      if (c[0] == '{' && (c[1] == '1' || c[1] == '2') && c[2] == '}') {
        size_t index = static_cast<size_t>(c[1] - '1');
        if (index < entries.size()) answer += entries[index];
        c += 2;
      } else {
        answer += *c;
      }
    }
    return answer;
  }
  return "";
}

std::vector<const char*> SplitCommandArguments(char* text) {
  const size_t commas = std::count(text, text + strlen(text), ',');
  std::vector<const char*> entries;
  entries.reserve(commas + 1);
  char* cursor = text;
  for (;;) {
    while (*cursor == ',') ++cursor;
    if (*cursor == '\0') break;
    entries.push_back(cursor);
    while (*cursor != ',' && *cursor != '\0') ++cursor;
    if (*cursor == '\0') break;
    *cursor++ = '\0';
  }
  while (entries.size() <= commas) entries.push_back(kEmptyEntry);
  return entries;
}

std::string EscapeXml(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': escaped += "&amp;"; break;
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      case '"': escaped += "&quot;"; break;
      case '\'': escaped += "&apos;"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

std::string FormatInvokeRequest(std::string_view name, std::string_view argument) {
  std::string request = "<invoke name=\"";
  request += EscapeXml(name);
  request += "\" returntype=\"xml\"><arguments><string>";
  request += EscapeXml(argument);
  request += "</string></arguments></invoke>";
  return request;
}

std::string FormatHandlerNotFound(std::string_view command) {
  constexpr std::string_view kPrefix = "CmdHandler is not found: ";
  const size_t room = kMaxNotFoundMessage - kPrefix.size() - 1;
  std::string message(kPrefix);
  message += command.substr(0, room);
  message += '\n';
  return message;
}

bool IsLauncherOnlyPlayerUrl(std::string_view url) {
  while (!url.empty() && static_cast<unsigned char>(url.front()) <= ' ') url.remove_prefix(1);
  for (std::string_view form : {BRIMTALE_HANDED_MOVIE_URL, BRIMTALE_FAILURE_PAGE_URL, BRIMTALE_SEALED_PLAYER_URL,
                                BRIMTALE_PREPARE_PLAYER_URL, BRIMTALE_HELD_MOVIE_URL, BRIMTALE_START_MOVIE_URL}) {
    if (url.size() < form.size()) continue;
    bool same = true;
    for (size_t i = 0; i < form.size() && same; ++i)
      same = std::tolower(static_cast<unsigned char>(url[i])) == static_cast<unsigned char>(form[i]);
    if (same) return true;
  }
  return false;
}

}  // namespace bridge
