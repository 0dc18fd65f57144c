// libFuzzer target: the splitting of a command's argument text, and the escaping of the XML
// request that carries an answer back. Checks the invariants the handlers rely on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "flash/BridgeText.h"

namespace {

void Require(bool condition) {
  if (!condition) abort();
}

std::string Unescape(std::string_view text) {
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      plain += text[i];
      continue;
    }
    size_t end = text.find(';', i);
    Require(end != std::string_view::npos);
    std::string_view entity = text.substr(i + 1, end - i - 1);
    if (entity == "amp") plain += '&';
    else if (entity == "lt") plain += '<';
    else if (entity == "gt") plain += '>';
    else if (entity == "quot") plain += '"';
    else if (entity == "apos") plain += '\'';
    else Require(false);
    i = end;
  }
  return plain;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The runtime hands the bridge a C string: the text ends at its first NUL.
  std::string text(reinterpret_cast<const char*>(data), size);
  text.resize(strlen(text.c_str()));
  const std::string original = text;

  auto entries = bridge::SplitCommandArguments(text.data());

  size_t commas = 0;
  std::string withoutCommas;
  for (char c : original) {
    if (c == ',') ++commas;
    else withoutCommas += c;
  }
  Require(entries.size() == commas + 1);

  // The non-empty fields come first, in order, borrowed from the text; empty ones only after.
  std::string joined;
  bool paddingStarted = false;
  for (const char* entry : entries) {
    size_t length = strlen(entry);
    if (length == 0) {
      paddingStarted = true;
      continue;
    }
    Require(!paddingStarted);
    Require(entry >= text.data() && entry + length <= text.data() + text.size());
    Require(memchr(entry, ',', length) == nullptr);
    joined.append(entry, length);
  }
  Require(joined == withoutCommas);

  // Escaped text holds no markup character and reads back unchanged.
  std::string escaped = bridge::EscapeXml(original);
  Require(escaped.find_first_of("<>\"'") == std::string::npos);
  Require(Unescape(escaped) == original);
  std::string request = bridge::FormatInvokeRequest(original, original);
  Require(request.size() == 2 * escaped.size() + strlen("<invoke name=\"\" returntype=\"xml\"><arguments><string>"
                                                         "</string></arguments></invoke>"));
  return 0;
}
