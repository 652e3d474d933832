#include "archive/lzma_entry.h"

#include <cstring>

#include "archive/payload_archive.h"
#include "common/bytes.h"
#include "platform/platform.h"

#include "Bra.h"
#include "Delta.h"
#include "LzmaDec.h"

namespace {

// The SDK's tables and dictionary come from the platform's allocator.
void* SdkAlloc(ISzAllocPtr, size_t size) { return size <= 0xFFFFFFFFu ? Os->Alloc(uint32_t(size), 0) : nullptr; }
void SdkFree(ISzAllocPtr, void* block) {
  if (block != nullptr) Os->Free(block);
}
const ISzAlloc kSdkAlloc = {SdkAlloc, SdkFree};

// Whether the method's filter fields are ones this reader undoes.
bool FilterKnown(uint32_t flags) {
  switch (EntryFilter(flags)) {
    case kEntryFilterNone:
    case kEntryFilterX86:
      return EntryDistance(flags) == 0;
    case kEntryFilterDelta:
      return EntryDistance(flags) >= 1;
    default:
      return false;
  }
}

// The decoded bytes on their way out: the filter undone, then `sink`.
// The x86 converter leaves the last 4 bytes of what it is given for the next
// call (a branch may run across), so up to 4 bytes wait in front of the
// buffer; the delta filter keeps its own state of the last 256 bytes.
struct FilterOutput {
  uint32_t filter, distance;
  LzSink sink;
  void* context;
  uint32_t x86_state, x86_position, kept;
  uint8_t delta_state[DELTA_STATE_SIZE];
  uint8_t bytes[kLzStreamChunk + 4];
};
FilterOutput g_output;  // one entry is decoded at a time

int PassOn(FilterOutput* out, const uint8_t* data, uint32_t size) {
  if (out->filter == kEntryFilterNone) return out->sink(out->context, data, size);
  while (size > 0) {
    uint32_t room = uint32_t(sizeof out->bytes) - out->kept;
    uint32_t part = size < room ? size : room;
    memcpy(out->bytes + out->kept, data, part);
    data += part;
    size -= part;
    if (out->filter == kEntryFilterDelta) {
      Delta_Decode(out->delta_state, out->distance, out->bytes, part);
      if (!out->sink(out->context, out->bytes, part)) return 0;
      continue;
    }
    out->kept += part;
    uint32_t done = uint32_t(x86_Convert(out->bytes, out->kept, out->x86_position, &out->x86_state, 0));
    if (done == 0) continue;
    if (!out->sink(out->context, out->bytes, done)) return 0;
    out->x86_position += done;
    out->kept -= done;
    memmove(out->bytes, out->bytes + done, out->kept);
  }
  return 1;
}

// The bytes the x86 converter held back: the file's last ones, which it
// never converts.
int FinishOutput(FilterOutput* out) {
  if (out->kept == 0) return 1;
  return out->sink(out->context, out->bytes, out->kept);
}

}  // namespace

int LzmaEntryHeaderSound(uint32_t flags, const uint8_t* data, uint32_t stored_size, uint32_t size) {
  if (EntryMethod(flags) != kEntryMethodLzma || (flags & kEntryKindMask) != 0 || (flags & 0xFC) != 0 ||
      !FilterKnown(flags))
    return 0;
  if (stored_size < kLzmaPropsSize) return 0;
  CLzmaProps props;
  if (LzmaProps_Decode(&props, data, kLzmaPropsSize) != SZ_OK) return 0;
  if (ReadLe32(data + 1) > kLzmaMostDictionary || props.lc + props.lp > kLzmaMostLcLp) return 0;
  return uint64_t(size) <= uint64_t(stored_size) * kLzmaMostExpansion;
}

