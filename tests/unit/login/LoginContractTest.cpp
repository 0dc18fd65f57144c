// The login page contract's rules that need no window: token formats, centring, key and menu
// filters, link schemes, and the colour key's shape.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <cstring>
#include <vector>

#include "login/LoginContract.h"
#include "platform/WebDialog.h"

namespace {

using platform::ContextMenuTarget;
using platform::KeyMessage;
using platform::ShapeRect;

TEST(StartGameToken, KeysInTheirOrderFromTheShuffledParameters) {
  EXPECT_EQ(login::BuildStartGameToken("a", "b", "c", "d", "e"),
            R"({"id":"a","state":"d","timeout":"c","ulg_time":"b","zoneid":"e"})");
  EXPECT_EQ(login::BuildStartGameToken("", "", "", "", ""),
            R"({"id":"","state":"","timeout":"","ulg_time":"","zoneid":""})");
}

TEST(StartGameToken, EveryValueSurvivesAsAJsonString) {
  const std::vector<std::string> values = {"q\"uote", "back\\slash", "new\nline\ttab", "\x01\x1f",
                                           "ünïcødé 登录", "\",\"state\":\"forged"};
  for (const std::string& value : values) {
    SCOPED_TRACE(value);
    const std::string token = login::BuildStartGameToken(value, "u", "t", "s", "z");
    cJSON* json = cJSON_Parse(token.c_str());
    ASSERT_NE(json, nullptr) << token;
    EXPECT_EQ(cJSON_GetArraySize(json), 5);
    EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(json, "id")->valuestring, value.c_str());
    EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(json, "state")->valuestring, "s");
    cJSON_Delete(json);
  }
}

TEST(PortalUserId, FoundInAJsonObjectWhateverTheCase) {
  struct Case {
    const char* token;
    const char* id;
  };
  const Case cases[] = {
      {R"({"userid": 12345})", "12345"},
      {R"({"UserId": 12345})", "12345"},
      {R"({"USERID": "abc"})", "abc"},
      {R"({"userid": -7.9})", "-7"},
      {R"({"other": 1, "userid": "x y"})", "x y"},
      {R"({"userid": ""})", ""},
      {R"({"userid": true})", ""},
      {R"({"userid": null})", ""},
      {R"({"userid": {"a": 1}})", ""},
      {R"({"user": 1})", ""},
      {R"([{"userid": 1}])", ""},
      {R"("userid")", ""},
      {"not json", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(login::FindPortalUserId(c.token), c.id) << c.token;
}

TEST(PortalUserId, TooLongTextGivesNoId) {
  const std::string longest(login::kMaxPortalUserIdLength, 'x');
  EXPECT_EQ(login::FindPortalUserId(R"({"userid": ")" + longest + R"("})"), longest);
  EXPECT_EQ(login::FindPortalUserId(R"({"userid": ")" + longest + R"(x"})"), "");
}

TEST(Centring, HalvesTheDifferenceByArithmeticShift) {
  struct Case {
    int screen, window, offset;
  };
  for (const Case& c : {Case{1920, 800, 560}, Case{1080, 600, 240}, Case{1920, 1921, -1}, Case{1080, 1081, -1},
                        Case{1920, 2001, -41}, Case{1920, 0, 960}, Case{101, 100, 0}}) {
    EXPECT_EQ(login::CenteredOffset(c.screen, c.window), c.offset) << c.screen << " " << c.window;
  }
}

TEST(KeyFilter, SwallowsTheBrowsersOwnKeys) {
  auto down = [](unsigned key) { return KeyMessage{true, key, false, false}; };
  auto up = [](unsigned key) { return KeyMessage{false, key, false, false}; };
  auto ctrl = [](unsigned key, bool keyDown) { return KeyMessage{keyDown, key, true, false}; };
  // With Alt held a press is a system key message, never a plain key-down.
  auto alt = [](unsigned key, bool) { return KeyMessage{false, key, false, true}; };
  struct Case {
    const char* what;
    KeyMessage key;
    bool swallowed;
  };
  const Case cases[] = {
      {"F5", down(0x74), true},
      {"Esc", down(0x1B), true},
      {"F5 released", up(0x74), false},
      {"Esc released", up(0x1B), false},
      {"Ctrl+N", ctrl('N', true), true},
      {"Ctrl+O", ctrl('O', true), true},
      {"Ctrl+L", ctrl('L', true), true},
      {"Ctrl+P released", ctrl('P', false), true},
      {"Ctrl+numpad plus", ctrl(0x6B, true), true},
      {"Ctrl+numpad minus", ctrl(0x6D, true), true},
      {"Ctrl+plus", ctrl(0xBB, true), true},
      {"Ctrl+minus", ctrl(0xBD, true), true},
      {"Alt+Left", alt(0x25, true), true},
      {"Alt+Right released", alt(0x27, false), true},
      {"Ctrl+C", ctrl('C', true), false},
      {"Ctrl+V", ctrl('V', true), false},
      {"Ctrl+A", ctrl('A', true), false},
      {"Ctrl+Left", ctrl(0x25, true), false},
      {"Alt+N", alt('N', true), false},
      {"N", down('N'), false},
      {"Left", down(0x25), false},
      {"F4", down(0x73), false},
      {"plus", down(0xBB), false},
  };
  for (const Case& c : cases) EXPECT_EQ(login::SwallowsKey(c.key), c.swallowed) << c.what;
}

TEST(ContextMenu, OnlyInTextFieldsAndSelections) {
  EXPECT_TRUE(login::ShowsContextMenu(ContextMenuTarget::kTextField));
  EXPECT_TRUE(login::ShowsContextMenu(ContextMenuTarget::kTextSelection));
  EXPECT_FALSE(login::ShowsContextMenu(ContextMenuTarget::kOther));
}

TEST(OpenLink, OnlyWebAndMailSchemes) {
  for (const char* url : {"http://a/", "https://a/b?c", "HTTPS://A/", "mailto:x@y", "MailTo:x@y"})
    EXPECT_TRUE(login::IsOpenableLink(url)) << url;
  for (const char* url : {"", "http", "http:/a", "file:///etc/passwd", "/usr/bin/xterm", "javascript:alert(1)",
                          "ftp://a/", " http://a/", "httpx://a", "data:text/html,x", "smb://host/share"})
    EXPECT_FALSE(login::IsOpenableLink(url)) << url;
}

// An image of premultiplied ARGB pixels, drawn row by row from characters:
// '.' magenta, ' ' fully transparent, '#' opaque blue, '~' half-transparent magenta.
struct Image {
  int width = 0;
  int height = 0;
  int stride = 0;
  std::vector<uint8_t> bytes;
};

Image Draw(const std::vector<std::string>& rows, int padding = 0) {
  Image image;
  image.height = static_cast<int>(rows.size());
  image.width = static_cast<int>(rows[0].size());
  image.stride = image.width * 4 + padding;
  image.bytes.assign(static_cast<size_t>(image.stride) * image.height, 0xAB);  // padding is never read
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      uint32_t pixel = 0;
      switch (rows[y][x]) {
        case '.': pixel = 0xFFFF00FFu; break;
        case '#': pixel = 0xFF3060A0u; break;
        case '~': pixel = 0x80800080u; break;
        default: pixel = 0; break;
      }
      std::memcpy(&image.bytes[static_cast<size_t>(y) * image.stride + x * 4], &pixel, 4);
    }
  }
  return image;
}

}  // namespace

