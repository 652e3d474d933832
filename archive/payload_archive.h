// The payload archive that the executable carries as resource UPDATE/102.
//
// Image layout (integers unsigned, little-endian):
//   header, 16 bytes   Magic "FA2\0" | Flags (bit 0: directory compressed;
//                      bits 8-15: the format version, below) | DirectoryOffset
//                      | EntryCount
//   entry data         from offset 16, in directory order; each entry takes
//                      StoredSize bytes, zero-padded to a multiple of 16 (an
//                      entry's data offset follows from the directory alone)
//   directory          at DirectoryOffset, last in the image: EntryCount
//                      records of 280 bytes, or one LzBlock decoding to them
//                      that runs to the end of the image
//   entry record       Name[260] (NUL-terminated, code page 932) | Flags
//                      | FileTime (8) | Size (decoded) | StoredSize (bytes
//                      in the archive)
//   entry Flags        bits 8-15 the method: 0 the old kinds, by bits 0-1
//                      (1 stored, 2 one LzBlock); 1 LZMA (bits 0-1 zero):
//                      5 property bytes (lc/lp/pb, dictionary size LE32)
//                      then the raw stream, without an end mark, of exactly
//                      Size bytes. Bits 16-23 the filter the decoded bytes
//                      pass through on their way out: 0 none, 1 x86 branch
//                      converter (the LZMA SDK's x86_Convert from offset 0),
//                      2 byte delta at the distance in bits 24-31 (1-255).
//                      3 a member of a solid group (bits 0-1 zero, filter
//                      bits as for method 1): a group is a run of
//                      consecutive method 3 entries of identical Flags. Its
//                      first member's StoredSize is the group's bytes: 5
//                      property bytes, then one raw stream, without an end
//                      mark, of the members' bytes one after another in
//                      directory order, the filter applied over all of them
//                      (the x86 converter from the group's offset 0); every
//                      later member has StoredSize 0, and a method 3 entry
//                      with StoredSize above 0 begins a new group. A member
//                      lies in the stream at the sum of the Sizes before it;
//                      the stream gives exactly the sum of all the Sizes,
//                      ending with the last member. A member of StoredSize 0
//                      that does not follow a member of its Flags, a group
//                      whose properties or sizes are not sound (as method
//                      1's, the sizes summed), or a group in an archive of
//                      version 2 or less is refused before anything is
//                      written.
//   format version     0: every entry of the old kinds (what every archive
//                      made before the methods is, and what pack and build
//                      --method lz still write); 2: entries may be of method
//                      1 too; 3: of methods 2 (a delta against the previous
//                      release) and 3 (a member of a solid group) too. A
//                      writer gives the lowest version that holds what it
//                      carries. An unknown version is refused at opening, an
//                      unknown method or filter before anything is written.
#pragma once

#include <cstdint>

#include "platform/platform.h"

enum : uint32_t {
  kArchiveHeaderSize = 16,
  kArchiveEntrySize = 280,
  kArchiveNameSize = 260,
  kArchiveAlign = 16,
  kHeaderCompressedDirectory = 1,
  kEntryStored = 1,
  kEntryCompressed = 2,
  kHeaderVersionShift = 8,
  kHeaderVersionMask = 0xFF00,
  kArchiveVersionOldKinds = 0,
  kArchiveVersionMethods = 2,
  kArchiveVersionGroupsAndDeltas = 3,
  kArchiveHighestVersion = kArchiveVersionGroupsAndDeltas,  // the newest this reader reads
  kEntryKindMask = 3,
  kEntryMethodShift = 8,
  kEntryFilterShift = 16,
  kEntryDistanceShift = 24,
  kEntryMethodOld = 0,
  kEntryMethodLzma = 1,
  kEntryMethodDelta = 2,
  kEntryMethodSolid = 3,
  kEntryFilterNone = 0,
  kEntryFilterX86 = 1,
  kEntryFilterDelta = 2,
};

// A delta entry's bits 16-23 say how its patch stream is coded: 0 one
// LzBlock, 1 LZMA as method 1 (5 property bytes first).
enum : uint32_t {
  kDeltaCodingLzBlock = 0,
  kDeltaCodingLzma = 1,
};

