#pragma once
// Web addresses as a request would reach a server: read by libcurl's own URL parser, so that what
// is compared is what would be fetched. Pure functions; any thread.

#include <optional>
#include <string>

struct WebAddress {
  std::string scheme;  // "http" or "https"
  std::string host;    // lower case
  long port = 0;       // the scheme's own when the address names none
  std::string path;    // percent-decoded, "." and ".." parts resolved as a request resolves them
  std::string query;   // as written, without '?'; empty when there is none
  bool operator==(const WebAddress&) const = default;
};

// Reads an absolute http or https address. Nothing, with `why` set, for anything else: another
// scheme, a user name or password before the host ("user@host"), or a path that decodes to a
// zero byte. A fragment ("#...") is never sent and is left out.
std::optional<WebAddress> ParseWebAddress(const std::string& url, std::string* why);

// Whether `address` lies beneath `base` (same scheme, host and port, and a path that continues
// `base`'s folder), and the (decoded) path below it in `relative`.
bool IsBeneath(const WebAddress& address, const WebAddress& base, std::string* relative);
