// Makes the demo game's world map: BYTES bytes of map text, the same every time.
//
//   brimtale-demo-world BYTES FILE
//
// A file that already holds exactly that text is left as it is, so that the packer finds it
// unchanged.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

namespace {

// Rows of tiles with a repeating but not trivial pattern, so that the compressor finds matches of
// every length and the file stays much smaller compressed.
std::string MakeWorld(size_t size) {
  static const char tiles[] = "..,,~~##^^==oo++";
  std::string bytes;
  bytes.reserve(size);
  uint32_t state = 20261209;
  int row = 0;
  while (bytes.size() < size) {
    char header[32];
    int length = std::snprintf(header, sizeof header, "row %06d: ", row++);
    bytes.append(header, length);
    for (int column = 0; column < 96 && bytes.size() < size; ++column) {
      state = state * 1103515245u + 12345u;
      const uint32_t pick = (state >> 16) % 100;
      // Mostly the tile of the column band, now and then a random one.
      bytes.push_back(pick < 85 ? tiles[(column / 8 + row / 16) % 16] : tiles[pick % 16]);
    }
    bytes.push_back('\n');
  }
  bytes.resize(size);
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: brimtale-demo-world BYTES FILE\n";
    return 2;
  }
  const std::string world = MakeWorld(std::strtoul(argv[1], nullptr, 10));
  std::ifstream existing(argv[2], std::ios::binary);
  if (existing && std::string(std::istreambuf_iterator<char>(existing), {}) == world) return 0;
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out << world;
  out.close();
  if (!out) {
    std::cerr << "brimtale-demo-world: cannot write " << argv[2] << "\n";
    return 1;
  }
  return 0;
}
