// The XML call request as the runtime reads it, and the script literals it writes for the page.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "InvokeRequest.h"

namespace {

using namespace player_runtime;

TEST(InvokeRequest, TheBridgesRequestGivesTheNameAndOneStringLiteral) {
  auto request = ParseInvokeRequest(
      R"(<invoke name="COMPLETE_EVENT" returntype="xml"><arguments><string>READ_FILE,00AB10</string></arguments></invoke>)");
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(request->name, "COMPLETE_EVENT");
  EXPECT_EQ(request->arguments, std::vector<std::string>{R"("READ_FILE,00AB10")"});
}

TEST(InvokeRequest, EntitiesAreUnescapedInValuesAndNames) {
  auto request = ParseInvokeRequest(
      "<invoke name=\"A&amp;B\" returntype=\"xml\"><arguments><string>a&amp;b&lt;c&gt;,&quot;d&apos; "
      "&#252;&#x20AC;&amp;lt;</string></arguments></invoke>");
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(request->name, "A&B");
  EXPECT_EQ(request->arguments, std::vector<std::string>{"\"a&b<c>,\\\"d' ü€&lt;\""});
}

TEST(InvokeRequest, EveryArgumentKindBecomesItsScriptValue) {
  auto request = ParseInvokeRequest(
      "<invoke name=\"f\"><arguments><string/><string></string><number>-1.5e3</number><true/><false/><null/>"
      "<undefined/></arguments></invoke>");
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(request->arguments,
            (std::vector<std::string>{"\"\"", "\"\"", "-1.5e3", "true", "false", "null", "undefined"}));
  EXPECT_TRUE(ParseInvokeRequest("<invoke name='f' returntype='xml'/>").value().arguments.empty());
  EXPECT_TRUE(ParseInvokeRequest("<invoke name=\"f\"><arguments/></invoke>").has_value());
  EXPECT_TRUE(ParseInvokeRequest(" <invoke name=\"f\" >\n <arguments>\n</arguments>\n</invoke>").has_value());
}

TEST(InvokeRequest, AnythingElseIsRefused) {
  for (const char* text : {
           "",
           "<invoke>",
           "<invoke returntype=\"xml\"></invoke>",
           "<invoke name=\"\"></invoke>",
           "<invoke name=\"f\"><arguments><string>x</arguments></invoke>",
           "<invoke name=\"f\"><arguments><number>alert(1)</number></arguments></invoke>",
           "<invoke name=\"f\"><arguments><object/></arguments></invoke>",
           "<invoke name=\"f\"><arguments><string>x</string></arguments>",
           "<invoke name=\"f\"><arguments><string>a<b</string></arguments></invoke>",
           "<call name=\"f\"/>",
       })
    EXPECT_FALSE(ParseInvokeRequest(text).has_value()) << text;
}

TEST(UnescapeXml, UnknownBrokenAndForbiddenReferencesStayAsTheyAre) {
  EXPECT_EQ(UnescapeXml("&nbsp; &amp &#0; &#xD800; &#x110000; &#; &#x; & ;"),
            "&nbsp; &amp &#0; &#xD800; &#x110000; &#; &#x; & ;");
  EXPECT_EQ(UnescapeXml("&#65;&#x42;&#x1F600;"), "AB\xF0\x9F\x98\x80");
}

TEST(JavaScriptString, EveryTextBecomesAValidLiteral) {
  EXPECT_EQ(JavaScriptString(""), "\"\"");
  EXPECT_EQ(JavaScriptString("a\"b\\c"), R"("a\"b\\c")");
  EXPECT_EQ(JavaScriptString("l1\nl2\r\t"), R"("l1\nl2\r\t")");
  EXPECT_EQ(JavaScriptString(std::string("\x01\x1f", 2)), R"("\u0001\u001f")");
  EXPECT_EQ(JavaScriptString("\xE2\x80\xA8\xE2\x80\xA9"), R"("\u2028\u2029")");
  EXPECT_EQ(JavaScriptString("ü€😀</script>"), "\"ü€😀</script>\"");
  // Bytes that are not UTF-8 (a lone continuation, an overlong form, a cut sequence, a surrogate).
  EXPECT_EQ(JavaScriptString("a\x80" "b\xC0\xAF" "c\xE2\x82" "d\xED\xA0\x80"),
            "\"a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD" "c\xEF\xBF\xBD\xEF\xBF\xBD" "d\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");
  // The page's channel carries texts as bytes: they are mended the same way, and nothing else
  // changes (a NUL, line separators and markup stay as they are).
  EXPECT_EQ(ValidUtf8("a\x80" "b\xC0\xAF" "c\xE2\x82" "d\xED\xA0\x80"),
            "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD" "c\xEF\xBF\xBD\xEF\xBF\xBD" "d\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  const std::string kept("ü€😀\0\xE2\x80\xA8</script>\"", 23);
  EXPECT_EQ(ValidUtf8(kept), kept);
}

// The page's end of the channel hands texts to the script engine as UTF-16 and takes them back.
TEST(EngineText, ConversionsKeepTheWholeTextAndMendWhatIsNoText) {
  const std::string kept("ü€😀\0\xE2\x80\xA8</script>\"", 23);
  EXPECT_EQ(Utf16OfUtf8(kept), std::u16string(u"ü€😀\0\u2028</script>\"", 16));
  EXPECT_EQ(Utf8OfUtf16(Utf16OfUtf8(kept)), kept);
  EXPECT_EQ(Utf16OfUtf8("a\x80" "b\xED\xA0\x80" "c"), u"a\uFFFDb\uFFFD\uFFFD\uFFFDc");
  // A half of a surrogate pair alone, first, last, or two first halves in a row: the engine's own
  // conversion ended the text at the first of them.
  const char16_t lone[] = {u'p', 0xD800, u'q', 0xDC00, 0xD83D, 0xD83D, 0xDE00, 0xDBFF};
  EXPECT_EQ(Utf8OfUtf16(std::u16string_view(lone, 8)),
            "p\xEF\xBF\xBDq\xEF\xBF\xBD\xEF\xBF\xBD\xF0\x9F\x98\x80\xEF\xBF\xBD");
  EXPECT_EQ(Utf8OfUtf16(u""), "");
  EXPECT_EQ(Utf16OfUtf8(""), u"");
}

}  // namespace
