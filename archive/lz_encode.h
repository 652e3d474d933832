// The encoder of the LzBlock format (described in lz_block.cpp). The updater
// itself only decodes; the packing tool and the tests use this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

enum class LzLevel {
  Fast,  // greedy parse over a short match search
  Best,  // parse chosen by cost in bits over a deep match search
};

// Told now and then (every 64 KiB or so) how many bytes of the input are
// encoded so far.
using LzProgress = std::function<void(size_t encoded)>;

// One complete block, end code included, that decodes to exactly `data`.
// The best level parses large inputs on up to `threads` threads; the block
// is the same for any number.
std::vector<uint8_t> CompressLzBlock(const uint8_t* data, size_t size, LzLevel level, const LzProgress& progress = {},
                                     unsigned threads = 1);
