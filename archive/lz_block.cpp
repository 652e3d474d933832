// LzBlock format
// ==============
// An LZ77 block whose token codes travel in 32-bit control words interleaved
// with the tokens' byte fields. A block carries no length: it ends with an
// end code, and the archive records its decoded size and its length.
//
//   Control word  32 bits, little-endian, used from bit 31 down to bit 0. The
//                 first one is at the start of the block. When a control bit
//                 is needed and the current word is used up, the next word is
//                 read from the current input position at that moment, so a
//                 word that falls due inside a token lies after the token's
//                 bytes read before that bit and before those read after it.
//   Values of several bits are read most significant bit first.
//
//   Tokens (control bits, then fields in reading order):
//     1, byte L                      literal L
//     0 1 0, byte B                  match of 2 from distance B + 1 (1..256)
//     0 1 1, byte B, 3 bits X        V = B*8 + X; V == 2047 is the end code,
//                                    otherwise a match of 2 from distance
//                                    V + 257 (257..2303)
//     0 0, class, byte B, extra X,   match of 3..282 from distance D + 1
//     length code                    (1..8192), with D by class:
//          1      1 extra bit        D = B*2 + X                  1..512
//          0 1    1 extra bit        D = (256 + B)*2 + X        513..1024
//          0 0 1  2 extra bits       D = (256 + B)*4 + X       1025..2048
//          0 0 0 1  3 extra bits     D = (256 + B)*8 + X       2049..4096
//          0 0 0 0  4 extra bits     D = (256 + B)*16 + X      4097..8192
//        and the length code:
//          1 -> 3   0 1 -> 4   0 0 1 + 1 bit X -> 5 + X   0 0 0 1 + 2 bits -> 7 + X
//          0 0 0 0 1 + 4 bits X -> 11 + X   0 0 0 0 0 + byte N -> 27 + N
//
//   A match appends its bytes one by one, each equal to the byte `distance`
//   positions before it, so a distance below the length repeats the last
//   `distance` bytes. Matches reach only output of the same block.
//   The block ends after the end code's byte 0xFF or after the control word
//   read for its last bits, whichever comes later.
#include "archive/lz_block.h"

#include <cstring>

namespace {

// The decoder's whole state: input and output positions, the current control
// word and how many of its bits are still unused. `Checked` adds the bounds
// tests and nothing else, so both forms decode by the same code.
template <bool Checked>
struct Decoder {
  const uint8_t* in;
  const uint8_t* in_end;  // only read when Checked
  uint8_t* out;
  uint8_t* out_begin;
  uint8_t* out_end;  // only read when Checked
  uint32_t word;
  int bits;
  bool broken;

  uint32_t LoadWord() {
    if (Checked && in_end - in < 4) {
      broken = true;
      return 0;
    }
    uint32_t w = uint32_t(in[0]) | uint32_t(in[1]) << 8 | uint32_t(in[2]) << 16 | uint32_t(in[3]) << 24;
    in += 4;
    return w;
  }

  unsigned Bit() {
    if (bits == 0) {
      word = LoadWord();
      bits = 32;
    }
    unsigned b = word >> 31;
    word <<= 1;
    --bits;
    return b;
  }

  unsigned Bits(int n) {
    unsigned v = 0;
    while (n-- > 0) v = (v << 1) | Bit();
    return v;
  }

  unsigned Byte() {
    if (Checked && in >= in_end) {
      broken = true;
      return 0;
    }
    return *in++;
  }

  // A match may only reach produced output and must fit the destination.
  bool MatchFits(uint32_t distance, uint32_t length) {
    if (!Checked) return true;
    if (broken || distance > uint32_t(out - out_begin) || length > uint32_t(out_end - out)) {
      broken = true;
      return false;
    }
    return true;
  }

