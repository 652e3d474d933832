// The encoder of the archive's method 1 entries (LZMA, the LZMA SDK's
// encoder, after a filter), for the packing tool and the tests only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The entry's data for method 1 with `filter` (kEntryFilter*, `distance` for
// the delta filter) applied first: 5 property bytes (lc3 lp0 pb2 and the
// dictionary: the size rounded up, 4 KiB to 8 MiB) and the raw stream
// without an end mark. The same bytes on every host. Empty when the encoder
// fails (memory) or its output would not be smaller than `limit` bytes.
// `dictionary`, when given, replaces the one chosen by size (for tests of
// a dictionary smaller than the file); `shape`, the literal context bits,
// literal position bits and position bits (lc+lp at most 4).
struct LzmaShape {
  uint32_t lc = 3, lp = 0, pb = 2;
};
std::vector<uint8_t> EncodeLzmaEntry(const uint8_t* data, size_t size, uint32_t filter, uint32_t distance,
                                     size_t limit, uint32_t dictionary = 0, LzmaShape shape = {});

// Whether the data starts as a Windows executable does ("MZ"): the x86
// filter is tried on it.
bool LooksLikeExecutable(const uint8_t* data, size_t size);
// For an uncompressed PCM WAV file, its block align (the bytes of one frame
// of all channels: 2 for 16-bit mono, 4 for 16-bit stereo), the delta
// filter's distance; 0 for anything else.
uint32_t PcmWaveFrameSize(const uint8_t* data, size_t size);
