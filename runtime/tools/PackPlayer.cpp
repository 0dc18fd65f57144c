// Packs the player control's files into one player control archive.
//   brimtale_pack_player OUTPUT [FILE...]
// Each file is stored under its file name. Without files the output is empty: a build without
// the player control carries none.

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "PlayerArchive.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUTPUT [FILE...]\n", argv[0]);
    return 2;
  }
  std::vector<uint8_t> archive;
  if (argc > 2) {
    archive = player_runtime::ArchiveHeader(static_cast<uint32_t>(argc - 2));
    for (int i = 2; i < argc; ++i) {
      std::ifstream in(argv[i], std::ios::binary);
      if (!in) {
        std::fprintf(stderr, "cannot read %s\n", argv[i]);
        return 1;
      }
      std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      std::string path = argv[i];
      std::string name = path.substr(path.find_last_of('/') + 1);
      player_runtime::AppendArchiveEntry(archive, name, data);
    }
  }
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(archive.data()), static_cast<std::streamsize>(archive.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
