#include "archive/lzma_encode.h"

#include <cstdlib>
#include <cstring>

#include "archive/lzma_entry.h"
#include "archive/payload_archive.h"
#include "common/bytes.h"

#include "Bra.h"
#include "Delta.h"
#include "LzmaEnc.h"

namespace {

void* HeapAlloc(ISzAllocPtr, size_t size) { return malloc(size); }
void HeapFree(ISzAllocPtr, void* block) { free(block); }
const ISzAlloc kHeap = {HeapAlloc, HeapFree};

// The dictionary for a file: its size rounded up to a power of two, within
// 4 KiB and 8 MiB (the decoder allocates no more than the file's size).
uint32_t DictionaryFor(size_t size) {
  uint32_t dictionary = 4096;
  while (dictionary < size && dictionary < kLzmaMostDictionary) dictionary <<= 1;
  return dictionary;
}

}  // namespace

std::vector<uint8_t> EncodeLzmaEntry(const uint8_t* data, size_t size, uint32_t filter, uint32_t distance,
                                     size_t limit, uint32_t dictionary, LzmaShape shape) {
  std::vector<uint8_t> input(data, data + size);
  if (filter == kEntryFilterX86) {
    UInt32 state = 0;
    x86_Convert(input.data(), input.size(), 0, &state, 1);
  } else if (filter == kEntryFilterDelta) {
    Byte state[DELTA_STATE_SIZE];
    Delta_Init(state);
    Delta_Encode(state, distance, input.data(), input.size());
  }
  CLzmaEncProps props;
  LzmaEncProps_Init(&props);
  props.level = 9;
  props.dictSize = dictionary ? dictionary : DictionaryFor(size);
  props.lc = int(shape.lc);
  props.lp = int(shape.lp);
  props.pb = int(shape.pb);
  props.algo = 1;
  props.fb = 273;
  props.btMode = 1;
  props.numHashBytes = 4;
  props.writeEndMark = 0;
  props.numThreads = 1;
  props.reduceSize = dictionary ? ~UInt64(0) : size;
  if (limit <= kLzmaPropsSize) return {};
  std::vector<uint8_t> out(limit);
  SizeT out_size = limit - kLzmaPropsSize, props_size = kLzmaPropsSize;
  SRes res = LzmaEncode(out.data() + kLzmaPropsSize, &out_size, input.data(), input.size(), &props, out.data(),
                        &props_size, 0, nullptr, &kHeap, &kHeap);
  if (res != SZ_OK || props_size != kLzmaPropsSize) return {};
  out.resize(kLzmaPropsSize + out_size);
  if (out.size() >= limit) return {};
  return out;
}

bool LooksLikeExecutable(const uint8_t* data, size_t size) { return size >= 2 && data[0] == 'M' && data[1] == 'Z'; }

uint32_t PcmWaveFrameSize(const uint8_t* data, size_t size) {
  if (size < 12 || memcmp(data, "RIFF", 4) != 0 || memcmp(data + 8, "WAVE", 4) != 0) return 0;
  for (uint64_t at = 12; at + 8 <= size;) {
    uint32_t length = ReadLe32(data + at + 4);
    if (memcmp(data + at, "fmt ", 4) == 0) {
      if (length < 16 || at + 8 + 16 > size) return 0;
      const uint8_t* fmt = data + at + 8;
      uint32_t format = fmt[0] | (fmt[1] << 8);
      uint32_t align = fmt[12] | (fmt[13] << 8);
      return format == 1 && align >= 1 && align <= 255 ? align : 0;
    }
    at += 8 + uint64_t(length) + (length & 1);
  }
  return 0;
}
