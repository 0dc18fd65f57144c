#include "login/LoginContract.h"

#include <cjson/cJSON.h>

#include <cstdio>
#include <memory>
#include <string_view>

namespace login {
namespace {

struct JsonDeleter {
  void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

}  // namespace

std::string BuildStartGameToken(const std::string& id, const std::string& ulgTime, const std::string& timeout,
                                const std::string& state, const std::string& zoneId) {
  JsonPtr token(cJSON_CreateObject());
  if (!token) return {};
  const std::pair<const char*, const std::string*> members[] = {
      {"id", &id}, {"state", &state}, {"timeout", &timeout}, {"ulg_time", &ulgTime}, {"zoneid", &zoneId}};
  for (const auto& [key, value] : members) {
    if (cJSON_AddStringToObject(token.get(), key, value->c_str()) == nullptr) return {};
  }
  char* printed = cJSON_PrintUnformatted(token.get());
  if (printed == nullptr) return {};
  std::string text = printed;
  cJSON_free(printed);
  return text;
}

std::string FindPortalUserId(const std::string& token) {
  JsonPtr json(cJSON_Parse(token.c_str()));
  if (!json || !cJSON_IsObject(json.get())) return {};
  const cJSON* member = cJSON_GetObjectItem(json.get(), "userid");
  if (cJSON_IsNumber(member)) return std::to_string(member->valueint);
  if (cJSON_IsString(member) && member->valuestring != nullptr) {
    std::string id = member->valuestring;
    // A cut id would report another user's login.
    if (id.size() > kMaxPortalUserIdLength) return {};
    return id;
  }
  return {};
}

int CenteredOffset(int screenExtent, int windowExtent) { return (screenExtent - windowExtent) >> 1; }

bool SwallowsKey(const platform::KeyMessage& key) {
  constexpr unsigned kF5 = 0x74, kEscape = 0x1B;
  if (key.keyDown && (key.virtualKey == kF5 || key.virtualKey == kEscape)) return true;
  if (key.control) {
    switch (key.virtualKey) {
      case 'N': case 'O': case 'L': case 'P':
      case 0x6B:  // numeric-pad plus
      case 0x6D:  // numeric-pad minus
      case 0xBB:  // plus
      case 0xBD:  // minus
        return true;
      default:
        break;
    }
  }
  if (key.alt && (key.virtualKey == 0x25 || key.virtualKey == 0x27)) return true;  // Left, Right
  return false;
}

bool ShowsContextMenu(platform::ContextMenuTarget target) {
  return target == platform::ContextMenuTarget::kTextField || target == platform::ContextMenuTarget::kTextSelection;
}

bool IsOpenableLink(const std::string& url) {
  return StartsWithIgnoringCase(url, "http://") || StartsWithIgnoringCase(url, "https://") ||
         StartsWithIgnoringCase(url, "mailto:");
}

}  // namespace login
