#include "archive/payload_archive.h"

#include <cstring>

#include "archive/lz_block.h"
#include "archive/lzma_entry.h"
#include "common/bytes.h"
#include "common/error_box.h"
#include "common/messages.h"
#include "common/text.h"
#include "common/update_state.h"
#include "platform/platform.h"

// The mark of the newest format version this reader reads, for mkupdate to
// find in the updater it builds on (payload_archive.h); kept in the image
// though nothing refers to it.
__attribute__((used)) extern const char kArchiveReaderMark[] = "KOUSHIN-ARCHIVE-READS:3";
static_assert(kArchiveHighestVersion == 3, "the reader's mark names the newest version it reads");

namespace {

// One entry of the directory and where its data lies.
struct FoundEntry {
  uint32_t index;
  const char* name;
  uint32_t data_offset;
  uint32_t flags;
  uint64_t file_time;
  uint32_t size;
  uint32_t stored_size;
};

uint32_t EntryCount() {
  return UpdateState.ArchiveDirectory ? ReadLe32(UpdateState.ArchiveDirectory + kHeaderEntryCountAt) : 0;
}

const uint8_t* EntryRecord(uint32_t index) {
  return UpdateState.ArchiveDirectory + kArchiveHeaderSize + size_t(index) * kArchiveEntrySize;
}

FoundEntry Describe(uint32_t index, uint32_t data_offset) {
  const uint8_t* e = EntryRecord(index);
  return {index,
          reinterpret_cast<const char*>(e + kEntryNameAt),
          data_offset,
          ReadLe32(e + kEntryFlagsAt),
          ReadLe64(e + kEntryTimeAt),
          ReadLe32(e + kEntrySizeAt),
          ReadLe32(e + kEntryStoredSizeAt)};
}

// Walks the directory from its first entry, data offset 16, adding each
// entry's StoredSize rounded up to 16, until `stop` accepts an entry. The
// offsets were checked at opening, so the sums cannot wrap.
template <typename Stop>
bool WalkEntries(Stop stop, FoundEntry* found) {
  uint32_t count = EntryCount();
  uint32_t offset = kArchiveHeaderSize;
  for (uint32_t i = 0; i < count; ++i) {
    FoundEntry e = Describe(i, offset);
    if (stop(i, e)) {
      *found = e;
      return true;
    }
    offset += uint32_t(AlignedToArchive(e.stored_size));
  }
  return false;
}

// The shared lookup: the first entry in directory order whose name equals
// `name` by the archive's comparison.
bool FindEntry(const char* name, FoundEntry* found) {
  return WalkEntries([name](uint32_t, const FoundEntry& e) { return TextEqualNoCase(e.name, name); }, found);
}

// Entries are mostly asked for in order (a folder line walks them all): the
// walk goes on from the last entry found, whose data offset it keeps.
struct EntryCursor {
  const uint8_t* directory;
  uint32_t index, data_offset;
};
EntryCursor g_cursor;

bool EntryAt(uint32_t index, FoundEntry* found) {
  if (index >= EntryCount()) return false;
  if (g_cursor.directory != UpdateState.ArchiveDirectory || g_cursor.index > index)
    g_cursor = {UpdateState.ArchiveDirectory, 0, kArchiveHeaderSize};
  for (;;) {
    FoundEntry e = Describe(g_cursor.index, g_cursor.data_offset);
    if (g_cursor.index == index) {
      *found = e;
      return true;
    }
    g_cursor.data_offset += uint32_t(AlignedToArchive(e.stored_size));
    ++g_cursor.index;
  }
}

uint32_t ArchiveVersion() {
  return (ReadLe32(UpdateState.ArchiveDirectory + kHeaderFlagsAt) & kHeaderVersionMask) >> kHeaderVersionShift;
}

bool IsLzmaEntry(const FoundEntry& entry) { return EntryMethod(entry.flags) == kEntryMethodLzma; }
bool IsGroupMember(const FoundEntry& entry) { return EntryMethod(entry.flags) == kEntryMethodSolid; }

// The solid group a method 3 entry belongs to: its first member (the one
// whose data is the group's stream), the stream, the decoded size of all its
// members and where the entry's bytes lie in it.
struct SolidGroup {
  uint32_t first, data_offset, stored_size, flags, total, member_at;
};

// A member whose StoredSize is 0 follows members of its own Flags back to the
// first, whose StoredSize is not 0; the group runs on over the members of
// StoredSize 0 and the same Flags that follow. Its decoded size must fit in
// 32 bits and in what its stream can expand to, its properties be sound, the
// archive of version 3 or later. All of it is found in the directory.
bool FindGroup(const FoundEntry& entry, SolidGroup* group) {
  if (ArchiveVersion() < kArchiveVersionGroupsAndDeltas) return false;
  uint32_t first = entry.index;
  uint64_t at = 0;
  while (ReadLe32(EntryRecord(first) + kEntryStoredSizeAt) == 0) {
    if (first == 0) return false;  // no first member before it
    --first;
    const uint8_t* e = EntryRecord(first);
    if (ReadLe32(e + kEntryFlagsAt) != entry.flags) return false;
    at += ReadLe32(e + kEntrySizeAt);
  }
  uint32_t stored_size = ReadLe32(EntryRecord(first) + kEntryStoredSizeAt);
  // The members of StoredSize 0 all lie where the first one's data ends.
  uint32_t data_offset = entry.data_offset - (first == entry.index ? 0 : uint32_t(AlignedToArchive(stored_size)));
  uint64_t total = at + entry.size;
  for (uint32_t i = entry.index + 1, count = EntryCount(); i < count; ++i) {
    const uint8_t* e = EntryRecord(i);
    if (ReadLe32(e + kEntryStoredSizeAt) != 0 || ReadLe32(e + kEntryFlagsAt) != entry.flags) break;
    total += ReadLe32(e + kEntrySizeAt);
  }
  if (total > 0xFFFFFFFFu ||
      !LzmaGroupHeaderSound(entry.flags, UpdateState.PayloadArchive.Bytes + data_offset, stored_size, total))
    return false;
  *group = {first, data_offset, stored_size, entry.flags, uint32_t(total), uint32_t(at)};
  return true;
}

// Whether the entry's method is one this reader knows and its sizes agree: a
// stored entry's Size within its bytes, a compressed one's within what its
// block can expand to (so a damaged Size is found before a block of that
// size is asked for, or a file of it begun); an LZMA entry's properties are
// checked too (lzma_entry.h), and a group member's group (FindGroup). Method
// 1 is of version 2 archives and later, method 3 of version 3.
bool SizesAgree(const FoundEntry& entry) {
  uint32_t method = EntryMethod(entry.flags);
  if (method == kEntryMethodLzma)
    return ArchiveVersion() >= kArchiveVersionMethods &&
           LzmaEntryHeaderSound(entry.flags, UpdateState.PayloadArchive.Bytes + entry.data_offset, entry.stored_size,
                                entry.size);
  SolidGroup group;
  if (method == kEntryMethodSolid) return FindGroup(entry, &group);
  if (method != kEntryMethodOld) return false;
  if ((entry.flags & kEntryCompressed) == 0) return entry.size <= entry.stored_size;
  return uint64_t(entry.size) <= uint64_t(entry.stored_size) * kLzMostExpansion;
}

// The group being read and how far: a member at or after that point in the
// same group is decoded on from there (the bytes before it discarded), any
// other restarts the group. Members written in directory order so cost one
// decoding of their group. Its memory is the stream decoder's (one
// dictionary and the SDK's tables), held between reads, given back when the
// archive is closed or another entry's decoding needs memory.
struct GroupCursor {
  const uint8_t* directory;
  uint32_t first, position;
};
GroupCursor g_group;

void ReleaseGroupCursor() {
  if (LzmaStreamHeldBy(&g_group)) LzmaStreamEnd();
  g_group = {};
}

int DiscardPart(void*, const uint8_t*, uint32_t) { return 1; }

// Copies a part into the block that `context` points to the end of so far.
int CopyPart(void* context, const uint8_t* data, uint32_t size) {
  uint8_t** at = static_cast<uint8_t**>(context);
  memcpy(*at, data, size);
  *at += size;
  return 1;
}

// The member's Size bytes through `sink`, from the group cursor. As
// StreamEntry: 1 sound, 0 damaged (or `sink` failed), kLzmaNoMemory. The
// read that reaches the group's end finds whether the stream ends exactly
// there (the last member's); a failed read leaves the cursor at no group.
int ReadGroupMember(const FoundEntry& entry, LzSink sink, void* context) {
  SolidGroup group;
  if (!FindGroup(entry, &group)) return 0;
  if (g_group.directory != UpdateState.ArchiveDirectory || g_group.first != group.first ||
      g_group.position > group.member_at || !LzmaStreamHeldBy(&g_group)) {
    ReleaseGroupCursor();
    int begun = LzmaStreamBegin(&g_group, group.flags, group.total,
                                UpdateState.PayloadArchive.Bytes + group.data_offset, group.stored_size);
    if (begun != 1) return begun;
    g_group = {UpdateState.ArchiveDirectory, group.first, 0};
  }
  bool sound = LzmaStreamRead(group.member_at - g_group.position, DiscardPart, nullptr) &&
               LzmaStreamRead(entry.size, sink, context);
  if (!sound) {
    ReleaseGroupCursor();
    return 0;
  }
  g_group.position = group.member_at + entry.size;
  return 1;
}

// The entry's bytes: decoded into a new block for a compressed entry, in place
// for a stored one. Shows the message of a failure and returns none.
const uint8_t* EntryBytes(const FoundEntry& entry) {
  const uint8_t* data = UpdateState.PayloadArchive.Bytes + entry.data_offset;
  if (!SizesAgree(entry)) {
    ShowUpdaterError(kMsgBrokenEntry);
    return nullptr;
  }
  if (!IsLzmaEntry(entry) && !IsGroupMember(entry) && (entry.flags & kEntryCompressed) == 0) return data;
  // A decoder's memory held by the group cursor goes before another is asked for.
  if (!IsGroupMember(entry)) ReleaseGroupCursor();
  // A block of size 0 is still allocated, so the result is never confused
  // with "none".
  uint8_t* block = static_cast<uint8_t*>(Os->Alloc(entry.size ? entry.size : 1, 0));
  if (block == nullptr) {
    ShowUpdaterError(kMsgNoMemory);
    return nullptr;
  }
  // The end code must come exactly when Size bytes are filled: an early end
  // would leave the rest of the file as whatever the memory held.
  uint32_t produced = 0;
  uint8_t* filled = block;
  int sound = IsGroupMember(entry)
                  ? ReadGroupMember(entry, CopyPart, &filled)
                  : IsLzmaEntry(entry)
                        ? DecodeLzmaEntry(entry.flags, block, entry.size, data, entry.stored_size)
                        : DecompressLzBlockChecked(block, entry.size, data, entry.stored_size, &produced, nullptr) &&
                              produced == entry.size;
  if (sound != 1) {
    Os->Free(block);
    ShowUpdaterError(sound == kLzmaNoMemory ? kMsgNoMemory : kMsgBrokenEntry);
    return nullptr;
  }
  return block;
}

// Every entry's data must lie between the header and the directory.
bool EntriesFit(uint32_t directory_offset) {
  uint64_t offset = kArchiveHeaderSize;
  for (uint32_t i = 0, count = EntryCount(); i < count; ++i) {
    uint32_t stored = ReadLe32(EntryRecord(i) + kEntryStoredSizeAt);
    if (offset + stored > directory_offset) return false;
    offset += AlignedToArchive(stored);
  }
  return true;
}

}  // namespace

