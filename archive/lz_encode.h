// The encoder of the LzBlock format (described in lz_block.cpp). The updater
// itself only decodes; the packing tool and the tests use this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

enum class LzLevel {
  Fast,  // greedy parse over a short match search
  Best,  // parse chosen by cost in bits over a deep match search
};

// One complete block, end code included, that decodes to exactly `data`.
std::vector<uint8_t> CompressLzBlock(const uint8_t* data, size_t size, LzLevel level);
