// The decoder against the plain reference, on arbitrary bytes: both accept or
// both refuse, and what they accept they decode to the same bytes, of the
// same count, from a block of the same length. The fast form must agree too.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "archive/lz_block.h"
#include "tests/support/reference_lz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first two bytes choose the destination's capacity.
  uint32_t capacity = uint32_t(data[0]) << 8 | data[1];
  std::vector<uint8_t> block(data + 2, data + size);  // exact sizes: ASan sees any overrun
  std::vector<uint8_t> ours(capacity), theirs(capacity);
  uint32_t produced = 0, consumed = 0;
  bool accepted =
      DecompressLzBlockChecked(ours.data(), capacity, block.data(), uint32_t(block.size()), &produced, &consumed);
  ReferenceResult reference = ReferenceDecodeLzBlock(block.data(), uint32_t(block.size()), theirs.data(), capacity);
  if (accepted != reference.accepted) __builtin_trap();
  if (!accepted) return 0;
  if (produced != reference.produced || consumed != reference.consumed) __builtin_trap();
  if (produced > 0 && memcmp(ours.data(), theirs.data(), produced) != 0) __builtin_trap();
  std::vector<uint8_t> fast(produced);
  DecompressLzBlock(fast.data(), block.data());
  if (produced > 0 && memcmp(fast.data(), theirs.data(), produced) != 0) __builtin_trap();
  return 0;
}