uint8_t* OpenPayloadArchive() {
  const uint8_t* image = UpdateState.PayloadArchive.Bytes;
  uint32_t image_size = UpdateState.PayloadArchive.Size;
  if (image == nullptr || image_size < kArchiveHeaderSize) return nullptr;
  uint32_t flags = ReadLe32(image + kHeaderFlagsAt);
  uint32_t directory_offset = ReadLe32(image + kHeaderDirectoryOffsetAt);
  uint32_t count = ReadLe32(image + kHeaderEntryCountAt);
  // A format version this reader does not know is not read at all.
  uint32_t version = (flags & kHeaderVersionMask) >> kHeaderVersionShift;
  if (version != kArchiveVersionOldKinds && version != kArchiveVersionMethods &&
      version != kArchiveVersionGroupsAndDeltas)
    return nullptr;
  // The magic protects nothing that these bounds do not, so it is not compared.
  if (directory_offset < kArchiveHeaderSize || directory_offset > image_size) return nullptr;
  // A count of entries that the directory's bytes cannot hold, even fully
  // expanded, is refused before anything is allocated.
  uint64_t tail = image_size - directory_offset;
  uint64_t entries_size = uint64_t(count) * kArchiveEntrySize;
  uint64_t most = (flags & kHeaderCompressedDirectory) ? tail * kLzMostExpansion : tail;
  if (entries_size > most || entries_size > 0x7FFFFFFF) return nullptr;
  uint32_t block_size = uint32_t(kArchiveHeaderSize + entries_size);
  uint8_t* dir = static_cast<uint8_t*>(Os->Alloc(block_size, 0));
  if (dir == nullptr) return nullptr;
  bool ok;
  if (flags & kHeaderCompressedDirectory) {
    // The block is decoded straight from the image, which the checked
    // decoder never reads beyond, so no temporary copy is needed.
    uint32_t produced = 0;
    ok = DecompressLzBlockChecked(dir + kArchiveHeaderSize, uint32_t(entries_size), image + directory_offset,
                                  image_size - directory_offset, &produced, nullptr) &&
         produced == entries_size;
  } else {
    memcpy(dir + kArchiveHeaderSize, image + directory_offset, size_t(entries_size));
    ok = true;
  }
  if (ok) {
    memcpy(dir, image, kArchiveHeaderSize);
    UpdateState.ArchiveDirectory = dir;
    ok = EntriesFit(directory_offset);
  }
  if (!ok) {
    Os->Free(dir);
    UpdateState.ArchiveDirectory = nullptr;
    return nullptr;
  }
  // A name that fills its field without a NUL is ended at the field's end,
  // so the lookup never reads past it.
  for (uint32_t i = 0; i < count; ++i)
    dir[kArchiveHeaderSize + size_t(i) * kArchiveEntrySize + kArchiveNameSize - 1] = 0;
  return dir;
}

