#include "InvokeRequest.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace player_runtime {
namespace {

void AppendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// Decodes one UTF-8 sequence at `position`; returns U+FFFD and one byte for anything invalid.
uint32_t DecodeUtf8(std::string_view text, size_t& position) {
  auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  uint8_t lead = byte(position);
  int length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
  if (length == 0 || position + length > text.size()) {
    ++position;
    return 0xFFFD;
  }
  uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
  for (int i = 1; i < length; ++i) {
    uint8_t next = byte(position + i);
    if ((next & 0xC0) != 0x80) {
      ++position;
      return 0xFFFD;
    }
    code = (code << 6) | (next & 0x3F);
  }
  static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    ++position;
    return 0xFFFD;
  }
  position += length;
  return code;
}

// A cursor over the request text that knows just enough XML for invoke requests.
class Reader {
 public:
  explicit Reader(std::string_view text) : m_text(text) {}

  void SkipBlanks() {
    while (m_position < m_text.size() && (m_text[m_position] == ' ' || m_text[m_position] == '\t' ||
                                          m_text[m_position] == '\r' || m_text[m_position] == '\n'))
      ++m_position;
  }
  bool Consume(std::string_view literal) {
    SkipBlanks();
    if (m_text.substr(m_position, literal.size()) != literal) return false;
    m_position += literal.size();
    return true;
  }
  bool PeekIs(std::string_view literal) {
    SkipBlanks();
    return m_text.substr(m_position, literal.size()) == literal;
  }
  // Reads up to `terminator` (not included) and steps over it.
  std::optional<std::string_view> Until(std::string_view terminator) {
    size_t end = m_text.find(terminator, m_position);
    if (end == std::string_view::npos) return std::nullopt;
    std::string_view part = m_text.substr(m_position, end - m_position);
    m_position = end + terminator.size();
    return part;
  }
  // The attributes of a start tag up to its '>' (or "/>": `selfClosing`).
  std::optional<std::string_view> TagRest(bool* selfClosing) {
    size_t end = m_position;
    char quote = 0;
    for (; end < m_text.size(); ++end) {
      char c = m_text[end];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '>') {
        break;
      }
    }
    if (end >= m_text.size()) return std::nullopt;
    std::string_view rest = m_text.substr(m_position, end - m_position);
    m_position = end + 1;
    *selfClosing = !rest.empty() && rest.back() == '/';
    if (*selfClosing) rest.remove_suffix(1);
    return rest;
  }

 private:
  std::string_view m_text;
  size_t m_position = 0;
};

std::optional<std::string> Attribute(std::string_view attributes, std::string_view name) {
  size_t position = 0;
  while (position < attributes.size()) {
    size_t at = attributes.find(name, position);
    if (at == std::string_view::npos) return std::nullopt;
    bool startsWord = at == 0 || attributes[at - 1] == ' ' || attributes[at - 1] == '\t' ||
                      attributes[at - 1] == '\n' || attributes[at - 1] == '\r';
    size_t next = at + name.size();
    while (next < attributes.size() && attributes[next] == ' ') ++next;
    if (!startsWord || next >= attributes.size() || attributes[next] != '=') {
      position = at + 1;
      continue;
    }
    ++next;
    while (next < attributes.size() && attributes[next] == ' ') ++next;
    if (next >= attributes.size() || (attributes[next] != '"' && attributes[next] != '\'')) return std::nullopt;
    char quote = attributes[next];
    size_t close = attributes.find(quote, next + 1);
    if (close == std::string_view::npos) return std::nullopt;
    return UnescapeXml(attributes.substr(next + 1, close - next - 1));
  }
  return std::nullopt;
}

bool IsJavaScriptNumber(std::string_view text) {
  if (text.empty()) return false;
  double value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && std::isfinite(value);
}

}  // namespace

std::string UnescapeXml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t position = 0;
  while (position < text.size()) {
    char c = text[position];
    size_t semicolon = c == '&' ? text.find(';', position) : std::string_view::npos;
    if (semicolon == std::string_view::npos || semicolon - position > 12) {
      out += c;
      ++position;
      continue;
    }
    std::string_view entity = text.substr(position + 1, semicolon - position - 1);
    bool known = true;
    if (entity == "amp") {
      out += '&';
    } else if (entity == "lt") {
      out += '<';
    } else if (entity == "gt") {
      out += '>';
    } else if (entity == "quot") {
      out += '"';
    } else if (entity == "apos") {
      out += '\'';
    } else if (entity.size() > 1 && entity[0] == '#') {
      bool hex = entity[1] == 'x' || entity[1] == 'X';
      std::string_view digits = entity.substr(hex ? 2 : 1);
      uint32_t code = 0;
      auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), code, hex ? 16 : 10);
      known = !digits.empty() && error == std::errc() && end == digits.data() + digits.size() && code != 0 &&
              code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
      if (known) AppendUtf8(out, code);
    } else {
      known = false;
    }
    if (!known) {
      out += c;
      ++position;
      continue;
    }
    position = semicolon + 1;
  }
  return out;
}

