// The checked decoder on arbitrary bytes: it must refuse or decode within its
// bounds, a block it accepts must decode the same with the fast decoder, and
// the streaming form must accept exactly what it accepts, to the same bytes
// and lengths, handed on in parts of at least a chunk but the last.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "archive/lz_block.h"

namespace {

struct Parts {
  std::vector<uint8_t> bytes;
  bool short_part = false;  // a part before this one was shorter than a chunk
  bool empty_part = false;
};

int Collect(void* context, const uint8_t* data, uint32_t size) {
  Parts* parts = static_cast<Parts*>(context);
  if (size == 0) parts->empty_part = true;
  if (parts->short_part) parts->empty_part = true;  // a short part may only be the last
  if (size < kLzStreamChunk) parts->short_part = true;
  parts->bytes.insert(parts->bytes.end(), data, data + size);
  return 1;
}

LzStreamBuffer buffer;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  // The first three bytes choose the destination's capacity: up to 1 MiB,
  // so that the streaming form hands on and moves its window many times.
  uint32_t capacity = (uint32_t(data[0]) << 8 | data[1]) << (data[2] % 5);
  std::vector<uint8_t> out(capacity), block(data + 3, data + size);
  uint32_t produced = 0, consumed = 0;
  int accepted =
      DecompressLzBlockChecked(out.data(), capacity, block.data(), uint32_t(block.size()), &produced, &consumed);

  Parts parts;
  uint32_t streamed = 0, streamed_consumed = 0;
  int stream_accepted = DecompressLzBlockStream(&buffer, capacity, block.data(), uint32_t(block.size()), Collect,
                                                &parts, &streamed, &streamed_consumed);
  if (stream_accepted != accepted) __builtin_trap();
  if (!accepted) return 0;
  if (produced > capacity || consumed > block.size()) __builtin_trap();
  if (streamed != produced || streamed_consumed != consumed || parts.bytes.size() != produced || parts.empty_part)
    __builtin_trap();
  if (produced > 0 && memcmp(parts.bytes.data(), out.data(), produced) != 0) __builtin_trap();
  std::vector<uint8_t> again(produced);
  DecompressLzBlock(again.data(), block.data());
  if (produced > 0 && memcmp(again.data(), out.data(), produced) != 0) __builtin_trap();
  return 0;
}
