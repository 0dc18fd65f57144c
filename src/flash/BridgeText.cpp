#include "flash/BridgeText.h"

#include <algorithm>
#include <cstring>

namespace bridge {
namespace {

// Every padding entry points here; handlers only read their entries.
const char kEmptyEntry[] = "";

}  // namespace

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

}  // namespace bridge
