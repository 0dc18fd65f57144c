// brimtale-pack: turns a game folder into a patch site (PackSite.h).
//
//   brimtale-pack [--rehash] GAME_FOLDER SITE_FOLDER
#include <cstring>
#include <iostream>
#include <string>

#include "PackSite.h"

int main(int argc, char** argv) {
  PackOptions options;
  int first = 1;
  if (argc > 1 && std::strcmp(argv[1], "--rehash") == 0) {
    options.rehash = true;
    ++first;
  }
  if (argc - first != 2) {
    std::cerr << "usage: brimtale-pack [--rehash] GAME_FOLDER SITE_FOLDER\n"
                 "Writes SITE_FOLDER/manifest.txt and SITE_FOLDER/files/ for the launcher's patcher; only\n"
                 "files changed since the last run are packed again (--rehash digests every file).\n";
    return 2;
  }
  std::string skipped;
  const PackReport report = PackSite(argv[first], argv[first + 1], options, &skipped);
  if (!skipped.empty()) std::cerr << "brimtale-pack: hidden entries left out:\n" << skipped;
  if (!report.error.empty()) {
    std::cerr << "brimtale-pack: " << report.error << "\n";
    return 1;
  }
  std::cout << "brimtale-pack: " << report.files << " files listed, " << report.packed << " packed, "
            << report.unchanged << " unchanged, " << report.removed << " removed\n";
  return 0;
}
