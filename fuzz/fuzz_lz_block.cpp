// The checked decoder on arbitrary bytes: it must refuse or decode within its
// bounds, and a block it accepts must decode the same with the fast decoder.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "archive/lz_block.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first two bytes choose the destination's capacity.
  uint32_t capacity = uint32_t(data[0]) << 8 | data[1];
  std::vector<uint8_t> out(capacity), block(data + 2, data + size);
  uint32_t produced = 0, consumed = 0;
  if (!DecompressLzBlockChecked(out.data(), capacity, block.data(), uint32_t(block.size()), &produced, &consumed))
    return 0;
  if (produced > capacity || consumed > block.size()) __builtin_trap();
  std::vector<uint8_t> again(produced);
  DecompressLzBlock(again.data(), block.data());
  if (produced > 0 && memcmp(again.data(), out.data(), produced) != 0) __builtin_trap();
  return 0;
}
