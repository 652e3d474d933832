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

// The one stream decoder (one entry or group is decoded at a time): the
// SDK's state and dictionary, where it stands in its stored bytes, and the
// decoded bytes on their way out. Those wait in `bytes` for the filter: the
// x86 converter leaves the last 4 bytes of what it is given for the next call
// (a branch may run across), the delta filter keeps its own state of the
// last 256 bytes. bytes[start, ready) are undone and not yet handed on,
// bytes[ready, kept) wait for the x86 converter.
struct StreamDecoder {
  const void* holder;
  bool active;
  CLzmaDec dec;
  const uint8_t* src;
  uint32_t stored_size, in_at, remaining;
  ELzmaStatus status;
  uint32_t filter, distance, x86_state, x86_position;
  uint32_t start, ready, kept;
  uint8_t delta_state[DELTA_STATE_SIZE];
  uint8_t bytes[kLzStreamChunk + 4];
};
StreamDecoder g_decoder;

// Whether the filter fields, the property bytes and the sizes are ones this
// reader decodes, whatever the method.
bool StreamHeaderSound(uint32_t flags, const uint8_t* data, uint32_t stored_size, uint64_t size) {
  if ((flags & kEntryKindMask) != 0 || (flags & 0xFC) != 0 || !FilterKnown(flags)) return false;
  if (stored_size < kLzmaPropsSize) return false;
  CLzmaProps props;
  if (LzmaProps_Decode(&props, data, kLzmaPropsSize) != SZ_OK) return false;
  if (ReadLe32(data + 1) > kLzmaMostDictionary || props.lc + props.lp > kLzmaMostLcLp) return false;
  return size <= uint64_t(stored_size) * kLzmaMostExpansion;
}

// Decodes up to `most` more bytes (at least one while any remain) into the
// dictionary, where *at points to them; how many, or -1 on damage. The part
// that reaches the decoded size must end the stream there: a stream that
// goes on, or ends early, is damaged.
int64_t DecodeSome(uint32_t most, const uint8_t** at) {
  StreamDecoder& d = g_decoder;
  if (d.dec.dicPos == d.dec.dicBufSize) d.dec.dicPos = 0;
  SizeT step = d.dec.dicBufSize - d.dec.dicPos;
  if (step > most) step = most;
  if (step > d.remaining) step = d.remaining;
  SizeT start = d.dec.dicPos, in_size = d.stored_size - d.in_at;
  SRes res = LzmaDec_DecodeToDic(&d.dec, start + step, d.src + d.in_at, &in_size,
                                 step == d.remaining ? LZMA_FINISH_END : LZMA_FINISH_ANY, &d.status);
  d.in_at += uint32_t(in_size);
  uint32_t produced = uint32_t(d.dec.dicPos - start);
  if (res != SZ_OK || produced > d.remaining) return -1;
  d.remaining -= produced;
  if (d.remaining == 0) {
    if (d.status != LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK || d.in_at != d.stored_size) return -1;
  } else if (produced == 0) {
    return -1;  // nothing more from the stream before its size: it ended early
  }
  *at = d.dec.dic + start;
  return produced;
}

}  // namespace

int LzmaEntryHeaderSound(uint32_t flags, const uint8_t* data, uint32_t stored_size, uint32_t size) {
  return EntryMethod(flags) == kEntryMethodLzma && StreamHeaderSound(flags, data, stored_size, size);
}

