// A delta entry: a file made from the player's copy of the previous release
// and a patch. The entry's data is a 32-byte head, then the patch stream,
// encoded by the method that bits 16-23 of the entry's Flags name.
//
// Head (integers little-endian):
//   0   Magic     "KSD1"
//   4   OldSize   the size of the file the patch applies to
//   12  OldHash   that file's XXH64 (seed 0)
//   20  NewHash   the XXH64 of the file the patch makes (its size is the
//                 entry's Size)
//   28  PatchSize the patch stream's size, decoded
//
// Patch stream, decoded: records until the new file's size is produced:
//   AddLength (LE32) | CopyLength (LE32) | Seek (signed LE64)
//   | AddLength bytes, each added (mod 256) to the old file's byte at the
//     old position, which advances by one for each
//   | CopyLength bytes written as they are
// and then Seek moves the old position. The old position starts at 0.
//
// The applier is fed the decoded patch in parts of any size; it reads the
// old file through a callback and writes the new one through another, both
// in fixed buffers of its own, so its memory is the same whatever the files.
#pragma once

#include <cstdint>

#include "archive/payload_checksum.h"

enum : uint32_t {
  kDeltaHeadSize = 32,
  kDeltaRecordHeadSize = 16,
  kDeltaBufferSize = 16 * 1024,
};

struct DeltaHead {
  uint64_t OldSize;
  uint64_t OldHash;
  uint64_t NewHash;
  uint32_t PatchSize;
};

// The head at the start of a delta entry's data: false when there are fewer
// than 32 bytes or the magic differs.
int ReadDeltaHead(const uint8_t* bytes, uint32_t size, DeltaHead* head);
// The 32 bytes of a head.
void WriteDeltaHead(const DeltaHead* head, uint8_t bytes[kDeltaHeadSize]);

// Reads `n` bytes of the old file at `offset`; 1 only when all were read.
typedef int (*DeltaReadAt)(void* context, uint64_t offset, void* buffer, uint32_t n);
// Writes `n` bytes of the new file; 1 only when all were written.
typedef int (*DeltaWrite)(void* context, const void* buffer, uint32_t n);

struct DeltaApplier {
  DeltaReadAt ReadAt;
  DeltaWrite Write;
  void* Context;
  uint64_t OldSize, NewSize, NewHash;
  uint64_t OldPosition;  // where the next added byte's old byte is
  uint64_t Produced;     // new bytes made so far (written or in Out)
  uint32_t AddLeft, CopyLeft;
  int64_t Seek;
  uint8_t RecordHead[kDeltaRecordHeadSize];
  uint32_t RecordHeadSize;  // bytes of the next record's head gathered
  int InRecord;             // the record's bytes are being applied
  int Failed;               // a record was refused or a callback failed
  Xxh64State Hash;          // of the bytes written
  // The old file's bytes read ahead for the add bytes: [OldStart, OldStart + OldHave).
  uint64_t OldStart;
  uint32_t OldHave;
  uint8_t Old[kDeltaBufferSize];
  uint32_t OutHave;
  uint8_t Out[kDeltaBufferSize];
};

// Begins applying a patch to the old file of `old_size` bytes for a new file
// of `new_size` bytes whose XXH64 is `new_hash`.
void StartDeltaApplier(DeltaApplier* applier, uint64_t old_size, uint64_t new_size, uint64_t new_hash,
                       DeltaReadAt read_at, DeltaWrite write, void* context);

// The next `size` bytes of the decoded patch. 0 once a record reads outside
// the old file, would write beyond the new file's size or comes after it is
// complete, or a callback fails; every later call is then 0 too.
int FeedDeltaApplier(DeltaApplier* applier, const uint8_t* data, uint32_t size);

// After the last part: writes what is left; 1 only when no record was
// refused, the patch ended on a record's end, exactly the new size was
// written and its XXH64 is the head's.
int FinishDeltaApplier(DeltaApplier* applier);
