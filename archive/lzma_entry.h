// Decoding of the archive's method 1 entries and method 3 groups: LZMA (the
// LZMA SDK's decoder) and the filters undone after it (payload_archive.h
// describes the bytes).
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

// The same for the first member of a method 3 group, whose stream decodes to
// `size` bytes, the sum of its members' Sizes.
int LzmaGroupHeaderSound(uint32_t flags, const uint8_t* data, uint32_t stored_size, uint64_t size);

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

// The stream decoder that both of the above share, resumable: begun on a
// stream (5 property bytes and the raw stream, `size` bytes decoded, the
// filter of `flags` undone), it hands on the next `count` bytes at each read,
// in parts as DecodeLzmaEntryStream's. There is one (one entry or group is
// decoded at a time): beginning a stream ends the one before, and its
// `holder` (any address, or none) finds out with LzmaStreamHeldBy whether
// the decoder is still its own. Its memory, the dictionary (at most
// kLzmaMostDictionary, or `size` when less) and the SDK's tables from
// Os->Alloc, is held until LzmaStreamEnd or the next begin.
// Begin: 1 when begun; 0 for properties or sizes that are not sound (and an
// empty stream that is damaged); kLzmaNoMemory when refused memory.
int LzmaStreamBegin(const void* holder, uint32_t flags, uint32_t size, const uint8_t* src, uint32_t stored_size);
int LzmaStreamHeldBy(const void* holder);
// 1 when the next `count` bytes went to `sink`; 0 on damage (found where the
// stream goes wrong; that it ends exactly at `size`, no earlier or later, is
// found by the read that reaches `size`), a read beyond `size`, when `sink`
// returns 0 or no stream is begun. After a 0 the stream is of no more use.
int LzmaStreamRead(uint32_t count, LzSink sink, void* context);
void LzmaStreamEnd();
