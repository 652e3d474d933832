// Delta entries of the payload archive (delta_patch.h), for the update run:
// what a delta needs of the player's file, and the new file made from it.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// The head of entry `index` when it is a delta: the old file's XXH64 and size
// it applies to, and the new file's XXH64. False, with nothing shown, when
// the entry is no delta or its head is unreadable.
int DeltaEntryHashes(uint32_t index, uint64_t* old_hash, uint64_t* new_hash, uint64_t* old_size);

// Whether delta entry `index` has a sound head and its patch decodes to the
// size the head names (what mkupdate's verify asks; the patch is applied at
// the run). Nothing is shown.
int DeltaPatchDecodes(uint32_t index);

// The new file of delta entry `index`, made from `old_file` (open for
// reading, the previous release that the head names; it stays open) in a new
// temporary file beside `path` (its path into `temp`, kPlatformTextSize
// bytes), as WriteEntryBeside writes an entry: in bounded memory, with the
// time when given, flushed, returned open for its caller to put in place;
// `step` learns the bytes written of the entry's Size after each part. None
// on failure, with nothing left beside `path`: after kMsgBrokenEntry when
// the entry is no delta, its coding is unknown, its patch is damaged or the
// file made is not the one the head names (a wrong old file too); after
// kMsgNoEntry when there is no such entry; without a box when a read of the
// old file or a write fails.
PlatformFile WriteDeltaEntryBeside(uint32_t index, PlatformFile old_file, const char* path, const uint64_t* time,
                                   char* temp, void (*step)(void* context, uint64_t done, uint64_t total),
                                   void* context);
