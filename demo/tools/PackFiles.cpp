// Makes the patch server's game files and their manifest at build time.
//
//   brimtale-demo-pack OUT_FOLDER MANIFEST ENTRY...
//
// ENTRY is "qlz:NAME=SOURCE" (served compressed, as OUT_FOLDER/NAME.qlz, in the stream format
// that DECOMPRESS reads), "raw:NAME=SOURCE" (served as it is, as OUT_FOLDER/NAME) or
// "world:NAME=BYTES" (a generated data file of that many bytes of map text, served compressed).
// The manifest holds one line per file:
//
//   NAME SIZE MD5 PACKING PACKED_SIZE PACKED_MD5
//
// with PACKING "qlz" or "raw"; SIZE and MD5 describe the installed file, PACKED_SIZE and
// PACKED_MD5 the file as served. Lines starting with "#" are comments. Names use "/" between
// folders and hold no blank or comma (the movie's commands split their arguments at commas).
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "commands/Md5.h"
#include "commands/QuickLzCompress.h"

namespace {

bool ReadWhole(const std::string& path, std::vector<uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool WriteWhole(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// Map text of `size` bytes: rows of tiles with a repeating but not trivial pattern, so that the
// compressor finds matches of every length and the file stays much smaller compressed.
std::vector<uint8_t> MakeWorld(size_t size) {
  static const char tiles[] = "..,,~~##^^==oo++";
  std::vector<uint8_t> bytes;
  bytes.reserve(size);
  uint32_t state = 20261209;
  int row = 0;
  while (bytes.size() < size) {
    char header[32];
    int length = std::snprintf(header, sizeof header, "row %06d: ", row++);
    bytes.insert(bytes.end(), header, header + length);
    for (int column = 0; column < 96 && bytes.size() < size; ++column) {
      state = state * 1103515245u + 12345u;
      const uint32_t pick = (state >> 16) % 100;
      // Mostly the tile of the column band, now and then a random one.
      const char tile = pick < 85 ? tiles[(column / 8 + row / 16) % 16] : tiles[pick % 16];
      bytes.push_back(static_cast<uint8_t>(tile));
    }
    bytes.push_back('\n');
  }
  bytes.resize(size);
  return bytes;
}

bool ValidName(const std::string& name) {
  if (name.empty() || name.front() == '/' || name.find("..") != std::string::npos) return false;
  return name.find_first_of(" ,\t\r\n") == std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: brimtale-demo-pack OUT_FOLDER MANIFEST qlz:NAME=SOURCE|raw:NAME=SOURCE|world:NAME=BYTES...\n";
    return 2;
  }
  const std::filesystem::path out = argv[1];
  std::error_code error;
  std::filesystem::remove_all(out, error);
  std::ostringstream manifest;
  manifest << "# name size md5 packing packed_size packed_md5\n";
  for (int i = 3; i < argc; ++i) {
    const std::string entry = argv[i];
    const size_t colon = entry.find(':');
    const size_t equals = entry.find('=', colon == std::string::npos ? 0 : colon);
    if (colon == std::string::npos || equals == std::string::npos) {
      std::cerr << "brimtale-demo-pack: bad entry " << entry << "\n";
      return 2;
    }
    const std::string kind = entry.substr(0, colon);
    const std::string name = entry.substr(colon + 1, equals - colon - 1);
    const std::string source = entry.substr(equals + 1);
    if (!ValidName(name)) {
      std::cerr << "brimtale-demo-pack: bad name " << name << "\n";
      return 2;
    }
    std::vector<uint8_t> bytes;
    if (kind == "world") {
      bytes = MakeWorld(std::strtoul(source.c_str(), nullptr, 10));
    } else if (!ReadWhole(source, bytes)) {
      std::cerr << "brimtale-demo-pack: cannot read " << source << "\n";
      return 1;
    }
    const bool packed = kind != "raw";
    std::vector<uint8_t> served = packed ? CompressQuickLz(bytes) : bytes;
    if (packed && served.empty()) {
      std::cerr << "brimtale-demo-pack: cannot compress " << source << "\n";
      return 1;
    }
    if (!WriteWhole(out / (packed ? name + ".qlz" : name), served)) {
      std::cerr << "brimtale-demo-pack: cannot write " << name << "\n";
      return 1;
    }
    manifest << name << ' ' << bytes.size() << ' ' << FormatMd5Digest(Md5Of(bytes)) << ' '
             << (packed ? "qlz" : "raw") << ' ' << served.size() << ' ' << FormatMd5Digest(Md5Of(served)) << '\n';
  }
  std::ofstream file(argv[2], std::ios::trunc);
  file << manifest.str();
  return file ? 0 : 1;
}