void ClosePayloadArchive() {
  g_cursor = {};
  ReleaseGroupCursor();
  if (UpdateState.ArchiveDirectory != nullptr) {
    Os->Free(UpdateState.ArchiveDirectory);
    UpdateState.ArchiveDirectory = nullptr;
  }
}

bool IsDecodedEntry(const uint8_t* bytes) {
  const uint8_t* image = UpdateState.PayloadArchive.Bytes;
  return bytes != nullptr && !(bytes >= image && bytes < image + UpdateState.PayloadArchive.Size);
}

// The bytes of an entry that the lookup found, or the message that it did not.
static const uint8_t* LoadFoundEntry(bool found, const FoundEntry& entry, uint32_t* size) {
  if (!found) {
    ShowUpdaterError(kMsgNoEntry);
    return nullptr;
  }
  const uint8_t* bytes = EntryBytes(entry);
  if (bytes != nullptr && size != nullptr) *size = entry.size;
  return bytes;
}

const uint8_t* LoadArchiveEntry(const char* name, uint32_t* size) {
  FoundEntry entry{};
  bool found = FindEntry(name, &entry);
  return LoadFoundEntry(found, entry, size);
}

void ReleaseArchiveEntry(const uint8_t* bytes) {
  if (IsDecodedEntry(bytes)) Os->Free(const_cast<uint8_t*>(bytes));
}

