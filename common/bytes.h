// Little-endian integers in byte strings: the archive, its blocks, the
// checksum record and the registry's numbers all store them so. Byte by
// byte, so they need no alignment and mean the same on every machine; the
// compilers turn them into single loads and stores.
#pragma once

#include <cstdint>

inline uint32_t ReadLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint64_t ReadLe64(const uint8_t* p) { return uint64_t(ReadLe32(p)) | uint64_t(ReadLe32(p + 4)) << 32; }

inline void WriteLe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

inline void WriteLe64(uint8_t* p, uint64_t v) {
  WriteLe32(p, uint32_t(v));
  WriteLe32(p + 4, uint32_t(v >> 32));
}
