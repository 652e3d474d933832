// The block format decoded the plainest way there is, straight from its
// description: one control bit at a time, one byte at a time, every bound
// tested at every step. Slow on purpose; it is the oracle the real decoder
// is held to (tests and the differential fuzz target), never used by it.
#pragma once

#include <cstdint>

struct ReferenceResult {
  bool accepted;      // the end code came within the block and every bound held
  uint32_t produced;  // bytes written, when accepted
  uint32_t consumed;  // the block's length, when accepted
};

ReferenceResult ReferenceDecodeLzBlock(const uint8_t* block, uint32_t block_size, uint8_t* out, uint32_t capacity);
