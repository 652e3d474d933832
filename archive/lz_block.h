// LzBlock: the compressed block format of the payload archive. The format is
// described at the top of lz_block.cpp; the encoder lives in lz_encode.h.
#pragma once

#include <cstdint>

// The codes of a long match ("0 0", class, byte B, extra bits, length code),
// the one description that the decoder and the encoder (its emitter and its
// costs) are both made from.
//
// Distance classes, in the order of their codes' leading zero bits: `code`
// in `code_bits` control bits, then byte B, then `extra_bits` bits X; the
// match's distance is D + 1 with D = ((high ? 256 : 0) + B) * 2^extra + X,
// for D from `first` to `last`.
struct LzDistanceClass {
  uint8_t code, code_bits, extra_bits, high;
  uint16_t first, last;
};
inline constexpr LzDistanceClass kLzDistanceClasses[5] = {
    {0b1, 1, 1, 0, 0, 511},        {0b01, 2, 1, 1, 512, 1023},    {0b001, 3, 2, 1, 1024, 2047},
    {0b0001, 4, 3, 1, 2048, 4095}, {0b0000, 4, 4, 1, 4096, 8191},
};
// Length codes, likewise in the order of their leading zero bits: `code` in
// `code_bits` control bits, then the length less `first` in `extra_bits`
// bits, or, for the last code, in a byte after the distance byte.
struct LzLengthCode {
  uint8_t code, code_bits, extra_bits, in_byte;
  uint16_t first, last;
};
inline constexpr LzLengthCode kLzLengthCodes[6] = {
    {0b1, 1, 0, 0, 3, 3},     {0b01, 2, 0, 0, 4, 4},      {0b001, 3, 1, 0, 5, 6},
    {0b0001, 4, 2, 0, 7, 10}, {0b00001, 5, 4, 0, 11, 26}, {0b00000, 5, 0, 1, 27, 282},
};

// Expands one block into `dst`, which holds the block's decoded size, and
// returns once the end code has been decoded. Trusts the block: it is given
// no sizes, so it must only be used on blocks known to be sound.
void DecompressLzBlock(uint8_t* dst, const uint8_t* src);

// The same decoding with every bound tested: refuses (returns 0) a block that
// would write past `capacity`, read past `block_size`, refer to a position
// before the start of the output, or that has no end code within its bytes.
// On success stores the bytes produced and the block's exact length.
int DecompressLzBlockChecked(uint8_t* dst, uint32_t capacity, const uint8_t* src, uint32_t block_size,
                             uint32_t* produced, uint32_t* consumed);
