// The patch of a delta entry (archive/delta_patch.h): what turns the
// previous release of a file into the next, found the way bsdiff finds it
// (a suffix array of the old file; approximate matches, extended forwards
// and backwards, whose differences go as add bytes and whose gaps as copy
// bytes). The same two files always give the same patch.
#pragma once

#include <cstdint>
#include <vector>

// The largest old or new file a patch is made for: the suffix array and its
// ranks take 8 bytes for each byte of the old file, so about ten times the
// larger file is held at once. Larger files go whole.
constexpr uint64_t kDeltaMakerLimit = uint64_t(512) << 20;

// The decoded patch stream that makes `now` from `old`; false (and nothing
// made) when either is larger than kDeltaMakerLimit.
bool MakeDeltaPatch(const std::vector<uint8_t>& old, const std::vector<uint8_t>& now, std::vector<uint8_t>* patch);
