#include "archive/payload_checksum.h"

#include "common/bytes.h"

namespace {

constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t kPrime3 = 0x165667B19E3779F9ull;
constexpr uint64_t kPrime4 = 0x85EBCA77C2B2AE63ull;
constexpr uint64_t kPrime5 = 0x27D4EB2F165667C5ull;

inline uint64_t Rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

inline uint64_t Round(uint64_t acc, uint64_t input) {
  acc += input * kPrime2;
  return Rotl(acc, 31) * kPrime1;
}

inline uint64_t MergeRound(uint64_t acc, uint64_t value) {
  acc ^= Round(0, value);
  return acc * kPrime1 + kPrime4;
}

// The last part of the hash: the lanes merged (or the seed alone for fewer
// than 32 bytes in all), the length, the tail of under 32 bytes, the mix.
uint64_t Xxh64Tail(const uint64_t v[4], uint64_t seed, uint64_t total, const uint8_t* p, const uint8_t* end) {
  uint64_t h;
  if (total >= 32) {
    h = Rotl(v[0], 1) + Rotl(v[1], 7) + Rotl(v[2], 12) + Rotl(v[3], 18);
    for (int i = 0; i < 4; ++i) h = MergeRound(h, v[i]);
  } else {
    h = seed + kPrime5;
  }
  h += total;
  for (; end - p >= 8; p += 8) h = Rotl(h ^ Round(0, ReadLe64(p)), 27) * kPrime1 + kPrime4;
  if (end - p >= 4) {
    h = Rotl(h ^ (uint64_t(ReadLe32(p)) * kPrime1), 23) * kPrime2 + kPrime3;
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

void Xxh64Stripe(uint64_t v[4], const uint8_t* p) {
  v[0] = Round(v[0], ReadLe64(p));
  v[1] = Round(v[1], ReadLe64(p + 8));
  v[2] = Round(v[2], ReadLe64(p + 16));
  v[3] = Round(v[3], ReadLe64(p + 24));
}

}  // namespace

uint64_t Xxh64(const void* data, size_t size, uint64_t seed) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  const uint8_t* end = p + size;
  // Four independent lanes over 32-byte stripes: the multiplications of
  // one stripe do not wait for each other.
  uint64_t v[4] = {seed + kPrime1 + kPrime2, seed + kPrime2, seed, seed - kPrime1};
  for (; end - p >= 32; p += 32) Xxh64Stripe(v, p);
  return Xxh64Tail(v, seed, uint64_t(size), p, end);
}

void Xxh64Reset(Xxh64State* state, uint64_t seed) {
  state->Lanes[0] = seed + kPrime1 + kPrime2;
  state->Lanes[1] = seed + kPrime2;
  state->Lanes[2] = seed;
  state->Lanes[3] = seed - kPrime1;
  state->Seed = seed;
  state->Total = 0;
  state->PendingSize = 0;
}

void Xxh64Update(Xxh64State* state, const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  const uint8_t* end = p + size;
  state->Total += size;
  // A stripe begun by an earlier part is filled first.
  if (state->PendingSize > 0) {
    size_t take = 32 - state->PendingSize;
    if (take > size) take = size;
    for (size_t i = 0; i < take; ++i) state->Pending[state->PendingSize + i] = p[i];
    state->PendingSize += uint32_t(take);
    p += take;
    if (state->PendingSize < 32) return;
    Xxh64Stripe(state->Lanes, state->Pending);
    state->PendingSize = 0;
  }
  for (; end - p >= 32; p += 32) Xxh64Stripe(state->Lanes, p);
  for (; p < end; ++p) state->Pending[state->PendingSize++] = *p;
}

uint64_t Xxh64Digest(const Xxh64State* state) {
  return Xxh64Tail(state->Lanes, state->Seed, state->Total, state->Pending, state->Pending + state->PendingSize);
}

bool ParseChecksumRecord(const uint8_t* bytes, uint32_t size, ChecksumRecord* record) {
  if (bytes == nullptr || size != kChecksumRecordSize) return false;
  if (bytes[0] != 'K' || bytes[1] != 'S' || bytes[2] != 'U' || bytes[3] != 'M') return false;
  record->Version = ReadLe32(bytes + kChecksumVersionAt);
  record->Algorithm = ReadLe32(bytes + kChecksumAlgorithmAt);
  record->ImageSize = ReadLe32(bytes + kChecksumImageSizeAt);
  record->Digest = ReadLe64(bytes + kChecksumDigestAt);
  return record->Version == kChecksumVersion && record->Algorithm == kChecksumXxh64;
}

void MakeChecksumRecord(const uint8_t* image, uint32_t image_size, uint8_t record[kChecksumRecordSize]) {
  record[0] = 'K';
  record[1] = 'S';
  record[2] = 'U';
  record[3] = 'M';
  WriteLe32(record + kChecksumVersionAt, kChecksumVersion);
  WriteLe32(record + kChecksumAlgorithmAt, kChecksumXxh64);
  WriteLe32(record + kChecksumImageSizeAt, image_size);
  WriteLe64(record + kChecksumDigestAt, Xxh64(image, image_size, 0));
}

bool PayloadMatchesChecksum(const uint8_t* image, uint32_t image_size, const uint8_t* record, uint32_t record_size) {
  ChecksumRecord parsed;
  if (!ParseChecksumRecord(record, record_size, &parsed)) return false;
  if (parsed.ImageSize != image_size) return false;
  return Xxh64(image, image_size, 0) == parsed.Digest;
}
