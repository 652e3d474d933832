#include "archive/delta_patch.h"

#include <cstring>

#include "common/bytes.h"

namespace {

// Hands the gathered new bytes to the writer, hashing them on the way.
int FlushOut(DeltaApplier* a) {
  if (a->OutHave == 0) return 1;
  Xxh64Update(&a->Hash, a->Out, a->OutHave);
  if (!a->Write(a->Context, a->Out, a->OutHave)) return 0;
  a->OutHave = 0;
  return 1;
}

// Takes the record's head: refused when its add bytes would read beyond the
// old file or its bytes would make the new file longer than its size. The
// seek is tested when it is applied, after the add bytes.
int BeginRecord(DeltaApplier* a) {
  uint32_t add = ReadLe32(a->RecordHead);
  uint32_t copy = ReadLe32(a->RecordHead + 4);
  a->Seek = int64_t(ReadLe64(a->RecordHead + 8));
  a->RecordHeadSize = 0;
  if (a->Produced >= a->NewSize) return 0;  // the file is complete: nothing may follow
  if (add > a->OldSize - a->OldPosition) return 0;
  if (uint64_t(add) + copy > a->NewSize - a->Produced) return 0;
  a->AddLeft = add;
  a->CopyLeft = copy;
  a->InRecord = 1;
  return 1;
}

// Moves the old position by the record's seek: refused when it would leave
// the old file (its end is a position still).
int EndRecord(DeltaApplier* a) {
  a->InRecord = 0;
  if (a->Seek < 0) {
    uint64_t back = uint64_t(0) - uint64_t(a->Seek);
    if (back > a->OldPosition) return 0;
    a->OldPosition -= back;
  } else {
    if (uint64_t(a->Seek) > a->OldSize - a->OldPosition) return 0;
    a->OldPosition += uint64_t(a->Seek);
  }
  return 1;
}

// Makes the old byte at OldPosition readable in Old, reading ahead as far as
// the record's add bytes go (never beyond them, so never beyond the file).
int HaveOldByte(DeltaApplier* a) {
  if (a->OldPosition >= a->OldStart && a->OldPosition - a->OldStart < a->OldHave) return 1;
  uint32_t n = a->AddLeft < kDeltaBufferSize ? a->AddLeft : kDeltaBufferSize;
  if (!a->ReadAt(a->Context, a->OldPosition, a->Old, n)) return 0;
  a->OldStart = a->OldPosition;
  a->OldHave = n;
  return 1;
}

int Apply(DeltaApplier* a, const uint8_t* data, uint32_t size) {
  while (size > 0) {
    if (!a->InRecord) {
      uint32_t take = kDeltaRecordHeadSize - a->RecordHeadSize;
      if (take > size) take = size;
      memcpy(a->RecordHead + a->RecordHeadSize, data, take);
      a->RecordHeadSize += take;
      data += take;
      size -= take;
      if (a->RecordHeadSize < kDeltaRecordHeadSize) return 1;
      if (!BeginRecord(a)) return 0;
    } else if (a->AddLeft > 0) {
      if (!HaveOldByte(a)) return 0;
      // As many as the input, the old bytes read and the output's room allow.
      uint32_t n = a->AddLeft;
      uint32_t in_old = uint32_t(a->OldStart + a->OldHave - a->OldPosition);
      if (n > size) n = size;
      if (n > in_old) n = in_old;
      if (n > kDeltaBufferSize - a->OutHave) n = kDeltaBufferSize - a->OutHave;
      const uint8_t* old = a->Old + (a->OldPosition - a->OldStart);
      uint8_t* out = a->Out + a->OutHave;
      for (uint32_t i = 0; i < n; ++i) out[i] = uint8_t(old[i] + data[i]);
      a->OutHave += n;
      a->OldPosition += n;
      a->Produced += n;
      a->AddLeft -= n;
      data += n;
      size -= n;
    } else if (a->CopyLeft > 0) {
      uint32_t n = a->CopyLeft;
      if (n > size) n = size;
      if (n > kDeltaBufferSize - a->OutHave) n = kDeltaBufferSize - a->OutHave;
      memcpy(a->Out + a->OutHave, data, n);
      a->OutHave += n;
      a->Produced += n;
      a->CopyLeft -= n;
      data += n;
      size -= n;
    }
    if (a->OutHave == kDeltaBufferSize && !FlushOut(a)) return 0;
    if (a->InRecord && a->AddLeft == 0 && a->CopyLeft == 0 && !EndRecord(a)) return 0;
  }
  return 1;
}

}  // namespace

int ReadDeltaHead(const uint8_t* bytes, uint32_t size, DeltaHead* head) {
  if (bytes == nullptr || size < kDeltaHeadSize) return 0;
  if (memcmp(bytes, "KSD1", 4) != 0) return 0;
  head->OldSize = ReadLe64(bytes + 4);
  head->OldHash = ReadLe64(bytes + 12);
  head->NewHash = ReadLe64(bytes + 20);
  head->PatchSize = ReadLe32(bytes + 28);
  return 1;
}

void WriteDeltaHead(const DeltaHead* head, uint8_t bytes[kDeltaHeadSize]) {
  memcpy(bytes, "KSD1", 4);
  WriteLe64(bytes + 4, head->OldSize);
  WriteLe64(bytes + 12, head->OldHash);
  WriteLe64(bytes + 20, head->NewHash);
  WriteLe32(bytes + 28, head->PatchSize);
}

void StartDeltaApplier(DeltaApplier* applier, uint64_t old_size, uint64_t new_size, uint64_t new_hash,
                       DeltaReadAt read_at, DeltaWrite write, void* context) {
  DeltaApplier* a = applier;
  a->ReadAt = read_at;
  a->Write = write;
  a->Context = context;
  a->OldSize = old_size;
  a->NewSize = new_size;
  a->NewHash = new_hash;
  a->OldPosition = 0;
  a->Produced = 0;
  a->AddLeft = a->CopyLeft = 0;
  a->Seek = 0;
  a->RecordHeadSize = 0;
  a->InRecord = 0;
  a->Failed = 0;
  Xxh64Reset(&a->Hash, 0);
  a->OldStart = 0;
  a->OldHave = 0;
  a->OutHave = 0;
}

int FeedDeltaApplier(DeltaApplier* applier, const uint8_t* data, uint32_t size) {
  if (applier->Failed) return 0;
  if (!Apply(applier, data, size)) applier->Failed = 1;
  return !applier->Failed;
}

int FinishDeltaApplier(DeltaApplier* applier) {
  DeltaApplier* a = applier;
  if (a->Failed || a->InRecord || a->RecordHeadSize != 0 || a->Produced != a->NewSize) return 0;
  if (!FlushOut(a)) {
    a->Failed = 1;
    return 0;
  }
  return Xxh64Digest(&a->Hash) == a->NewHash;
}