int FindArchiveEntry(const char* name, uint32_t* index, ArchiveEntryInfo* info) {
  FoundEntry e{};
  uint32_t at = 0;
  if (!WalkEntries(
          [name, &at](uint32_t i, const FoundEntry& entry) {
            at = i;
            return TextEqualNoCase(entry.name, name);
          },
          &e))
    return 0;
  *index = at;
  *info = {e.name, e.flags, e.file_time, e.size, e.stored_size};
  return 1;
}

uint32_t ArchiveEntryCount() { return EntryCount(); }

int GetArchiveEntryInfo(uint32_t index, ArchiveEntryInfo* info) {
  FoundEntry e;
  if (!EntryAt(index, &e)) return 0;
  *info = {e.name, e.flags, e.file_time, e.size, e.stored_size};
  return 1;
}

const uint8_t* ArchiveEntryData(uint32_t index, ArchiveEntryInfo* info) {
  FoundEntry e;
  if (!EntryAt(index, &e)) return nullptr;
  *info = {e.name, e.flags, e.file_time, e.size, e.stored_size};
  return UpdateState.PayloadArchive.Bytes + e.data_offset;
}

const uint8_t* LoadArchiveEntryAt(uint32_t index, uint32_t* size) {
  FoundEntry entry{};
  bool found = EntryAt(index, &entry);
  return LoadFoundEntry(found, entry, size);
}

