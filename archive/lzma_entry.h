// Decoding of the archive's method 1 entries: LZMA (the LZMA SDK's decoder)
// and the filters undone after it (payload_archive.h describes the bytes).
#pragma once

#include <cstdint>

#include "archive/lz_block.h"

// The largest dictionary an entry may ask for: the updater's memory stays
// under 16 MiB whatever the file. Literal context bits and literal position
// bits together at most 4, as LZMA2 holds them, so the decoder's tables stay
// small (about 28 KB).
inline constexpr uint32_t kLzmaMostDictionary = 8u << 20;
inline constexpr uint32_t kLzmaPropsSize = 5;
inline constexpr uint32_t kLzmaMostLcLp = 4;
// Sizes beyond this many times the stored bytes mark damage before a block
// of that size is asked for: an LZMA stream's densest symbol, a repeated
// match of 273 bytes with every probability at its edge, costs about 0.3
// bits, so no stream expands more than about 7,300 times.
inline constexpr uint32_t kLzmaMostExpansion = 16384;

// Whether `flags` names a method 1 entry this reader knows (filter and
// distance among them) whose first bytes are sound properties and whose
// Size its StoredSize can hold.
int LzmaEntryHeaderSound(uint32_t flags, const uint8_t* data, uint32_t stored_size, uint32_t size);

// The entry decoded whole into `dst` (`size` bytes, its Size), its filter
// undone. 0 for a stream that does not give exactly `size` bytes with all its
// own, or any other damage.
int DecodeLzmaEntry(uint32_t flags, uint8_t* dst, uint32_t size, const uint8_t* src, uint32_t stored_size);

// The same decoding in bounded memory: the bytes go to `sink` in parts of
// kLzStreamChunk bytes at most (4 more after the x86 filter, which holds
// back a call that may run across parts), never an empty one, through a dictionary of
// the entry's size (at most kLzmaMostDictionary), asked of Os->Alloc and
// given back before the return. 1 when sound; 0 on damage (the parts already
// handed on are of no use) or when `sink` returns 0; kLzmaNoMemory when the
// decoder's memory is refused (nothing was handed on).
inline constexpr int kLzmaNoMemory = -1;
int DecodeLzmaEntryStream(uint32_t flags, uint32_t size, const uint8_t* src, uint32_t stored_size, LzSink sink,
                          void* context);
