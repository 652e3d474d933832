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

// The match of 2, "0 1": near, "0" and byte B, from distance B + 1 (1 to
// kLzNearPairLast); far, "1", byte B and kLzFarPairExtraBits bits X: V = B *
// 8 + X, from distance V + kLzFarPairBase (up to kLzFarPairLast), except V =
// kLzEndCode, which ends the block. Its cost in control bits and bytes.
inline constexpr uint32_t kLzNearPairLast = 256;
inline constexpr uint32_t kLzFarPairBase = kLzNearPairLast + 1;
inline constexpr uint32_t kLzFarPairExtraBits = 3;
inline constexpr uint32_t kLzEndCode = (0xFFu << kLzFarPairExtraBits) | ((1u << kLzFarPairExtraBits) - 1);  // 2047
inline constexpr uint32_t kLzFarPairLast = kLzEndCode - 1 + kLzFarPairBase;                                 // 2303
inline constexpr uint32_t kLzNearPairBits = 3 + 8;
inline constexpr uint32_t kLzFarPairBits = 3 + 8 + kLzFarPairExtraBits;

// The farthest long match, the shortest and the longest.
inline constexpr uint32_t kLzWindow = kLzDistanceClasses[4].last + 1u;  // 8192
inline constexpr uint32_t kLzShortestLong = kLzLengthCodes[0].first;    // 3
inline constexpr uint32_t kLzLongestMatch = kLzLengthCodes[5].last;     // 282

// The most a block can expand: its densest token, a long match of
// kLzLongestMatch bytes in 25 control bits and two bytes, gives about 91
// bytes for each one, so no sound block's decoded size exceeds this many
// times its own. Sizes beyond it mark damage before any memory is asked for.
inline constexpr uint32_t kLzMostExpansion = 100;

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

// The checked decoding in bounded memory, for blocks of any decoded size:
// the output goes through `buffer` and each filled part of it, kLzStreamChunk
// bytes or a little more, to `sink` (the rest once the end code is decoded),
// never an empty part. `capacity` bounds the whole output as it bounds
// DecompressLzBlockChecked's, and the block is refused (0) exactly where that
// function refuses it, or when `sink` returns 0; the parts handed on before a
// refusal are then of no use. On success stores the bytes produced and the
// block's exact length, as DecompressLzBlockChecked does.
inline constexpr uint32_t kLzStreamChunk = 64 * 1024;
inline constexpr uint32_t kLzStreamMargin = 1024;
struct LzStreamBuffer {
  uint8_t Bytes[kLzWindow + kLzStreamChunk + kLzStreamMargin];
};
typedef int (*LzSink)(void* context, const uint8_t* data, uint32_t size);
int DecompressLzBlockStream(LzStreamBuffer* buffer, uint32_t capacity, const uint8_t* src, uint32_t block_size,
                            LzSink sink, void* context, uint32_t* produced, uint32_t* consumed);