int DecodeLzmaEntry(uint32_t flags, uint8_t* dst, uint32_t size, const uint8_t* src, uint32_t stored_size) {
  if (!LzmaEntryHeaderSound(flags, src, stored_size, size)) return 0;
  SizeT produced = size, consumed = stored_size - kLzmaPropsSize;
  ELzmaStatus status;
  // Exactly Size bytes, the stream's last byte with the last of them.
  if (LzmaDecode(dst, &produced, src + kLzmaPropsSize, &consumed, src, kLzmaPropsSize, LZMA_FINISH_END, &status,
                 &kSdkAlloc) != SZ_OK ||
      produced != size || consumed != stored_size - kLzmaPropsSize || status != LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK)
    return 0;
  if (EntryFilter(flags) == kEntryFilterX86) {
    UInt32 state = 0;
    x86_Convert(dst, size, 0, &state, 0);
  } else if (EntryFilter(flags) == kEntryFilterDelta) {
    Byte state[DELTA_STATE_SIZE];
    Delta_Init(state);
    Delta_Decode(state, EntryDistance(flags), dst, size);
  }
  return 1;
}

int DecodeLzmaEntryStream(uint32_t flags, uint32_t size, const uint8_t* src, uint32_t stored_size, LzSink sink,
                          void* context) {
  if (!LzmaEntryHeaderSound(flags, src, stored_size, size)) return 0;
  CLzmaDec dec;
  LzmaDec_Construct(&dec);
  SRes probs = LzmaDec_AllocateProbs(&dec, src, kLzmaPropsSize, &kSdkAlloc);
  if (probs != SZ_OK) return probs == SZ_ERROR_MEM ? kLzmaNoMemory : 0;
  // The dictionary: the stream's own size, or the file's when that is less
  // (no match reaches further back than the file's start).
  uint32_t dictionary = dec.prop.dicSize < size ? dec.prop.dicSize : size;
  if (dictionary == 0) dictionary = 1;
  dec.dic = static_cast<Byte*>(Os->Alloc(dictionary, 0));
  if (dec.dic == nullptr) {
    LzmaDec_FreeProbs(&dec, &kSdkAlloc);
    return kLzmaNoMemory;
  }
  dec.dicBufSize = dictionary;
  LzmaDec_Init(&dec);

  FilterOutput* out = &g_output;
  out->filter = EntryFilter(flags);
  out->distance = EntryDistance(flags);
  out->sink = sink;
  out->context = context;
  out->x86_state = 0;
  out->x86_position = 0;
  out->kept = 0;
  Delta_Init(out->delta_state);

  uint32_t in_at = kLzmaPropsSize, remaining = size;
  ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
  bool ok = true;
  for (;;) {
    if (dec.dicPos == dec.dicBufSize) dec.dicPos = 0;
    SizeT step = dec.dicBufSize - dec.dicPos;
    if (step > kLzStreamChunk) step = kLzStreamChunk;
    if (step > remaining) step = remaining;
    SizeT start = dec.dicPos, in_size = stored_size - in_at;
    // The last part must end the stream there: a stream that goes on is damaged.
    SRes res = LzmaDec_DecodeToDic(&dec, start + step, src + in_at, &in_size,
                                   step == remaining ? LZMA_FINISH_END : LZMA_FINISH_ANY, &status);
    in_at += uint32_t(in_size);
    uint32_t produced = uint32_t(dec.dicPos - start);
    if (res != SZ_OK || produced > remaining) {
      ok = false;
      break;
    }
    if (produced > 0 && !PassOn(out, dec.dic + start, produced)) {
      ok = false;
      break;
    }
    remaining -= produced;
    if (remaining == 0) break;
    // Nothing more from the stream before Size: it ended early.
    if (produced == 0) {
      ok = false;
      break;
    }
  }
  ok = ok && status == LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK && in_at == stored_size && FinishOutput(out);
  Os->Free(dec.dic);
  dec.dic = nullptr;
  LzmaDec_FreeProbs(&dec, &kSdkAlloc);
  return ok ? 1 : 0;
}
