// The delta applier on arbitrary patch bytes against a small fixed old file:
// it never reads outside the old file, never writes beyond the new size,
// gives the same verdict and bytes whatever the parts it is fed in, and
// finishes true only for exactly the new size with the digest it was given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "archive/delta_patch.h"
#include "archive/payload_checksum.h"

namespace {

struct Files {
  const uint8_t* old;
  uint64_t old_size;
  std::vector<uint8_t> made;
  uint64_t new_size;
};

int ReadAt(void* context, uint64_t offset, void* buffer, uint32_t n) {
  Files* f = static_cast<Files*>(context);
  if (offset > f->old_size || n > f->old_size - offset || n == 0) abort();  // outside the old file
  memcpy(buffer, f->old + offset, n);
  return 1;
}

int Write(void* context, const void* buffer, uint32_t n) {
  Files* f = static_cast<Files*>(context);
  if (n == 0 || f->made.size() + n > f->new_size) abort();  // beyond the new size
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  f->made.insert(f->made.end(), p, p + n);
  return 1;
}

DeltaApplier applier;

int Run(const uint8_t* patch, size_t size, size_t part, uint64_t new_size, uint64_t hash, const uint8_t* old,
        uint64_t old_size, Files* files) {
  files->old = old;
  files->old_size = old_size;
  files->new_size = new_size;
  StartDeltaApplier(&applier, old_size, new_size, hash, ReadAt, Write, files);
  int fed = 1;
  for (size_t at = 0; fed && at < size; at += part)
    fed = FeedDeltaApplier(&applier, patch + at, uint32_t(size - at < part ? size - at : part));
  return fed && FinishDeltaApplier(&applier);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static uint8_t old[40000];
  static bool made_old = false;
  if (!made_old) {
    uint32_t x = 1;
    for (size_t i = 0; i < sizeof old; ++i) old[i] = (i % 97 < 50) ? uint8_t(i) : uint8_t((x = x * 1103515245u + 12345u) >> 16);
    made_old = true;
  }
  if (size < 4) return 0;
  // The first bytes: the new size (up to 64 KiB), the part size, whether the
  // digest given is the one of the bytes the whole-fed run makes.
  uint64_t new_size = uint64_t(data[0]) << 8 | data[1];
  size_t part = 1 + data[2] % 64;
  bool hash_of_made = data[3] & 1;
  const uint8_t* patch = data + 4;
  size -= 4;
  Files whole;
  int verdict = Run(patch, size, size ? size : 1, new_size, 0, old, sizeof old, &whole);
  uint64_t hash = hash_of_made ? Xxh64(whole.made.data(), whole.made.size(), 0) : 0;
  Files first;
  verdict = Run(patch, size, size ? size : 1, new_size, hash, old, sizeof old, &first);
  Files parts;
  int in_parts = Run(patch, size, part, new_size, hash, old, sizeof old, &parts);
  if (verdict != in_parts) abort();
  if (verdict && (first.made.size() != new_size || parts.made != first.made)) abort();
  if (verdict && Xxh64(first.made.data(), first.made.size(), 0) != hash) abort();
  return 0;
}
