// The encoder on arbitrary input, both levels: every block it writes decodes,
// by the plain reference and by both decoder forms, to exactly the input and
// consumes exactly the block. The first byte repeats the rest up to 15 times
// with one byte changed in each copy, so that short inputs still give the
// match finder long and nearly equal stretches to sort.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "archive/lz_block.h"
#include "archive/lz_encode.h"
#include "tests/support/reference_lz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::vector<uint8_t> input(data + 1, data + size);
  const size_t piece = input.size();
  for (unsigned copy = 1; copy <= (data[0] & 15u) && piece > 0; ++copy) {
    input.insert(input.end(), data + 1, data + size);
    input[input.size() - 1 - (copy * 7) % piece] ^= uint8_t(copy);
  }
  for (LzLevel level : {LzLevel::Fast, LzLevel::Best}) {
    std::vector<uint8_t> block = CompressLzBlock(input.data(), input.size(), level);
    std::vector<uint8_t> out(input.size());
    ReferenceResult reference =
        ReferenceDecodeLzBlock(block.data(), uint32_t(block.size()), out.data(), uint32_t(out.size()));
    if (!reference.accepted || reference.produced != input.size() || reference.consumed != block.size())
      __builtin_trap();
    if (out != input) __builtin_trap();
    uint32_t produced = 0, consumed = 0;
    std::fill(out.begin(), out.end(), 0);
    if (!DecompressLzBlockChecked(out.data(), uint32_t(out.size()), block.data(), uint32_t(block.size()), &produced,
                                  &consumed) ||
        produced != input.size() || consumed != block.size() || out != input)
      __builtin_trap();
    std::fill(out.begin(), out.end(), 0);
    DecompressLzBlock(out.data(), block.data());
    if (out != input) __builtin_trap();
  }
  return 0;
}