namespace platform {
void PrintTo(const ShapeRect& rect, std::ostream* out) {
  *out << "{" << rect.x << "," << rect.y << " " << rect.width << "x" << rect.height << "}";
}
}  // namespace platform

namespace {

std::vector<ShapeRect> ShapeOf(const Image& image) {
  return platform::VisibleShapeOf(image.bytes.data(), image.width, image.height, image.stride);
}

TEST(ColourKeyShape, CutsOutMagentaAndTransparentPixels) {
  Image image = Draw({
      "......",
      ".##...",
      ".##  #",
      "......",
  }, 8);
  EXPECT_EQ(ShapeOf(image), (std::vector<ShapeRect>{{1, 1, 2, 1}, {1, 2, 2, 1}, {5, 2, 1, 1}}));
}

TEST(ColourKeyShape, RowsWithTheSameRunsShareOneBand) {
  Image image = Draw({
      "#..#",
      "#..#",
      "#..#",
      "####",
      "#..#",
  });
  EXPECT_EQ(ShapeOf(image), (std::vector<ShapeRect>{{0, 0, 1, 3}, {3, 0, 1, 3}, {0, 3, 4, 1}, {0, 4, 1, 1}, {3, 4, 1, 1}}));
}

TEST(ColourKeyShape, OnlyExactOpaqueMagentaIsKeyed) {
  // Half-transparent magenta (an anti-aliased edge) stays visible, as on a colour-keyed window.
  EXPECT_EQ(ShapeOf(Draw({".~."})), (std::vector<ShapeRect>{{1, 0, 1, 1}}));
}

TEST(ColourKeyShape, AllKeyedGivesAnEmptyShapeAndBadInputNone) {
  EXPECT_TRUE(ShapeOf(Draw({"...", "   "})).empty());
  Image image = Draw({"##"});
  EXPECT_TRUE(platform::VisibleShapeOf(nullptr, 2, 1, 8).empty());
  EXPECT_TRUE(platform::VisibleShapeOf(image.bytes.data(), 2, 1, 4).empty());  // stride shorter than a row
  EXPECT_EQ(ShapeOf(Draw({"##", "##"})), (std::vector<ShapeRect>{{0, 0, 2, 2}}));
}

}  // namespace
