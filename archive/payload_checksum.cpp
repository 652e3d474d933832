#include "archive/payload_checksum.h"

namespace {

constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t kPrime3 = 0x165667B19E3779F9ull;
constexpr uint64_t kPrime4 = 0x85EBCA77C2B2AE63ull;
constexpr uint64_t kPrime5 = 0x27D4EB2F165667C5ull;

// Byte-wise little-endian reads: the compilers turn them into single loads,
// and they need no alignment.
inline uint32_t Load32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t Load64(const uint8_t* p) { return uint64_t(Load32(p)) | uint64_t(Load32(p + 4)) << 32; }

inline void Store32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void Store64(uint8_t* p, uint64_t v) {
  Store32(p, uint32_t(v));
  Store32(p + 4, uint32_t(v >> 32));
}

inline uint64_t Rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

inline uint64_t Round(uint64_t acc, uint64_t input) {
  acc += input * kPrime2;
  return Rotl(acc, 31) * kPrime1;
}

inline uint64_t MergeRound(uint64_t acc, uint64_t value) {
  acc ^= Round(0, value);
  return acc * kPrime1 + kPrime4;
}

}  // namespace

uint64_t Xxh64(const void* data, size_t size, uint64_t seed) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  const uint8_t* end = p + size;
  uint64_t h;
  if (size >= 32) {
    // Four independent lanes over 32-byte stripes: the multiplications of
    // one stripe do not wait for each other.
    uint64_t v1 = seed + kPrime1 + kPrime2, v2 = seed + kPrime2, v3 = seed, v4 = seed - kPrime1;
    const uint8_t* last_stripe = end - 32;
    do {
      v1 = Round(v1, Load64(p));
      v2 = Round(v2, Load64(p + 8));
      v3 = Round(v3, Load64(p + 16));
      v4 = Round(v4, Load64(p + 24));
      p += 32;
    } while (p <= last_stripe);
    h = Rotl(v1, 1) + Rotl(v2, 7) + Rotl(v3, 12) + Rotl(v4, 18);
    h = MergeRound(h, v1);
    h = MergeRound(h, v2);
    h = MergeRound(h, v3);
    h = MergeRound(h, v4);
  } else {
    h = seed + kPrime5;
  }
  h += uint64_t(size);
  for (; end - p >= 8; p += 8) h = Rotl(h ^ Round(0, Load64(p)), 27) * kPrime1 + kPrime4;
  if (end - p >= 4) {
    h = Rotl(h ^ (uint64_t(Load32(p)) * kPrime1), 23) * kPrime2 + kPrime3;
    p += 4;
  }
  for (; p < end; ++p) h = Rotl(h ^ (*p * kPrime5), 11) * kPrime1;
  h ^= h >> 33;
  h *= kPrime2;
  h ^= h >> 29;
  h *= kPrime3;
  h ^= h >> 32;
  return h;
}

bool ParseChecksumRecord(const uint8_t* bytes, uint32_t size, ChecksumRecord* record) {
  if (bytes == nullptr || size != kChecksumRecordSize) return false;
  if (bytes[0] != 'K' || bytes[1] != 'S' || bytes[2] != 'U' || bytes[3] != 'M') return false;
  record->Version = Load32(bytes + kChecksumVersionAt);
  record->Algorithm = Load32(bytes + kChecksumAlgorithmAt);
  record->ImageSize = Load32(bytes + kChecksumImageSizeAt);
  record->Digest = Load64(bytes + kChecksumDigestAt);
  return record->Version == kChecksumVersion && record->Algorithm == kChecksumXxh64;
}

void MakeChecksumRecord(const uint8_t* image, uint32_t image_size, uint8_t record[kChecksumRecordSize]) {
  record[0] = 'K';
  record[1] = 'S';
  record[2] = 'U';
  record[3] = 'M';
  Store32(record + kChecksumVersionAt, kChecksumVersion);
  Store32(record + kChecksumAlgorithmAt, kChecksumXxh64);
  Store32(record + kChecksumImageSizeAt, image_size);
  Store64(record + kChecksumDigestAt, Xxh64(image, image_size, 0));
}

bool PayloadMatchesChecksum(const uint8_t* image, uint32_t image_size, const uint8_t* record, uint32_t record_size) {
  ChecksumRecord parsed;
  if (!ParseChecksumRecord(record, record_size, &parsed)) return false;
  if (parsed.ImageSize != image_size) return false;
  return Xxh64(image, image_size, 0) == parsed.Digest;
}
