#include "flash/MovieSource.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "base/Log.h"
#include "base/Text.h"
#include "ops/Md5.h"
#include "platform/Files.h"
#include "platform/SpecialFolders.h"
#include "platform/TempFiles.h"

namespace {

constexpr int kCacheFolder = 32;  // the user's cache ($XDG_CACHE_HOME)
constexpr std::string_view kMagic = "BRIMTALE-MOVIE 1\n";

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

uint32_t LittleEndian32(std::string_view bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + i])) << (8 * i);
  return value;
}

// One "name value" line of the kept file's header, the line end consumed.
std::optional<std::string_view> HeaderValue(std::string_view& text, std::string_view name) {
  size_t end = text.find('\n');
  if (end == std::string_view::npos) return std::nullopt;
  std::string_view line = text.substr(0, end);
  if (line.size() < name.size() + 1 || line.substr(0, name.size()) != name || line[name.size()] != ' ')
    return std::nullopt;
  text.remove_prefix(end + 1);
  return line.substr(name.size() + 1);
}

}  // namespace

std::string MovieUrlWithTime(const std::string& url, int launcherType, int64_t unixTime) {
  std::string_view trimmed = TrimBlanks(url);
  if (StartsWithIgnoringCase(trimmed, "file:") || launcherType == 3) return url;
  // The time goes before a fragment (which is never sent), and after "&" when there is a query: a
  // second "?" would make it part of the last query value (server=...?123).
  const size_t fragment = std::min(trimmed.find('#'), trimmed.size());
  std::string_view location = trimmed.substr(0, fragment);
  std::string loaded(location);
  loaded += location.find('?') == std::string_view::npos ? '?' : '&';
  loaded += std::to_string(unixTime);
  loaded += trimmed.substr(fragment);
  return loaded;
}

bool IsFetchedByLauncher(std::string_view url) {
  url = TrimBlanks(url);
  return StartsWithIgnoringCase(url, "http://") || StartsWithIgnoringCase(url, "https://");
}

bool AcceptFetchedMovie(const std::string&, std::string_view bytes, const std::string& contentType,
                        std::string* refusal) {
  // A Flash movie begins with FWS (plain), CWS (zlib) or ZWS (LZMA), a version byte and the
  // length of the whole movie once unpacked.
  const bool looksLikeMovie = bytes.size() >= 8 && bytes[1] == 'W' && bytes[2] == 'S' &&
                       (bytes[0] == 'F' || bytes[0] == 'C' || bytes[0] == 'Z');
  if (!looksLikeMovie) {
    std::string kind = contentType.empty() ? "" : contentType + ", ";
    *refusal = "the answer is not a Flash movie (" + kind + std::to_string(bytes.size()) +
               " bytes); a network that wants its visitors to sign in first answers with a page of its own";
    return false;
  }
  const uint32_t declared = LittleEndian32(bytes, 4);
  if (bytes[0] == 'F' && declared > bytes.size()) {
    *refusal = "the movie is cut short (" + std::to_string(bytes.size()) + " of " + std::to_string(declared) + " bytes)";
    return false;
  }
  return true;
}

std::string OfflineMovieKey(int launcherType, const std::string& configuredUrl) {
  std::string name = (launcherType == 3 ? "GetSwfUrl " : "SwfUrl ") + std::string(TrimBlanks(configuredUrl));
  return FormatMd5Digest(Md5Of({reinterpret_cast<const uint8_t*>(name.data()), name.size()}));
}

std::string FormatOfflineMovie(const OfflineMovie& movie) {
  std::string text(kMagic);
  text += "url " + movie.url + "\n";
  text += "kept " + std::to_string(movie.keptAt) + "\n";
  text += "size " + std::to_string(movie.bytes.size()) + "\n\n";
  text += movie.bytes;
  return text;
}

std::optional<OfflineMovie> ParseOfflineMovie(std::string_view text) {
  if (text.substr(0, kMagic.size()) != kMagic) return std::nullopt;
  text.remove_prefix(kMagic.size());
  OfflineMovie movie;
  auto url = HeaderValue(text, "url");
  auto kept = HeaderValue(text, "kept");
  auto size = HeaderValue(text, "size");
  if (!url || !kept || !size || text.empty() || text.front() != '\n') return std::nullopt;
  text.remove_prefix(1);
  uint64_t length = 0;
  if (std::from_chars(kept->data(), kept->data() + kept->size(), movie.keptAt).ec != std::errc{} ||
      std::from_chars(size->data(), size->data() + size->size(), length).ec != std::errc{} || length != text.size())
    return std::nullopt;
  movie.url = *url;
  movie.bytes = text;
  return movie;
}

std::string OfflineMovieStore::UserFolder() {
  auto cache = platform::GetSpecialFolderPath(kCacheFolder);
  return cache ? *cache + "/brimtale" : std::string();
}

std::string OfflineMovieStore::PathOf(const std::string& key) const { return m_folder + "/movie-" + key + ".swfc"; }

bool OfflineMovieStore::Keep(const std::string& key, const OfflineMovie& movie) {
  // A line end in the URL would end the header early.
  if (m_folder.empty() || movie.url.find('\n') != std::string::npos) return false;
  const std::string path = PathOf(key);
  platform::CreateParentDirectories(path);
  platform::StagedFile staged;
  bool written = staged.Open(path);
  if (written) {
    const std::string text = FormatOfflineMovie(movie);
    written = std::fwrite(text.data(), 1, text.size(), staged.stream()) == text.size() && staged.Commit();
  }
  if (!written) WriteLog("The offline copy of the movie cannot be written: %s", path.c_str());
  return written;
}

std::optional<OfflineMovie> OfflineMovieStore::Find(const std::string& key) const {
  if (m_folder.empty()) return std::nullopt;
  FILE* file = platform::OpenRegularFileStream(PathOf(key));
  if (file == nullptr) return std::nullopt;
  std::string text;
  char chunk[65536];
  size_t read;
  while ((read = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, read);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return std::nullopt;
  return ParseOfflineMovie(text);
}

bool OfflineMovieStore::Has(const std::string& key) const {
  if (m_folder.empty()) return false;
  FILE* file = platform::OpenRegularFileStream(PathOf(key));
  if (file == nullptr) return false;
  char head[kMagic.size()];
  const bool ours = std::fread(head, 1, sizeof head, file) == sizeof head && std::string_view(head, sizeof head) == kMagic;
  std::fclose(file);
  return ours;
}
