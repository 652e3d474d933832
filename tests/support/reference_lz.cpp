#include "tests/support/reference_lz.h"

namespace {

struct Reader {
  const uint8_t* block;
  uint32_t size;
  uint32_t at = 0;    // the input position
  uint32_t word = 0;  // the current control word
  int left = 0;       // its unused bits
  bool failed = false;

  // A byte field, from the input position.
  uint32_t Byte() {
    if (at >= size) {
      failed = true;
      return 0;
    }
    return block[at++];
  }

  // The next control word, from the input position, at the moment it is due.
  void Word() {
    if (size - at < 4) {
      failed = true;
      return;
    }
    word = uint32_t(block[at]) | uint32_t(block[at + 1]) << 8 | uint32_t(block[at + 2]) << 16 |
           uint32_t(block[at + 3]) << 24;
    at += 4;
    left = 32;
  }

  // One control bit, from bit 31 down.
  uint32_t Bit() {
    if (failed) return 0;
    if (left == 0) Word();
    if (failed) return 0;
    --left;
    return (word >> left) & 1;
  }

  // Several bits, most significant first.
  uint32_t Bits(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = v * 2 + Bit();
    return v;
  }
};

}  // namespace

ReferenceResult ReferenceDecodeLzBlock(const uint8_t* block, uint32_t block_size, uint8_t* out, uint32_t capacity) {
  const ReferenceResult refused = {false, 0, 0};
  Reader r{block, block_size};
  r.Word();  // the first control word is at the start of the block
  uint32_t produced = 0;
  for (;;) {
    if (r.failed) return refused;
    uint32_t length = 0, distance = 0;
    if (r.Bit() == 1) {  // literal
      uint32_t literal = r.Byte();
      if (r.failed || produced >= capacity) return refused;
      out[produced++] = uint8_t(literal);
      continue;
    }
    if (r.Bit() == 1) {  // match of 2
      length = 2;
      if (r.Bit() == 0) {
        distance = r.Byte() + 1;
      } else {
        uint32_t b = r.Byte();
        uint32_t value = b * 8 + r.Bits(3);
        if (r.failed) return refused;
        if (value == 2047) return {true, produced, r.at};  // the end code
        distance = value + 257;
      }
    } else {  // match of 3 to 282
      uint32_t d;
      if (r.Bit() == 1) {
        uint32_t b = r.Byte();
        d = b * 2 + r.Bits(1);
      } else if (r.Bit() == 1) {
        uint32_t b = r.Byte();
        d = (256 + b) * 2 + r.Bits(1);
      } else if (r.Bit() == 1) {
        uint32_t b = r.Byte();
        d = (256 + b) * 4 + r.Bits(2);
      } else if (r.Bit() == 1) {
        uint32_t b = r.Byte();
        d = (256 + b) * 8 + r.Bits(3);
      } else {
        uint32_t b = r.Byte();
        d = (256 + b) * 16 + r.Bits(4);
      }
      distance = d + 1;
      if (r.Bit() == 1) length = 3;
      else if (r.Bit() == 1) length = 4;
      else if (r.Bit() == 1) length = 5 + r.Bits(1);
      else if (r.Bit() == 1) length = 7 + r.Bits(2);
      else if (r.Bit() == 1) length = 11 + r.Bits(4);
      else length = 27 + r.Byte();
    }
    if (r.failed) return refused;
    // Byte by byte, each the byte `distance` before it; only produced output.
    for (uint32_t i = 0; i < length; ++i) {
      if (distance > produced || produced >= capacity) return refused;
      out[produced] = out[produced - distance];
      ++produced;
    }
  }
}