  bool Run() {
    word = LoadWord();
    bits = 32;
    for (;;) {
      if (Checked && broken) return false;
      if (bits > 0 && (word >> 31)) {
        // A run of literals: the word's leading one bits, each one byte of
        // input copied as it is. The bits not yet used are the word's top
        // `bits` bits and the rest are zero, so the run never passes them.
        uint32_t inverse = ~word;
        uint32_t run = inverse ? uint32_t(__builtin_clz(inverse)) : 32;
        if (Checked && (uint32_t(in_end - in) < run || uint32_t(out_end - out) < run)) return false;
        memcpy(out, in, run);
        out += run;
        in += run;
        word = run < 32 ? word << run : 0;
        bits -= int(run);
        continue;
      }
      if (Bit()) {  // a literal whose control bit starts a new word
        unsigned literal = Byte();
        if (Checked && (broken || out >= out_end)) return false;
        *out++ = uint8_t(literal);
        continue;
      }
      if (Bit()) {  // short match of length 2
        uint32_t distance;
        if (Bit() == 0) {
          distance = Byte() + 1;
        } else {
          uint32_t v = Byte() * 8;
          v += Bits(3);
          if (v == 2047) return !(Checked && broken);  // end code
          distance = v + 257;
        }
        if (!MatchFits(distance, 2)) return false;
        const uint8_t* from = out - distance;
        out[0] = from[0];
        out[1] = from[1];  // is out[0] itself when distance is 1
        out += 2;
        continue;
      }
      // Long match: class, byte B, extra bits, length code.
      uint32_t d;
      if (Bit()) {
        d = Byte() * 2;
        d += Bit();
      } else if (Bit()) {
        d = (256 + Byte()) * 2;
        d += Bit();
      } else if (Bit()) {
        d = (256 + Byte()) * 4;
        d += Bits(2);
      } else if (Bit()) {
        d = (256 + Byte()) * 8;
        d += Bits(3);
      } else {
        d = (256 + Byte()) * 16;
        d += Bits(4);
      }
      uint32_t length;
      if (Bit()) length = 3;
      else if (Bit()) length = 4;
      else if (Bit()) length = 5 + Bit();
      else if (Bit()) length = 7 + Bits(2);
      else if (Bit()) length = 11 + Bits(4);
      else length = 27 + Byte();
      uint32_t distance = d + 1;
      if (!MatchFits(distance, length)) return false;
      CopyMatch(distance, length);
    }
  }

  void CopyMatch(uint32_t distance, uint32_t length) {
    uint8_t* dst = out;
    out += length;
    if (distance >= 4) {
      // The 4 bytes read end at least `distance` >= 4 bytes before the 4
      // written, so each step copies bytes that are final; the tail is done
      // bytewise so that nothing is written past the match.
      const uint8_t* src = dst - distance;
      while (length >= 4) {
        memcpy(dst, src, 4);
        dst += 4;
        src += 4;
        length -= 4;
      }
      while (length-- > 0) *dst++ = *src++;
      return;
    }
    // Distances 1 to 3 repeat the last 1, 2 or 3 bytes: a pattern fill.
    if (distance == 1) {
      memset(dst, dst[-1], length);
      return;
    }
    const uint8_t* from = dst - distance;
    uint8_t pattern[3] = {from[0], from[1], 0};
    if (distance == 3) pattern[2] = dst[-1];
    for (uint32_t i = 0, k = 0; i < length; ++i) {
      dst[i] = pattern[k];
      if (++k == distance) k = 0;
    }
  }
};

}  // namespace

void DecompressLzBlock(uint8_t* dst, const uint8_t* src) {
  Decoder<false> decoder{src, nullptr, dst, dst, nullptr, 0, 0, false};
  decoder.Run();
}

int DecompressLzBlockChecked(uint8_t* dst, uint32_t capacity, const uint8_t* src,
                             uint32_t block_size, uint32_t* produced, uint32_t* consumed) {
  Decoder<true> decoder{src, src + block_size, dst, dst, dst + capacity, 0, 0, false};
  if (!decoder.Run()) return 0;
  if (produced) *produced = uint32_t(decoder.out - dst);
  if (consumed) *consumed = uint32_t(decoder.in - src);
  return 1;
}