int LzmaGroupHeaderSound(uint32_t flags, const uint8_t* data, uint32_t stored_size, uint64_t size) {
  return EntryMethod(flags) == kEntryMethodSolid && StreamHeaderSound(flags, data, stored_size, size);
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

int LzmaStreamBegin(const void* holder, uint32_t flags, uint32_t size, const uint8_t* src, uint32_t stored_size) {
  LzmaStreamEnd();
  if (!StreamHeaderSound(flags, src, stored_size, size)) return 0;
  StreamDecoder& d = g_decoder;
  LzmaDec_Construct(&d.dec);
  SRes probs = LzmaDec_AllocateProbs(&d.dec, src, kLzmaPropsSize, &kSdkAlloc);
  if (probs != SZ_OK) return probs == SZ_ERROR_MEM ? kLzmaNoMemory : 0;
  // The dictionary: the stream's own size, or the decoded size when that is
  // less (no match reaches further back than the start).
  uint32_t dictionary = d.dec.prop.dicSize < size ? d.dec.prop.dicSize : size;
  if (dictionary == 0) dictionary = 1;
  d.dec.dic = static_cast<Byte*>(Os->Alloc(dictionary, 0));
  if (d.dec.dic == nullptr) {
    LzmaDec_FreeProbs(&d.dec, &kSdkAlloc);
    return kLzmaNoMemory;
  }
  d.dec.dicBufSize = dictionary;
  LzmaDec_Init(&d.dec);
  d.holder = holder;
  d.active = true;
  d.src = src;
  d.stored_size = stored_size;
  d.in_at = kLzmaPropsSize;
  d.remaining = size;
  d.status = LZMA_STATUS_NOT_SPECIFIED;
  d.filter = EntryFilter(flags);
  d.distance = EntryDistance(flags);
  d.x86_state = 0;
  d.x86_position = 0;
  d.start = d.ready = d.kept = 0;
  Delta_Init(d.delta_state);
  // An empty stream is checked here: no read will decode it.
  const uint8_t* at;
  if (size == 0 && DecodeSome(0, &at) < 0) {
    LzmaStreamEnd();
    return 0;
  }
  return 1;
}

int LzmaStreamHeldBy(const void* holder) { return g_decoder.active && g_decoder.holder == holder; }

int LzmaStreamRead(uint32_t count, LzSink sink, void* context) {
  StreamDecoder& d = g_decoder;
  if (!d.active) return 0;
  while (count > 0) {
    if (d.ready > d.start) {
      uint32_t part = d.ready - d.start < count ? d.ready - d.start : count;
      if (!sink(context, d.bytes + d.start, part)) return 0;
      d.start += part;
      count -= part;
      continue;
    }
    if (d.remaining == 0) return 0;  // asked for more than the stream holds
    const uint8_t* at;
    if (d.filter == kEntryFilterNone) {
      int64_t got = DecodeSome(count < kLzStreamChunk ? count : kLzStreamChunk, &at);
      if (got < 0 || (got > 0 && !sink(context, at, uint32_t(got)))) return 0;
      count -= uint32_t(got);
      continue;
    }
    // What waits for the converter goes to the front, then more after it.
    memmove(d.bytes, d.bytes + d.ready, d.kept - d.ready);
    d.kept -= d.ready;
    d.start = d.ready = 0;
    uint32_t room = uint32_t(sizeof d.bytes) - d.kept;
    int64_t got = DecodeSome(room < kLzStreamChunk ? room : kLzStreamChunk, &at);
    if (got < 0) return 0;
    memcpy(d.bytes + d.kept, at, size_t(got));
    if (d.filter == kEntryFilterDelta) {
      Delta_Decode(d.delta_state, d.distance, d.bytes + d.kept, size_t(got));
      d.kept += uint32_t(got);
      d.ready = d.kept;
      continue;
    }
    d.kept += uint32_t(got);
    d.ready = uint32_t(x86_Convert(d.bytes, d.kept, d.x86_position, &d.x86_state, 0));
    d.x86_position += d.ready;
    // The last bytes, which the converter never converts, at the end.
    if (d.remaining == 0) d.ready = d.kept;
  }
  return 1;
}

void LzmaStreamEnd() {
  StreamDecoder& d = g_decoder;
  if (!d.active) return;
  Os->Free(d.dec.dic);
  d.dec.dic = nullptr;
  LzmaDec_FreeProbs(&d.dec, &kSdkAlloc);
  d.active = false;
  d.holder = nullptr;
}

int DecodeLzmaEntryStream(uint32_t flags, uint32_t size, const uint8_t* src, uint32_t stored_size, LzSink sink,
                          void* context) {
  if (!LzmaEntryHeaderSound(flags, src, stored_size, size)) return 0;
  int begun = LzmaStreamBegin(nullptr, flags, size, src, stored_size);
  if (begun != 1) return begun;
  int sound = LzmaStreamRead(size, sink, context);
  LzmaStreamEnd();
  return sound;
}
