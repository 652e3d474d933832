// Builds payload archive images (layout in payload_archive.h). Used by the
// packing tool and the tests; the updater itself only reads archives.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/lz_encode.h"

struct ArchiveInput {
  std::string name;  // code page 932, at most 259 bytes, no folders
  std::vector<uint8_t> data;
  uint64_t file_time = 0;
  bool compress = true;  // compressed unless that does not make it smaller
  // A delta against the file's previous release (delta_patch.h), made by the
  // caller: the decoded patch stream and the old file's size and XXH64. The
  // entry carries it instead of the file when it takes fewer bytes.
  bool has_delta = false;
  std::vector<uint8_t> delta_patch = {};
  uint64_t delta_old_size = 0, delta_old_hash = 0;
};

// Where a build stands: entries begun of all, input bytes encoded of all,
// and the entry begun last.
struct ArchiveProgress {
  size_t started = 0, count = 0;
  uint64_t done = 0, total = 0;
  const ArchiveInput* latest = nullptr;
};

// A solid group that a build formed: its members (indices in the order
// given, in the group's order), the filter in its Flags, decoded and stored
// bytes, and what its members would take each by its best method (sizes
// rounded up to the archive's 16-byte steps).
struct SolidGroupReport {
  std::vector<size_t> members;
  uint32_t flags = 0;
  uint64_t size = 0, stored = 0, separately = 0;
};

inline constexpr uint64_t kSolidGroupMost = 64u << 20;

struct ArchiveOptions {
  LzLevel level = LzLevel::Best;
  // Besides LzBlock, try LZMA (method 1; with the x86 filter for an
  // executable, the delta filter for a PCM WAV file) and keep the smallest.
  // Without it every entry is of the old kinds and the archive of format
  // version 0, as older updaters read it; with it the archive is of version
  // 2 once an entry takes LZMA.
  bool lzma = false;
  // With `lzma`, entries of one filter class (executables, PCM WAV files of
  // one frame size, the rest) are also tried together as solid groups
  // (method 3, format version 3), members ordered by extension then name, at
  // most kSolidGroupMost bytes decoded each; a group is kept where it is
  // smaller than its members each by its best method, by 128 bytes and 1 %
  // at least. Members lie together,
  // so the directory's order is then not the order given: each group where
  // its first entry in the given order was, the other entries in their order.
  bool solid = false;
  // Entries never put in a group besides the script (UPDATE.INI), which the
  // updater loads whole at start (its agreement texts); ASCII case ignored.
  std::vector<std::string> whole_entries;
  bool compress_directory = true;
  // Compress even where the block is not smaller than the data (for tests).
  bool force_compression = false;
  // Entries compressed at the same time; 0 is one per processor. The image
  // is the same whatever the number.
  unsigned threads = 0;
  // An entry of this size or more that holds at least a thread's share of
  // all the bytes is parsed by all threads together, after the others.
  size_t large_entry = 4 << 20;
  // The largest image the archive may take, in bytes; the format's own
  // limit (its offsets and sizes are 32-bit) is 4 GiB - 1.
  uint64_t max_image = 0xFFFFFFFFu;
  // Why the limit is what it is, said when an archive is refused for it.
  std::string max_image_reason = "the archive's offsets and sizes are 32-bit";
  // Called when an entry is begun and as its encoding advances; one call at
  // a time, from the compressing threads.
  std::function<void(const ArchiveProgress&)> progress;
  // When given, the solid groups kept, in directory order.
  std::vector<SolidGroupReport>* groups = nullptr;
};

// An entry's bytes as the archive holds them, and its Flags.
struct EncodedEntry {
  std::vector<uint8_t> bytes;
  uint32_t flags = 0;  // 0: not compressed (stored)
};
// The smallest encoding of `in` by the options' methods: LzBlock, then with
// `lzma` LZMA plain, LZMA after the x86 filter (a file starting "MZ") and
// LZMA after the delta filter (a PCM WAV file); ties go to the earlier. A
// file of 1 MiB or more is also tried, by the best of those filters, in
// other literal and position bits than lc3 lp0 pb2 (lc4 pb1, or pb0 for
// machine code, or lp and pb of the sample width after the delta filter).
// Flags 0 when none is smaller than the data (unless forced). A file with a
// delta is carried as the delta (its patch by LzBlock or, with `lzma`, LZMA)
// where that is smaller still.
EncodedEntry EncodeEntry(const ArchiveInput& in, const ArchiveOptions& options,
                         const std::function<void(size_t)>& advance = nullptr, unsigned parse_threads = 1);

// The archive image of the entries, in the order given (groups aside, see
// `solid`). Fails (empty result
// and a reason in `error`) for a name that does not fit its field, an entry
// of 4 GiB or more, or an image larger than `max_image`; the image is then
// never assembled.
std::vector<uint8_t> BuildArchive(const std::vector<ArchiveInput>& entries, const ArchiveOptions& options,
                                  std::string* error);
