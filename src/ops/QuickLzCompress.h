#pragma once
// A compressor for the stream format that DecompressBuffer reads (QuickLz.h): greedy matching
// over a hash of three-byte sequences, every token form, and a stored body when compressing
// does not pay. The demo's patch files and the benchmarks are made with it.

#include <cstdint>
#include <span>
#include <vector>

// One whole stream for `data`: a 3-byte header when both size fields fit in a byte, else a
// 9-byte header. Empty when `data` is too large for a 4-byte size field (a valid stream is never
// empty). Any thread; memory is linear in the input.
std::vector<uint8_t> CompressQuickLz(std::span<const uint8_t> data);
