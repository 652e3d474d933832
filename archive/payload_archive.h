// The payload archive that the executable carries as resource UPDATE/102.
//
// Image layout (integers unsigned, little-endian):
//   header, 16 bytes   Magic "FA2\0" | Flags (bit 0: directory compressed)
//                      | DirectoryOffset | EntryCount
//   entry data         from offset 16, in directory order; each entry takes
//                      StoredSize bytes, zero-padded to a multiple of 16
//   directory          at DirectoryOffset, last in the image: EntryCount
//                      records of 280 bytes, or one LzBlock decoding to them
//                      that runs to the end of the image
//   entry record       Name[260] (NUL-terminated, code page 932) | Flags
//                      (bit of value 2: data is one LzBlock) | FileTime (8)
//                      | Size (decoded) | StoredSize (bytes in the archive)
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
};

// The archive's format version, bits 8-15 of the header's Flags: 0 for an
// archive of stored and LzBlock entries only, 2 when an entry may carry a
// method. An archive of another version is refused at opening.
enum : uint32_t {
  kArchiveVersionShift = 8,
  kArchiveVersionMask = 0xFF00,
  kArchiveVersionMethods = 2,
};
// An entry's method, bits 8-15 of its Flags: 0 the kinds of bits 0-1; 2 a
// delta against the previous release (delta_patch.h), whose patch stream is
// encoded as bits 16-23 say (0: one LzBlock). An entry of a method this
// program does not know is refused before anything is written.
enum : uint32_t {
  kEntryMethodShift = 8,
  kEntryMethodMask = 0xFF00,
  kEntryMethodDelta = 2,
  kEntryCodingShift = 16,
  kEntryCodingMask = 0xFF0000,
  kEntryCodingLzBlock = 0,
};
inline uint32_t EntryMethodOf(uint32_t flags) { return (flags & kEntryMethodMask) >> kEntryMethodShift; }
inline uint32_t EntryCodingOf(uint32_t flags) { return (flags & kEntryCodingMask) >> kEntryCodingShift; }

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
