#include "GameListing.h"

#include <cerrno>
#include <algorithm>
#include <cstdio>

namespace {

// "~" and 16 hexadecimal digits, and ".qlz" when served compressed.
constexpr size_t kTagLength = 17;
constexpr size_t kLongestServedPart = 255;  // NAME_MAX of the usual file systems
constexpr char kCompressedSuffix[] = ".qlz";

// The code point of the UTF-8 sequence at `text[at]` and its length; length 0 when the bytes
// there are not UTF-8 (overlong forms and surrogates included).
struct CodePoint {
  uint32_t value = 0;
  size_t length = 0;
};

CodePoint DecodeUtf8(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(at);
  if (lead < 0x80) return {lead, 1};
  const size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
  if (length == 0 || lead > 0xf4 || at + length > text.size()) return {};
  uint32_t value = lead & (0x7f >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xc0) != 0x80) return {};
    value = value << 6 | (byte(at + i) & 0x3f);
  }
  static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kSmallest[length] || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) return {};
  return {value, length};
}

bool IsControl(uint32_t codePoint) { return codePoint < 0x20 || (codePoint >= 0x7f && codePoint <= 0x9f); }

std::string Join(const std::string& prefix, const std::string& name) { return prefix.empty() ? name : prefix + "/" + name; }

bool SystemCannotResolve(int error) { return error == ENOSYS; }

std::string LinkProblem(int error) {
  switch (error) {
    case EXDEV: return "a link out of the game folder (or an absolute one), not followed";
    case EISDIR: return "a link to a folder, not followed";
    case ENOENT: return "a link that leads nowhere";
    case ELOOP: return "a loop of links";
    case EINVAL: return "a link to something that is not a regular file";
    default: return "";
  }
}

void AddLink(const platform::Folder& game, const std::string& name, GameListing& listing) {
  int error = 0;
  platform::ScopedFd target = game.OpenBeneath(name, error);
  std::optional<platform::FileStatus> status;
  if (target.IsValid() && (status = platform::StatusOf(target.get()))) {
    listing.files.push_back({name, *status});
  } else if (SystemCannotResolve(error)) {
    listing.skipped.push_back(PrintableName(name) + ": a link, not followed: this system cannot tell where it leads");
  } else if (std::string problem = LinkProblem(error); !problem.empty()) {
    listing.skipped.push_back(PrintableName(name) + ": " + problem);
  } else {
    listing.refused.push_back(PrintableName(name) + ": cannot be read: " + platform::ErrorText(error));
  }
}

void Walk(const platform::Folder& game, const platform::Folder& folder, const std::string& prefix,
          GameListing& listing) {
  int error = 0;
  const std::vector<platform::FolderEntry> entries = folder.List(error);
  if (error != 0) {
    listing.refused.push_back(PrintableName(prefix.empty() ? "." : prefix) + ": cannot be listed: " +
                              platform::ErrorText(error));
    return;
  }
  for (const platform::FolderEntry& entry : entries) {
    const std::string name = Join(prefix, entry.name);
    if (entry.name[0] == '.') {
      listing.skipped.push_back(PrintableName(name) + ": hidden");
      continue;
    }
    switch (entry.kind) {
      case platform::EntryKind::kFolder:
        if (platform::Folder child = folder.Child(entry.name, error); child.IsOpen())
          Walk(game, child, name, listing);
        else
          listing.refused.push_back(PrintableName(name) + ": cannot be opened: " + platform::ErrorText(error));
        break;
      case platform::EntryKind::kFile:
        if (std::optional<platform::FileStatus> status = folder.Status(entry.name, error))
          listing.files.push_back({name, *status});
        else
          listing.refused.push_back(PrintableName(name) + ": cannot be read: " + platform::ErrorText(error));
        break;
      case platform::EntryKind::kLink:
        AddLink(game, name, listing);
        break;
      case platform::EntryKind::kOther:
        listing.refused.push_back(PrintableName(name) + ": neither a regular file nor a folder");
        break;
    }
  }
}

bool Listed(const std::vector<GameFile>& files, const std::string& name, bool asFolder) {
  auto at = std::lower_bound(files.begin(), files.end(), name,
                             [](const GameFile& file, const std::string& key) { return file.name < key; });
  return at != files.end() && (asFolder ? at->name.starts_with(name) : at->name == name);
}

// "x" is unpacked on the player's disk from "x.qlz": a file of that name, or a folder, beside it
// would be overwritten or would stop the patch.
void RefuseCompressedNameCollisions(GameListing& listing) {
  for (const GameFile& file : listing.files) {
    const std::string compressed = file.name + kCompressedSuffix;
    if (Listed(listing.files, compressed, false) || Listed(listing.files, compressed + "/", true))
      listing.refused.push_back(PrintableName(file.name) + ": its compressed copy would be named like " +
                                PrintableName(compressed));
  }
}

}  // namespace

GameListing ListGameFolder(const platform::Folder& game) {
  GameListing listing;
  Walk(game, game, "", listing);
  std::sort(listing.files.begin(), listing.files.end(),
            [](const GameFile& a, const GameFile& b) { return a.name < b.name; });
  std::sort(listing.skipped.begin(), listing.skipped.end());
  for (const GameFile& file : listing.files)
    if (std::string problem = NameProblem(file.name); !problem.empty())
      listing.refused.push_back(PrintableName(file.name) + ": " + problem);
  RefuseCompressedNameCollisions(listing);
  return listing;
}

platform::ScopedFd OpenGameFile(const platform::Folder& game, const std::string& name, int& error) {
  platform::ScopedFd file = game.OpenBeneath(name, error);
  if (file.IsValid() || !SystemCannotResolve(error)) return file;
  // Without a kernel that resolves beneath a folder, no link is followed on the way.
  platform::Folder folder;
  const platform::Folder* current = &game;
  size_t start = 0;
  for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', start)) {
    folder = current->Child(name.substr(start, slash - start), error);
    if (!folder.IsOpen()) return platform::ScopedFd();
    current = &folder;
    start = slash + 1;
  }
  return current->OpenFile(name.substr(start), error);
}

std::string ServedPath(const std::string& name, const Sha256Digest& served, bool compressed) {
  return "files/" + name + "~" + FormatSha256Digest(served).substr(0, kTagLength - 1) +
         (compressed ? kCompressedSuffix : "");
}

std::string NameProblem(const std::string& name) {
  for (size_t at = 0; at < name.size();) {
    const CodePoint point = DecodeUtf8(name, at);
    if (point.length == 0) return "the name is not UTF-8";
    if (IsControl(point.value)) return "the name holds a control character";
    if (point.value == ' ' || point.value == ',' || point.value == '\\')
      return "the name holds a blank, a comma or a backslash";
    at += point.length;
  }
  if (name.starts_with("#")) return "the name starts with \"#\", which makes a manifest line a comment";
  const size_t lastPart = name.size() - (name.rfind('/') + 1);
  if (lastPart + kTagLength + sizeof kCompressedSuffix - 1 > kLongestServedPart) return "the name is too long";
  return {};
}

std::string PrintableName(const std::string& name) {
  std::string printable;
  for (size_t at = 0; at < name.size();) {
    const CodePoint point = DecodeUtf8(name, at);
    if (point.length == 0 || IsControl(point.value)) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<uint8_t>(name[at]));
      printable += escaped;
      ++at;
    } else {
      printable.append(name, at, point.length);
      at += point.length;
    }
  }
  return printable;
}
