// Blocks of the LzBlock format written token by token, by the format's rule
// and independently of the encoder, for the tests and the benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Writes a stream by the format's rule, independently of the encoder: a
// control word is opened at the end of the output when a bit is due and the
// current word is full.
class LzStream {
 public:
  LzStream() : out(4, 0) {}
  LzStream& Bit(unsigned b) {
    if (used == 32) {
      Flush();
      slot = out.size();
      out.resize(out.size() + 4);
      word = 0;
      used = 0;
    }
    word |= uint32_t(b) << (31 - used++);
    return *this;
  }
  LzStream& Bits(uint32_t v, int n) {
    while (n-- > 0) Bit((v >> n) & 1);
    return *this;
  }
  LzStream& Byte(uint8_t b) {
    out.push_back(b);
    return *this;
  }
  LzStream& Literal(uint8_t b) { return Bit(1).Byte(b); }
  LzStream& End() { return Bits(0b011, 3).Byte(0xFF).Bits(0b111, 3); }
  std::vector<uint8_t> Done() {
    Flush();
    return out;
  }
  std::vector<uint8_t> out;

 private:
  void Flush() {
    for (int i = 0; i < 4; ++i) out[slot + i] = uint8_t(word >> (8 * i));
  }
  size_t slot = 0;
  uint32_t word = 0;
  int used = 0;
};
