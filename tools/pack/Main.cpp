// brimtale-pack: turns a game folder into a patch site (PackSite.h) and signs it (SiteSigner.h).
// The usage text below lists the commands; packaging/man/brimtale-pack.1 describes them.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "PackSite.h"
#include "SiteSigner.h"
#include "ops/SiteIndex.h"

namespace {

constexpr char kUsage[] =
    "usage: brimtale-pack [--rehash] [SIGNING] GAME_FOLDER SITE_FOLDER\n"
    "       brimtale-pack sign SIGNING SITE_FOLDER\n"
    "       brimtale-pack keygen KEY_FILE\n"
    "       brimtale-pack public-key KEY_FILE\n"
    "SIGNING: --key KEY_FILE [--expires DAYS] [--movie-query PATH=QUERY]... [--url URL=FILE]...\n"
    "         [--next-key PUBLIC_KEY]\n"
    "\n"
    "Writes SITE_FOLDER/manifest.txt and SITE_FOLDER/files/ for the launcher's patcher; only files\n"
    "changed since the last run are packed again (--rehash digests every file). With --key, also\n"
    "SITE_FOLDER/index.json, signed: every file of the site with its size and SHA-256, valid for\n"
    "DAYS days (30). sign signs a site as it stands; keygen makes a key and prints its public key,\n"
    "the line for the launcher's configuration; public-key prints it again.\n";

enum class Status { kDone = 0, kFailed = 1, kUsage = 2 };

struct Arguments {
  bool help = false;
  bool rehash = false;
  std::optional<SigningOptions> signing;
  std::vector<std::string> positional;
  std::string problem;  // a usage error
};

bool SplitPair(std::string_view text, bool atLast, std::pair<std::string, std::string>& pair) {
  const size_t at = atLast ? text.rfind('=') : text.find('=');
  if (at == std::string_view::npos || at == 0 || at + 1 > text.size()) return false;
  pair = {std::string(text.substr(0, at)), std::string(text.substr(at + 1))};
  return true;
}

// One option that takes a value; false with `problem` set when the value is wrong.
bool TakeOption(std::string_view name, std::string_view value, Arguments& arguments) {
  SigningOptions& signing = arguments.signing ? *arguments.signing : arguments.signing.emplace();
  std::pair<std::string, std::string> pair;
  if (name == "--key") {
    signing.keyFile = value;
  } else if (name == "--expires") {
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), signing.expiresDays);
    if (error != std::errc() || end != value.data() + value.size()) arguments.problem = "--expires takes a number of days";
  } else if (name == "--movie-query") {
    if (SplitPair(value, false, pair))
      signing.movieQueries.push_back(pair);
    else
      arguments.problem = "--movie-query takes PATH=QUERY";
  } else if (name == "--url") {
    // A URL may hold "=" in its query; the local file's name comes after the last one.
    if (SplitPair(value, true, pair) && !pair.second.empty())
      signing.urls.push_back(pair);
    else
      arguments.problem = "--url takes URL=FILE";
  } else if (name == "--next-key") {
    signing.nextKey = value;
  } else {
    arguments.problem = "unknown option " + std::string(name);
  }
  return arguments.problem.empty();
}

Arguments ReadArguments(int argc, char** argv, int first) {
  static constexpr std::string_view kValued[] = {"--key", "--expires", "--movie-query", "--url", "--next-key"};
  Arguments arguments;
  for (int i = first; i < argc && arguments.problem.empty(); ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      arguments.help = true;
    } else if (argument == "--rehash") {
      arguments.rehash = true;
    } else if (std::find(std::begin(kValued), std::end(kValued), argument) != std::end(kValued)) {
      if (i + 1 == argc)
        arguments.problem = std::string(argument) + " takes a value";
      else
        TakeOption(argument, argv[++i], arguments);
    } else if (argument.starts_with("--")) {
      arguments.problem = "unknown option " + std::string(argument);
    } else {
      arguments.positional.emplace_back(argument);
    }
  }
  if (arguments.problem.empty() && arguments.signing && arguments.signing->keyFile.empty())
    arguments.problem = "the signing options need --key KEY_FILE";
  return arguments;
}

Status Usage(const std::string& problem) {
  std::cerr << "brimtale-pack: " << problem << "\n" << kUsage;
  return Status::kUsage;
}

Status Fail(const std::string& error) {
  std::cerr << "brimtale-pack: " << error << "\n";
  return Status::kFailed;
}

void PrintLines(const char* prefix, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) std::cerr << "brimtale-pack: " << prefix << line << "\n";
}

std::string Signed(const SignatureSummary& summary) {
  return "index.json signed: " + std::to_string(summary.files) + " files, version " + std::to_string(summary.version) +
         ", expires " + FormatUtcTime(summary.expires) + ", key " + summary.fingerprint + "\n";
}

Status RunKeyCommand(std::string_view command, const Arguments& arguments) {
  if (arguments.positional.size() != 1 || arguments.signing || arguments.rehash)
    return Usage(std::string(command) + " takes one KEY_FILE");
  const KeyResult key =
      command == "keygen" ? GenerateSiteKey(arguments.positional[0]) : ReadSitePublicKey(arguments.positional[0]);
  if (!key.error.empty()) return Fail(key.error);
  std::cout << key.publicKey << "\n";
  return Status::kDone;
}

Status RunSign(const Arguments& arguments) {
  if (arguments.positional.size() != 1 || !arguments.signing || arguments.rehash)
    return Usage("sign takes --key KEY_FILE and one SITE_FOLDER");
  std::vector<std::string> notes;
  std::string error;
  const SignatureSummary summary = SignSite(arguments.positional[0], *arguments.signing, notes, error);
  PrintLines("note: ", notes);
  if (!error.empty()) return Fail(error);
  std::cout << "brimtale-pack: " << Signed(summary);
  return Status::kDone;
}

Status RunPack(const Arguments& arguments) {
  if (arguments.positional.size() != 2) return Usage("name a game folder and a site folder");
  const PackReport report =
      PackSite(arguments.positional[0], arguments.positional[1], {arguments.rehash, arguments.signing});
  PrintLines("left out ", report.skipped);
  PrintLines("note: ", report.notes);
  if (!report.error.empty()) return Fail(report.error);
  std::cout << "brimtale-pack: " << report.files << " files listed, " << report.packed << " packed, "
            << report.unchanged << " unchanged, " << report.removed << " removed\n";
  if (report.signature.version != 0) std::cout << "brimtale-pack: " << Signed(report.signature);
  return Status::kDone;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view command = argc > 1 ? argv[1] : "";
  const bool named = command == "sign" || command == "keygen" || command == "public-key";
  const Arguments arguments = ReadArguments(argc, argv, named ? 2 : 1);
  if (arguments.help) {
    std::cout << kUsage;
    return 0;
  }
  if (!arguments.problem.empty()) return static_cast<int>(Usage(arguments.problem));
  if (command == "sign") return static_cast<int>(RunSign(arguments));
  if (named) return static_cast<int>(RunKeyCommand(command, arguments));
  return static_cast<int>(RunPack(arguments));
}
