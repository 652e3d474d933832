// A method 1 entry (LZMA after a filter) on arbitrary bytes, through the
// decoder the updater writes files with and the one it reads scripts with:
// each refuses or gives exactly Size bytes within its bounds, both accept
// exactly the same entries, to the same bytes, the streaming one in
// non-empty parts of at most a chunk (and the x86 filter's 4 bytes).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "archive/lzma_entry.h"
#include "archive/payload_archive.h"

namespace {

struct Parts {
  std::vector<uint8_t> bytes;
  bool bad_part = false;
};

int Collect(void* context, const uint8_t* data, uint32_t size) {
  Parts* parts = static_cast<Parts*>(context);
  if (size == 0 || size > kLzStreamChunk + 4) parts->bad_part = true;
  parts->bytes.insert(parts->bytes.end(), data, data + size);
  return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  // Byte 0 chooses the filter (none, x86, delta at 1 to 4, or an unknown
  // one); bytes 1-3 the entry's Size, up to 256 KiB so the streaming decoder
  // hands on several parts (larger sizes test nothing more and cost each run
  // more decoding than the rest of it); the rest is the entry's data.
  static const uint32_t kFlags[] = {LzmaEntryFlags(kEntryFilterNone, 0),  LzmaEntryFlags(kEntryFilterX86, 0),
                                    LzmaEntryFlags(kEntryFilterDelta, 1), LzmaEntryFlags(kEntryFilterDelta, 2),
                                    LzmaEntryFlags(kEntryFilterDelta, 4), LzmaEntryFlags(3, 0)};
  uint32_t flags = kFlags[data[0] % 6];
  uint32_t entry_size = (uint32_t(data[1]) << 16 | uint32_t(data[2]) << 8 | data[3]) & 0x3FFFF;
  std::vector<uint8_t> stored(data + 4, data + size);  // exactly its size, for the sanitizer

  Parts parts;
  int streamed = DecodeLzmaEntryStream(flags, entry_size, stored.data(), uint32_t(stored.size()), Collect, &parts);
  std::vector<uint8_t> whole(entry_size + 1);
  int decoded = DecodeLzmaEntry(flags, whole.data(), entry_size, stored.data(), uint32_t(stored.size()));
  if (streamed != decoded) __builtin_trap();
  if (!decoded) return 0;
  if (parts.bad_part || parts.bytes.size() != entry_size) __builtin_trap();
  if (entry_size > 0 && memcmp(parts.bytes.data(), whole.data(), entry_size) != 0) __builtin_trap();
  return 0;
}