// The fields of an entry's Flags.
constexpr uint32_t EntryMethod(uint32_t flags) { return (flags >> kEntryMethodShift) & 0xFF; }
constexpr uint32_t EntryFilter(uint32_t flags) { return (flags >> kEntryFilterShift) & 0xFF; }
constexpr uint32_t EntryDistance(uint32_t flags) { return flags >> kEntryDistanceShift; }
constexpr uint32_t DeltaCoding(uint32_t flags) { return EntryFilter(flags); }
constexpr uint32_t LzmaEntryFlags(uint32_t filter, uint32_t distance) {
  return (kEntryMethodLzma << kEntryMethodShift) | (filter << kEntryFilterShift) | (distance << kEntryDistanceShift);
}
constexpr uint32_t SolidEntryFlags(uint32_t filter, uint32_t distance) {
  return (kEntryMethodSolid << kEntryMethodShift) | (filter << kEntryFilterShift) | (distance << kEntryDistanceShift);
}

// The mark an updater carries of the newest format version it reads, which
// mkupdate looks for in the updater it builds on ("KOUSHIN-ARCHIVE-READS:3");
// an updater without it reads version 0 only.
constexpr const char* kArchiveReaderMarkPrefix = "KOUSHIN-ARCHIVE-READS:";

// An entry's stored size rounded up to the archive's 16-byte steps.
constexpr uint64_t AlignedToArchive(uint64_t size) { return (size + kArchiveAlign - 1) & ~uint64_t(kArchiveAlign - 1); }

// Offsets of the fields of the header.
enum : uint32_t {
  kHeaderMagicAt = 0,
  kHeaderFlagsAt = 4,
  kHeaderDirectoryOffsetAt = 8,
  kHeaderEntryCountAt = 12,
};

// Offsets of the fields of an entry record.
enum : uint32_t {
  kEntryNameAt = 0,
  kEntryFlagsAt = 260,
  kEntryTimeAt = 264,
  kEntrySizeAt = 272,
  kEntryStoredSizeAt = 276,
};

// The entry that holds the update script.
constexpr const char* kScriptEntryName = "UPDATE.INI";

// Decodes the directory of UpdateState.PayloadArchive into a new block (the
// header copy and the entries) and records it as UpdateState.ArchiveDirectory.
// Refuses an image whose directory or entry data lie outside it. Returns the
// block, or none; shows no message.
uint8_t* OpenPayloadArchive();

// Frees the directory block, if any.
void ClosePayloadArchive();

// The bytes of the named entry: a pointer into the image for a stored entry
// (not to be changed or freed), or a new block of Size bytes for a compressed
// one, which the caller releases with Os->Free. None after a message.
const uint8_t* LoadArchiveEntry(const char* name, uint32_t* size);

// Whether a block returned by LoadArchiveEntry was decoded (and must be freed).
bool IsDecodedEntry(const uint8_t* bytes);
// Gives back the bytes that LoadArchiveEntry or LoadArchiveEntryAt returned:
// a decoded block is freed, bytes in the image are left alone.
void ReleaseArchiveEntry(const uint8_t* bytes);

// For tools that list an archive: the entries of the open directory by index.
struct ArchiveEntryInfo {
  const char* Name;
  uint32_t Flags;
  uint64_t FileTime;
  uint32_t Size;
  uint32_t StoredSize;
};
uint32_t ArchiveEntryCount();
int GetArchiveEntryInfo(uint32_t index, ArchiveEntryInfo* info);
// The first entry named `name` (ASCII case ignored) in directory order, by
// index; false when there is none. Nothing is decoded or shown.
int FindArchiveEntry(const char* name, uint32_t* index, ArchiveEntryInfo* info);
// The entry at `index` and where its StoredSize bytes lie in the image;
// none when there is no such entry. Nothing is decoded or shown.
const uint8_t* ArchiveEntryData(uint32_t index, ArchiveEntryInfo* info);
// Like LoadArchiveEntry, for the entry at `index` (names may repeat).
const uint8_t* LoadArchiveEntryAt(uint32_t index, uint32_t* size);

// Entry `index` written in bounded memory to a new temporary file beside
// `path` (its path into `temp`, kPlatformTextSize bytes), as WriteBufferBeside
// writes a buffer: with the time when given, flushed to the disk, and
// returned open for its caller to put in place. A stored entry goes straight
// from the image, a compressed one as it is decoded, kLzStreamChunk bytes or
// so at a time; after each part `step`, when given, learns the bytes written
// so far and the entry's Size (an empty entry: once, 0 of 0). None on
// failure, with nothing left beside `path`: a damaged entry after its box
// (kMsgBrokenEntry, found before anything is written when its sizes disagree,
// else where its block goes wrong), an entry that is not there after
// kMsgNoEntry, a failed write without one.
PlatformFile WriteEntryBeside(uint32_t index, const char* path, const uint64_t* time, char* temp,
                              void (*step)(void* context, uint64_t done, uint64_t total), void* context);

// Whether entry `index` decodes soundly, found in bounded memory with
// nothing written; false after the box of a damaged or missing entry.
int CheckArchiveEntryAt(uint32_t index);
