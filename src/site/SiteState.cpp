#include "site/SiteState.h"

#include <cjson/cJSON.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <memory>

#include "platform/Files.h"
#include "platform/TempFiles.h"

namespace {

constexpr int kFormat = 1;
// An index is at most kMaxSiteIndexBytes; as a JSON string it may grow by escapes.
constexpr size_t kMaxStateBytes = 3 * kMaxSiteIndexBytes;
// The largest whole number a JSON number (a double) holds exactly.
constexpr double kLargestExactNumber = 9007199254740992.0;

struct JsonFree {
  void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using Json = std::unique_ptr<cJSON, JsonFree>;

std::optional<int64_t> WholeNumber(const cJSON* object, const char* name) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
  if (!cJSON_IsNumber(item)) return std::nullopt;
  const double value = item->valuedouble;
  if (!(value >= 0 && value <= kLargestExactNumber) || std::floor(value) != value) return std::nullopt;
  return static_cast<int64_t>(value);
}

}  // namespace

std::string FormatSiteState(const SiteState& state) {
  Json json(cJSON_CreateObject());
  cJSON_AddNumberToObject(json.get(), "format", kFormat);
  cJSON_AddNumberToObject(json.get(), "version", static_cast<double>(state.version));
  cJSON_AddNumberToObject(json.get(), "accepted", static_cast<double>(state.accepted));
  cJSON* keys = cJSON_AddArrayToObject(json.get(), "keys");
  for (const SitePublicKey& key : state.keys) cJSON_AddItemToArray(keys, cJSON_CreateString(FormatSitePublicKey(key).c_str()));
  cJSON_AddStringToObject(json.get(), "index", state.index.c_str());
  std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_PrintUnformatted(json.get()), cJSON_free);
  return text ? std::string(text.get()) + "\n" : std::string();
}

std::optional<SiteState> ParseSiteState(std::string_view text) {
  Json json(cJSON_ParseWithLength(text.data(), text.size()));
  if (!cJSON_IsObject(json.get()) || WholeNumber(json.get(), "format") != kFormat) return std::nullopt;
  SiteState state;
  const std::optional<int64_t> version = WholeNumber(json.get(), "version");
  const std::optional<int64_t> accepted = WholeNumber(json.get(), "accepted");
  const cJSON* index = cJSON_GetObjectItemCaseSensitive(json.get(), "index");
  const cJSON* keys = cJSON_GetObjectItemCaseSensitive(json.get(), "keys");
  if (!version || !accepted || !cJSON_IsString(index) || !cJSON_IsArray(keys)) return std::nullopt;
  state.version = *version;
  state.accepted = *accepted;
  state.index = index->valuestring;
  const cJSON* key = nullptr;
  cJSON_ArrayForEach(key, keys) {
    std::optional<SitePublicKey> parsed = cJSON_IsString(key) ? ParseSitePublicKey(key->valuestring) : std::nullopt;
    if (!parsed) return std::nullopt;
    state.keys.push_back(*parsed);
  }
  if (state.keys.empty()) return std::nullopt;
  return state;
}

std::string SiteStatePath(const std::string& folder, const std::string& fingerprint) {
  return folder + "/site-" + fingerprint + ".json";
}

SiteStateRead LoadSiteState(const std::string& path, SiteState* state) {
  FILE* file = platform::OpenRegularFileStream(path);
  if (file == nullptr) return errno == ENOENT || errno == ENOTDIR ? SiteStateRead::kNone : SiteStateRead::kDamaged;
  std::string text;
  char chunk[64 * 1024];
  size_t read;
  while (text.size() <= kMaxStateBytes && (read = fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, read);
  const bool failed = ferror(file) != 0 || text.size() > kMaxStateBytes;
  fclose(file);
  std::optional<SiteState> parsed = failed ? std::nullopt : ParseSiteState(text);
  if (!parsed) return SiteStateRead::kDamaged;
  *state = std::move(*parsed);
  return SiteStateRead::kRead;
}

bool SaveSiteState(const std::string& path, const SiteState& state) {
  const std::string text = FormatSiteState(state);
  platform::CreateParentDirectories(path);
  platform::StagedFile staged;
  if (text.empty() || !staged.Open(path)) return false;
  return fwrite(text.data(), 1, text.size(), staged.stream()) == text.size() && staged.Commit();
}
