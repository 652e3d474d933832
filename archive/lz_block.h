// LzBlock: the compressed block format of the payload archive. The format is
// described at the top of lz_block.cpp; the encoder lives in lz_encode.h.
#pragma once

#include <cstdint>

// Expands one block into `dst`, which holds the block's decoded size, and
// returns once the end code has been decoded. Trusts the block: it is given
// no sizes, so it must only be used on blocks known to be sound.
void DecompressLzBlock(uint8_t* dst, const uint8_t* src);

// The same decoding with every bound tested: refuses (returns 0) a block that
// would write past `capacity`, read past `block_size`, refer to a position
// before the start of the output, or that has no end code within its bytes.
// On success stores the bytes produced and the block's exact length.
int DecompressLzBlockChecked(uint8_t* dst, uint32_t capacity, const uint8_t* src,
                             uint32_t block_size, uint32_t* produced, uint32_t* consumed);
