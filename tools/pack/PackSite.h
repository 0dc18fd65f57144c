#pragma once
// brimtale-pack's work: a game folder made into a patch site that any static web server serves.
//
// The site holds manifest.txt, files/, the packer's record .brimtale-pack-cache and, signed,
// index.json (SiteSigner.h). Each game file is served as files/NAME~TAG, or compressed in the
// stream format that DECOMPRESS reads as files/NAME~TAG.qlz when that is smaller; TAG follows the
// bytes served (GameListing.h: ServedPath). The manifest lists one file a line, sorted by name:
//
//   NAME SIZE MD5 PACKING PACKED_SIZE PACKED_MD5 SERVED
//
// PACKING is "qlz" or "raw"; SIZE and MD5 describe the installed file, PACKED_SIZE and PACKED_MD5
// the file as served, SERVED its path in the site. Lines starting with "#" are comments.
//
// A live site is updated so that a reader sees the old site or the new one, also when a run fails
// or is killed: new files go under new names first, then the manifest is renamed into place (and
// the index after it), and only then are the files of the old manifest removed. The packer
// deletes nothing it did not write itself: its record lists the files it wrote, and a journal
// lists each new file before it is written, so that a killed run's files are known to the next.
// Everything else in the site (the movie, the login page, the game maker's own files, also under
// files/) stays as it is. Folders inside the site are never entered through links.
//
// Packing again is incremental: a file whose size and modification time are those of the record
// is taken as unchanged without being read; otherwise it is read and digested, and packed only
// when its digest differs from the record's.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "SiteSigner.h"

struct PackOptions {
  // Digest every file, even those whose size and time match the record (for a copy whose times
  // cannot be trusted).
  bool rehash = false;
  // Sign the site: write index.json.
  std::optional<SigningOptions> signing;
};

struct PackReport {
  size_t files = 0;                   // listed in the manifest
  size_t packed = 0;                  // written anew
  size_t unchanged = 0;               // kept from the previous run
  size_t removed = 0;                 // served files no longer listed
  std::vector<std::string> skipped;   // "NAME: why": game entries left out
  std::vector<std::string> notes;     // what else the game maker should know
  SignatureSummary signature;         // when signed
  std::string error;                  // empty on success; on failure the site is as it was
};

// Packs `gameFolder` into `siteFolder`. Fails without changing the site when the game folder is
// not a folder; when one folder lies inside the other (after links are resolved); when a game
// file's name cannot be carried (GameListing.h: NameProblem) or a game entry is neither a file,
// a folder nor a link; when the site folder exists, is not empty and was not made by this packer,
// or its files/ is a link; when signing cannot be done. A failure while files are read or written
// leaves the site as it was (what the run wrote is removed again).
PackReport PackSite(const std::string& gameFolder, const std::string& siteFolder, const PackOptions& options);
