#include "site/WebAddress.h"

#include <curl/curl.h>

#include <cctype>
#include <cstdlib>
#include <memory>

namespace {

struct UrlFree {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

// One part of a parsed address; nothing when it is missing or cannot be given.
std::optional<std::string> Part(CURLU* url, CURLUPart part, unsigned flags = 0) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, flags) != CURLUE_OK || text == nullptr) return std::nullopt;
  std::string value(text);
  curl_free(text);
  return value;
}

std::string Lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::optional<WebAddress> Fail(std::string* why, const char* reason) {
  if (why != nullptr) *why = reason;
  return std::nullopt;
}

}  // namespace

std::optional<WebAddress> ParseWebAddress(const std::string& url, std::string* why) {
  std::unique_ptr<CURLU, UrlFree> parsed(curl_url());
  if (parsed == nullptr) return Fail(why, "no memory to read the address");
  // No flags: only schemes libcurl knows, no blanks, and dot segments resolved as a request does.
  if (curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
    return Fail(why, "not an address that can be read");
  WebAddress address;
  address.scheme = Lowered(Part(parsed.get(), CURLUPART_SCHEME).value_or(""));
  if (address.scheme != "http" && address.scheme != "https") return Fail(why, "not an http or https address");
  if (Part(parsed.get(), CURLUPART_USER) || Part(parsed.get(), CURLUPART_PASSWORD) ||
      Part(parsed.get(), CURLUPART_OPTIONS))
    return Fail(why, "an address with a user name or password before its host");
  std::optional<std::string> host = Part(parsed.get(), CURLUPART_HOST);
  std::optional<std::string> port = Part(parsed.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
  // Decoding refuses an encoded zero byte, which no file name holds.
  std::optional<std::string> path = Part(parsed.get(), CURLUPART_PATH, CURLU_URLDECODE);
  if (!host || host->empty() || !port || !path) return Fail(why, "an address without a host or a path");
  address.host = Lowered(*host);
  address.port = std::strtol(port->c_str(), nullptr, 10);
  address.path = *path;
  address.query = Part(parsed.get(), CURLUPART_QUERY).value_or("");
  return address;
}

bool IsBeneath(const WebAddress& address, const WebAddress& base, std::string* relative) {
  if (address.scheme != base.scheme || address.host != base.host || address.port != base.port) return false;
  // The base is a folder: "/game" holds "/game/x", never "/game-evil/x".
  std::string folder = base.path;
  if (folder.empty() || folder.back() != '/') folder += '/';
  if (address.path.compare(0, folder.size(), folder) != 0) return false;
  if (relative != nullptr) *relative = address.path.substr(folder.size());
  return true;
}
