#pragma once
// brimtale-pack's work: a game folder made into a patch site that any static web server serves.
//
// The site holds manifest.txt, files/ and the packer's own record .brimtale-pack-cache; nothing
// else in it is touched. Each file goes to files/NAME, or compressed in the stream format that
// DECOMPRESS reads to files/NAME.qlz when that is smaller. The manifest lists one file a line,
// sorted by name:
//
//   NAME SIZE MD5 PACKING PACKED_SIZE PACKED_MD5
//
// PACKING is "qlz" or "raw"; SIZE and MD5 describe the installed file, PACKED_SIZE and PACKED_MD5
// the file as served. Lines starting with "#" are comments.
//
// Packing again is incremental: a file whose size and modification time are those of the record
// is taken as unchanged without being read; otherwise it is read and digested, and packed only
// when its digest differs from the record's. Served files are written under a temporary name and
// renamed into place, the manifest after them, so a server never serves half a file; files no
// longer listed are removed last.

#include <cstddef>
#include <filesystem>
#include <string>

struct PackOptions {
  // Digest every file, even those whose size and time match the record (for a copy whose times
  // cannot be trusted).
  bool rehash = false;
};

struct PackReport {
  size_t files = 0;      // listed in the manifest
  size_t packed = 0;     // written anew
  size_t unchanged = 0;  // kept from the previous run
  size_t removed = 0;    // served files no longer listed
  std::string error;     // empty on success; on failure the site is left as it was or whole
};

// Packs `gameFolder` into `siteFolder`. Fails without writing anything when the game folder is
// not a folder, holds a name that the movie's commands cannot carry (a blank, a comma, a tab,
// a line break or a backslash) or an entry that is not a regular file or folder, when the site
// lies inside the game folder, or when the site folder exists, is not empty and was not made by
// this packer. Hidden files and folders (names starting with ".") are left out and listed in
// `skipped`.
PackReport PackSite(const std::filesystem::path& gameFolder, const std::filesystem::path& siteFolder,
                    const PackOptions& options, std::string* skipped = nullptr);