std::string JavaScriptString(std::string_view text) {
  std::string out = "\"";
  size_t position = 0;
  while (position < text.size()) {
    uint32_t code = DecodeUtf8(text, position);
    switch (code) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        // Control characters and the two line separators cannot stand in a literal as they are.
        if (code < 0x20 || code == 0x2028 || code == 0x2029) {
          static constexpr char kHex[] = "0123456789abcdef";
          out += "\\u";
          for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(code >> shift) & 0xF];
        } else {
          AppendUtf8(out, code);
        }
    }
  }
  out += '"';
  return out;
}

std::optional<InvokeCall> ParseInvokeCall(std::string_view request) {
  using Kind = InvokeArgument::Kind;
  Reader reader(request);
  if (!reader.Consume("<invoke")) return std::nullopt;
  bool selfClosing = false;
  auto attributes = reader.TagRest(&selfClosing);
  if (!attributes) return std::nullopt;
  InvokeCall result;
  auto name = Attribute(*attributes, "name");
  if (!name || name->empty()) return std::nullopt;
  result.name = std::move(*name);
  if (selfClosing) return result;

  if (reader.Consume("<arguments/>")) return reader.Consume("</invoke>") ? std::optional(result) : std::nullopt;
  if (reader.Consume("<arguments>")) {
    while (!reader.Consume("</arguments>")) {
      if (reader.Consume("<string/>")) {
        result.arguments.push_back({Kind::kString, {}});
      } else if (reader.Consume("<string>")) {
        auto text = reader.Until("</string>");
        // Character data holds no markup: a "<" there means the request was not escaped.
        if (!text || text->find('<') != std::string_view::npos) return std::nullopt;
        result.arguments.push_back({Kind::kString, UnescapeXml(*text)});
      } else if (reader.Consume("<number>")) {
        auto text = reader.Until("</number>");
        if (!text || !IsJavaScriptNumber(*text)) return std::nullopt;
        result.arguments.push_back({Kind::kNumber, std::string(*text)});
      } else if (reader.Consume("<true/>")) {
        result.arguments.push_back({Kind::kTrue, {}});
      } else if (reader.Consume("<false/>")) {
        result.arguments.push_back({Kind::kFalse, {}});
      } else if (reader.Consume("<null/>")) {
        result.arguments.push_back({Kind::kNull, {}});
      } else if (reader.Consume("<undefined/>")) {
        result.arguments.push_back({Kind::kUndefined, {}});
      } else {
        return std::nullopt;
      }
    }
  }
  if (!reader.Consume("</invoke>")) return std::nullopt;
  return result;
}

std::u16string Utf16OfUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t position = 0;
  while (position < text.size()) {
    uint32_t code = DecodeUtf8(text, position);
    if (code < 0x10000) {
      out += static_cast<char16_t>(code);
    } else {
      out += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    }
  }
  return out;
}

std::string Utf8OfUtf16(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    AppendUtf8(out, code);
  }
  return out;
}

std::string ValidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t position = 0;
  while (position < text.size()) {
    // Runs of plain ASCII go over as they are.
    size_t start = position;
    while (position < text.size() && static_cast<uint8_t>(text[position]) < 0x80) ++position;
    out.append(text.substr(start, position - start));
    if (position < text.size()) AppendUtf8(out, DecodeUtf8(text, position));
  }
  return out;
}

InvokeRequest ScriptOf(InvokeCall call) {
  using Kind = InvokeArgument::Kind;
  InvokeRequest script{std::move(call.name), {}};
  for (InvokeArgument& argument : call.arguments) {
    switch (argument.kind) {
      case Kind::kString: script.arguments.push_back(JavaScriptString(argument.text)); break;
      case Kind::kNumber: script.arguments.push_back(std::move(argument.text)); break;
      case Kind::kTrue: script.arguments.push_back("true"); break;
      case Kind::kFalse: script.arguments.push_back("false"); break;
      case Kind::kNull: script.arguments.push_back("null"); break;
      case Kind::kUndefined: script.arguments.push_back("undefined"); break;
    }
  }
  return script;
}

std::optional<InvokeRequest> ParseInvokeRequest(std::string_view request) {
  std::optional<InvokeCall> call = ParseInvokeCall(request);
  if (!call) return std::nullopt;
  return ScriptOf(std::move(*call));
}

}  // namespace player_runtime
