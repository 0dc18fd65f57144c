#pragma once
// What the launcher keeps of a signed site from one run to the next, one file per configured key:
// the highest index version it has accepted (an older index is a replay), the keys it trusts now
// (the configured one, then those handed over by next_key), and the last index it accepted, which
// an offline start checks against.
//
// The file, $XDG_STATE_HOME/brimtale/site-<fingerprint of the configured key>.json, is JSON:
//
//   {"format": 1, "version": 1767225600, "accepted": 1767229000,
//    "keys": ["<base64 public key>", ...], "index": "<index.json as it was fetched>"}
//
// It is replaced whole (written beside it, then renamed over it), so a reader finds the old state
// or the new one.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ops/SiteIndex.h"

struct SiteState {
  int64_t version = 0;   // the highest version accepted
  int64_t accepted = 0;  // when `index` was accepted, seconds since the epoch (this machine's clock)
  std::vector<SitePublicKey> keys;
  std::string index;
  bool operator==(const SiteState&) const = default;
};

std::string FormatSiteState(const SiteState& state);
// Nothing unless `text` is a whole state of this format with at least one key.
std::optional<SiteState> ParseSiteState(std::string_view text);

// The state file of the site whose configured key has `fingerprint`, in `folder`.
std::string SiteStatePath(const std::string& folder, const std::string& fingerprint);

enum class SiteStateRead { kNone, kRead, kDamaged };
// Reads the state at `path` into `state`: kNone when there is no file, kDamaged when there is one
// that is not a state (or cannot be read). Any thread.
SiteStateRead LoadSiteState(const std::string& path, SiteState* state);
// Replaces the state at `path` in one step, creating its folder when needed; false when it cannot
// be written (the old state then stays). Any thread.
bool SaveSiteState(const std::string& path, const SiteState& state);
