#pragma once
// The XML call request of the player control and the script text it becomes. Pure functions.
//
//   <invoke name="F" returntype="xml"><arguments><string>text</string><number>1</number>
//     <true/><false/><null/><undefined/></arguments></invoke>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace player_runtime {

// One argument as the request gives it: a string unescaped, a number as written, else empty.
struct InvokeArgument {
  enum class Kind { kString, kNumber, kTrue, kFalse, kNull, kUndefined };
  Kind kind = Kind::kString;
  std::string text;
};

struct InvokeCall {
  std::string name;  // unescaped
  std::vector<InvokeArgument> arguments;
};

// nullopt when the text is not an invoke request, has no name, holds an argument of a kind
// other than those above, a number that is not a plain decimal, or markup inside a string.
std::optional<InvokeCall> ParseInvokeCall(std::string_view request);

struct InvokeRequest {
  std::string name;                    // unescaped
  std::vector<std::string> arguments;  // each as a JavaScript expression (strings as literals)
};

// The call with its arguments written as script.
InvokeRequest ScriptOf(InvokeCall call);
// ParseInvokeCall, with the arguments written as script.
std::optional<InvokeRequest> ParseInvokeRequest(std::string_view request);

// `text` read as UTF-8, with U+FFFD for each byte that is no part of a valid sequence (as
// JavaScriptString reads it).
std::string ValidUtf8(std::string_view text);

// The script engine's strings are UTF-16. Both conversions are whole: a NUL stays, bytes that
// are not UTF-8 and halves of surrogate pairs that stand alone become U+FFFD (the engine's own
// conversions return nothing, or cut the text short, at the first of them).
std::u16string Utf16OfUtf8(std::string_view text);
std::string Utf8OfUtf16(std::u16string_view text);

// XML character data with its entities replaced (&amp; &lt; &gt; &quot; &apos; and numeric
// references). An unknown or unterminated entity is kept as it is.
std::string UnescapeXml(std::string_view text);

// A JavaScript string literal (double-quoted) holding `text`, read as UTF-8; invalid bytes become
// U+FFFD, so the literal is always valid script.
std::string JavaScriptString(std::string_view text);

}  // namespace player_runtime
