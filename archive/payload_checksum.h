// The payload's checksum: a small record that mkupdate stores beside the
// payload, as resource UPDATE/103, so that a damaged update is refused before
// the updater decodes or writes anything. The archive's own format is not
// touched: an update without the record runs as it always did.
//
// Record layout, 24 bytes, integers unsigned and little-endian:
//   0   Magic      "KSUM"
//   4   Version    1
//   8   Algorithm  1: XXH64 with seed 0
//   12  ImageSize  the number of bytes it covers: the whole resource UPDATE/102
//   16  Digest     8 bytes, the XXH64 of those bytes
//
// XXH64 is a 64-bit non-cryptographic hash: any accidental damage (a flipped
// bit, a cut or padded download, a bad sector) goes unnoticed with a
// probability of about 2^-64. It is no signature: whoever can change the
// payload can write a matching record. Authenticity is Authenticode's job.
#pragma once

#include <cstddef>
#include <cstdint>

enum : uint32_t { kChecksumRecordSize = 24, kChecksumVersion = 1, kChecksumXxh64 = 1 };

// Offsets of the record's fields.
enum : uint32_t { kChecksumVersionAt = 4, kChecksumAlgorithmAt = 8, kChecksumImageSizeAt = 12, kChecksumDigestAt = 16 };

// XXH64 of `size` bytes with the given seed (the published algorithm).
uint64_t Xxh64(const void* data, size_t size, uint64_t seed);

// The same hash over bytes that come in parts: Xxh64Reset, then Xxh64Update
// for each part in order (of any sizes, empty ones too), then Xxh64Digest,
// which gives what Xxh64 gives for all the parts joined, and may be asked at
// any point without disturbing the state.
struct Xxh64State {
  uint64_t Lanes[4];
  uint64_t Seed;
  uint64_t Total;     // bytes hashed so far
  uint8_t Pending[32];  // the last stripe's bytes, not yet mixed in
  uint32_t PendingSize;
};
void Xxh64Reset(Xxh64State* state, uint64_t seed);
void Xxh64Update(Xxh64State* state, const void* data, size_t size);
uint64_t Xxh64Digest(const Xxh64State* state);

struct ChecksumRecord {
  uint32_t Version;
  uint32_t Algorithm;
  uint32_t ImageSize;
  uint64_t Digest;
};

// Reads a record: false when it is not exactly one record of version 1 with
// an algorithm this program knows.
bool ParseChecksumRecord(const uint8_t* bytes, uint32_t size, ChecksumRecord* record);

// The record for an image.
void MakeChecksumRecord(const uint8_t* image, uint32_t image_size, uint8_t record[kChecksumRecordSize]);

// True when the record is well formed, covers exactly `image_size` bytes and
// its digest is that of the image. Reads the image once.
bool PayloadMatchesChecksum(const uint8_t* image, uint32_t image_size, const uint8_t* record, uint32_t record_size);
