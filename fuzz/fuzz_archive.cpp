// The archive reader on arbitrary images: the checksum check, opening, the
// lookup, and reading every entry must never touch memory outside the image
// and its blocks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "archive/payload_archive.h"
#include "archive/payload_checksum.h"
#include "common/update_state.h"
#include "fuzz/quiet_platform.h"
#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (UseQuietPlatform(), true);
  (void)ready;
  std::vector<uint8_t> image(data, data + size);  // exact-size copy: ASan sees any overrun
  // The check as the start-up makes it: the image's first bytes taken as a
  // record (almost always malformed), then a record made for the image,
  // which must match it.
  std::vector<uint8_t> record(data, data + (size < kChecksumRecordSize ? size : kChecksumRecordSize));
  PayloadMatchesChecksum(image.data(), uint32_t(image.size()), record.data(), uint32_t(record.size()));
  uint8_t made[kChecksumRecordSize];
  MakeChecksumRecord(image.data(), uint32_t(image.size()), made);
  if (!PayloadMatchesChecksum(image.data(), uint32_t(image.size()), made, sizeof made)) abort();
  UpdateState.PayloadArchive = {image.data(), uint32_t(image.size())};
  if (OpenPayloadArchive() == nullptr) return 0;
  uint32_t size_read = 0;
  const uint8_t* bytes = LoadArchiveEntry("UPDATE.INI", &size_read);
  ReleaseArchiveEntry(bytes);
  for (uint32_t i = 0; i < ArchiveEntryCount() && i < 64; ++i) {
    bytes = LoadArchiveEntryAt(i, &size_read);
    if (bytes != nullptr && size_read > 0) {
      volatile uint8_t last = bytes[size_read - 1];
      (void)last;
    }
    ReleaseArchiveEntry(bytes);
  }
  ClosePayloadArchive();
  return 0;
}
