#include "archive/delta_entry.h"

#include "archive/delta_patch.h"
#include "archive/lz_block.h"
#include "archive/lzma_entry.h"
#include "archive/payload_archive.h"
#include "common/error_box.h"
#include "common/messages.h"

namespace {

// One delta is made at a time: its decoder's buffer and its applier.
LzStreamBuffer DeltaStreamBuffer;
DeltaApplier Applier;

// Where the new bytes go and where the old ones come from.
struct DeltaOutput {
  PlatformFile old_file;
  PlatformFile file;
  uint64_t done, total;
  void (*step)(void* context, uint64_t done, uint64_t total);
  void* context;
  bool failed;  // a read or a write failed (not the entry)
};

int ReadOld(void* context, uint64_t offset, void* buffer, uint32_t n) {
  DeltaOutput* output = static_cast<DeltaOutput*>(context);
  uint32_t got = 0;
  if (Os->ReadFileAt(output->old_file, offset, buffer, n, &got) && got == n) return 1;
  output->failed = true;
  return 0;
}

int WriteNew(void* context, const void* buffer, uint32_t n) {
  DeltaOutput* output = static_cast<DeltaOutput*>(context);
  if (!Os->WriteFileBytes(output->file, buffer, n)) {
    output->failed = true;
    return 0;
  }
  output->done += n;
  if (output->step) output->step(output->context, output->done, output->total);
  return 1;
}

// The decoded patch, part by part, into the applier.
int FeedPatch(void*, const uint8_t* data, uint32_t size) { return FeedDeltaApplier(&Applier, data, size); }

// A delta entry whose head and coding this program reads: its head.
bool SoundDelta(const uint8_t* data, const ArchiveEntryInfo& info, DeltaHead* head) {
  uint32_t coding = DeltaCoding(info.Flags);
  return EntryMethod(info.Flags) == kEntryMethodDelta && (coding == kDeltaCodingLzBlock || coding == kDeltaCodingLzma) &&
         EntryDistance(info.Flags) == 0 && (info.Flags & 0xFF) == 0 && ReadDeltaHead(data, info.StoredSize, head);
}

// The entry's patch stream, decoded to exactly its PatchSize bytes, into
// `sink` part by part. 1 when sound; 0 on damage or when `sink` refuses;
// kLzmaNoMemory when an LZMA decoder's memory is refused.
int DecodePatch(const uint8_t* data, const ArchiveEntryInfo& info, const DeltaHead& head, LzSink sink, void* context) {
  const uint8_t* patch = data + kDeltaHeadSize;
  uint32_t patch_size = info.StoredSize - kDeltaHeadSize;
  if (DeltaCoding(info.Flags) == kDeltaCodingLzma)
    return DecodeLzmaEntryStream(LzmaEntryFlags(kEntryFilterNone, 0), head.PatchSize, patch, patch_size, sink, context);
  uint32_t produced = 0, consumed = 0;
  return DecompressLzBlockStream(&DeltaStreamBuffer, head.PatchSize, patch, patch_size, sink, context, &produced,
                                 &consumed) &&
         produced == head.PatchSize && consumed == patch_size;
}

int Discard(void*, const uint8_t*, uint32_t) { return 1; }

}  // namespace

int DeltaEntryHashes(uint32_t index, uint64_t* old_hash, uint64_t* new_hash, uint64_t* old_size) {
  ArchiveEntryInfo info;
  const uint8_t* data = ArchiveEntryData(index, &info);
  DeltaHead head;
  if (data == nullptr || !SoundDelta(data, info, &head)) return 0;
  *old_hash = head.OldHash;
  *new_hash = head.NewHash;
  *old_size = head.OldSize;
  return 1;
}

int DeltaPatchDecodes(uint32_t index) {
  ArchiveEntryInfo info;
  const uint8_t* data = ArchiveEntryData(index, &info);
  DeltaHead head;
  return data != nullptr && SoundDelta(data, info, &head) && DecodePatch(data, info, head, Discard, nullptr) == 1;
}

PlatformFile WriteDeltaEntryBeside(uint32_t index, PlatformFile old_file, const char* path, const uint64_t* time,
                                   char* temp, void (*step)(void* context, uint64_t done, uint64_t total),
                                   void* context) {
  ArchiveEntryInfo info;
  const uint8_t* data = ArchiveEntryData(index, &info);
  if (data == nullptr) {
    ShowUpdaterError(kMsgNoEntry);
    return nullptr;
  }
  DeltaHead head;
  if (!SoundDelta(data, info, &head)) {
    ShowUpdaterError(kMsgBrokenEntry);
    return nullptr;
  }
  PlatformFile file = Os->CreateTempFileBeside(path, temp);
  if (file == nullptr) return nullptr;
  DeltaOutput output{old_file, file, 0, info.Size, step, context, false};
  StartDeltaApplier(&Applier, head.OldSize, info.Size, head.NewHash, ReadOld, WriteNew, &output);
  int decoded = DecodePatch(data, info, head, FeedPatch, nullptr);
  bool ok = decoded == 1 && FinishDeltaApplier(&Applier);
  bool damaged = !ok && !output.failed && decoded != kLzmaNoMemory;
  if (ok && info.Size == 0 && step) step(context, 0, 0);
  if (ok && time != nullptr) ok = Os->SetFileTimes(file, *time);
  if (ok) ok = Os->FlushFile(file);
  if (ok) return file;
  Os->CloseFile(file);
  Os->RemoveFile(temp);
  if (decoded == kLzmaNoMemory) ShowUpdaterError(kMsgNoMemory);
  if (damaged) ShowUpdaterError(kMsgBrokenEntry);
  return nullptr;
}