namespace {

// The decoder's buffer of the entry being written: one, as one entry is
// written at a time.
LzStreamBuffer StreamBuffer;

// Where the parts of an entry go: the temporary file, the count of bytes
// written and the caller's report of them.
struct EntryOutput {
  PlatformFile file;
  uint64_t done, total;
  void (*step)(void* context, uint64_t done, uint64_t total);
  void* context;
  bool failed;  // a write failed (not the entry)
};

int WritePart(void* context, const uint8_t* data, uint32_t size) {
  EntryOutput* output = static_cast<EntryOutput*>(context);
  if (!Os->WriteFileBytes(output->file, data, size)) {
    output->failed = true;
    return 0;
  }
  output->done += size;
  if (output->step) output->step(output->context, output->done, output->total);
  return 1;
}

// The entry's bytes through `sink`: a stored entry's straight from the image
// in parts of kLzStreamChunk, a compressed one's as its block is decoded. A
// compressed entry is sound when its end code comes exactly after Size bytes
// (an early end would leave the rest of the file unwritten). 1 when sound,
// 0 when not (or `sink` failed), kLzmaNoMemory when an LZMA entry's decoder
// got no memory.
int StreamEntry(const FoundEntry& entry, LzSink sink, void* context) {
  const uint8_t* data = UpdateState.PayloadArchive.Bytes + entry.data_offset;
  if (IsGroupMember(entry)) return ReadGroupMember(entry, sink, context);
  if (IsLzmaEntry(entry)) ReleaseGroupCursor();
  if (IsLzmaEntry(entry)) return DecodeLzmaEntryStream(entry.flags, entry.size, data, entry.stored_size, sink, context);
  if ((entry.flags & kEntryCompressed) == 0) {
    for (uint32_t at = 0; at < entry.size;) {
      uint32_t part = entry.size - at < kLzStreamChunk ? entry.size - at : kLzStreamChunk;
      if (!sink(context, data + at, part)) return 0;
      at += part;
    }
    return 1;
  }
  uint32_t produced = 0;
  return DecompressLzBlockStream(&StreamBuffer, entry.size, data, entry.stored_size, sink, context, &produced,
                                 nullptr) &&
         produced == entry.size;
}

}  // namespace

PlatformFile WriteEntryBeside(uint32_t index, const char* path, const uint64_t* time, char* temp,
                              void (*step)(void* context, uint64_t done, uint64_t total), void* context) {
  FoundEntry entry{};
  if (!EntryAt(index, &entry)) {
    ShowUpdaterError(kMsgNoEntry);
    return nullptr;
  }
  if (!SizesAgree(entry)) {
    ShowUpdaterError(kMsgBrokenEntry);
    return nullptr;
  }
  PlatformFile file = Os->CreateTempFileBeside(path, temp);
  if (file == nullptr) return nullptr;
  // As WriteBufferBeside: the times on the temporary file, then the flush,
  // nothing more once a write has failed; on any failure the temporary file
  // goes and the destination stays as it was.
  EntryOutput output{file, 0, entry.size, step, context, false};
  int streamed = StreamEntry(entry, WritePart, &output);
  bool ok = streamed == 1;
  bool damaged = streamed == 0 && !output.failed;
  if (ok && entry.size == 0 && step) step(context, 0, 0);
  if (ok && time != nullptr) ok = Os->SetFileTimes(file, *time);
  if (ok) ok = Os->FlushFile(file);
  if (ok) return file;
  Os->CloseFile(file);
  Os->RemoveFile(temp);
  if (damaged) ShowUpdaterError(kMsgBrokenEntry);
  if (streamed == kLzmaNoMemory) ShowUpdaterError(kMsgNoMemory);
  return nullptr;
}

int CheckArchiveEntryAt(uint32_t index) {
  FoundEntry entry{};
  if (!EntryAt(index, &entry)) {
    ShowUpdaterError(kMsgNoEntry);
    return 0;
  }
  int streamed = SizesAgree(entry) ? StreamEntry(entry, DiscardPart, nullptr) : 0;
  if (streamed == 1) return 1;
  ShowUpdaterError(streamed == kLzmaNoMemory ? kMsgNoMemory : kMsgBrokenEntry);
  return 0;
}
