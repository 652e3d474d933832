#include "archive/archive_writer.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "archive/lzma_encode.h"
#include "archive/delta_patch.h"
#include "archive/payload_archive.h"
#include "archive/payload_checksum.h"
#include "common/bytes.h"

EncodedEntry EncodeEntry(const ArchiveInput& in, const ArchiveOptions& options,
                         const std::function<void(size_t)>& advance, unsigned parse_threads) {
  EncodedEntry best;
  if (in.compress) {
    best.bytes = CompressLzBlock(in.data.data(), in.data.size(), options.level, advance, parse_threads);
    best.flags = kEntryCompressed;
    if (options.lzma) {
      const uint8_t* data = in.data.data();
      size_t size = in.data.size();
      struct Candidate {
        uint32_t filter, distance;
      };
      std::vector<Candidate> candidates = {{kEntryFilterNone, 0}};
      if (LooksLikeExecutable(data, size)) candidates.push_back({kEntryFilterX86, 0});
      if (uint32_t frame = PcmWaveFrameSize(data, size)) candidates.push_back({kEntryFilterDelta, frame});
      for (const Candidate& c : candidates) {
        // Only an encoding smaller than the best so far is kept.
        std::vector<uint8_t> bytes = EncodeLzmaEntry(data, size, c.filter, c.distance, best.bytes.size());
        if (bytes.empty()) continue;
        best.bytes = std::move(bytes);
        best.flags = LzmaEntryFlags(c.filter, c.distance);
      }
    }
    if (!options.force_compression && best.bytes.size() >= in.data.size()) best = {};
  }
  if (in.has_delta && in.delta_patch.size() <= 0xFFFFFFFFu) {
    // The patch by the same methods (LZMA only beside LzBlock, and without a
    // filter: a patch's bytes are differences and new runs, not code), after
    // its head; kept where it is smaller than the whole file however carried.
    std::vector<uint8_t> patch = CompressLzBlock(in.delta_patch.data(), in.delta_patch.size(), options.level);
    uint32_t coding = kDeltaCodingLzBlock;
    if (options.lzma) {
      std::vector<uint8_t> lzma =
          EncodeLzmaEntry(in.delta_patch.data(), in.delta_patch.size(), kEntryFilterNone, 0, patch.size());
      if (!lzma.empty()) {
        patch = std::move(lzma);
        coding = kDeltaCodingLzma;
      }
    }
    size_t whole = best.flags != 0 ? best.bytes.size() : in.data.size();
    if (kDeltaHeadSize + patch.size() < whole) {
      DeltaHead head{in.delta_old_size, in.delta_old_hash, Xxh64(in.data.data(), in.data.size(), 0),
                     uint32_t(in.delta_patch.size())};
      best.bytes.assign(kDeltaHeadSize, 0);
      WriteDeltaHead(&head, best.bytes.data());
      best.bytes.insert(best.bytes.end(), patch.begin(), patch.end());
      best.flags = (kEntryMethodDelta << kEntryMethodShift) | (coding << kEntryFilterShift);
    }
  }
  return best;
}

namespace {

// Each entry's encoding (flags 0 for an entry stored as it is).
std::vector<EncodedEntry> CompressEntries(const std::vector<ArchiveInput>& entries,
                                                  const ArchiveOptions& options) {
  // Each entry is one block of its own. Entries are compressed side by side,
  // one per thread; one that would leave the other threads idle is then
  // parsed by all of them at once, so an update of one big file gains too.
  // The blocks are laid out in order afterwards, the same whatever the
  // number of threads.
  unsigned threads = options.threads ? options.threads : std::max(1u, std::thread::hardware_concurrency());
  std::vector<EncodedEntry> blocks(entries.size());
  std::mutex lock;
  ArchiveProgress where;
  where.count = entries.size();
  for (const ArchiveInput& in : entries) where.total += in.data.size();
  // An entry too big to share the work out evenly among the others.
  auto large = [&](const ArchiveInput& in) {
    return threads > 1 && in.compress && in.data.size() >= options.large_entry &&
           in.data.size() >= where.total / threads;
  };
  auto compress = [&](size_t i, unsigned parse_threads) {
    const ArchiveInput& in = entries[i];
    size_t reported = 0;
    auto advance = [&](size_t encoded) {
      if (!options.progress) return;
      std::lock_guard<std::mutex> hold(lock);
      where.done += encoded - reported;
      reported = encoded;
      options.progress(where);
    };
    if (options.progress) {
      std::lock_guard<std::mutex> hold(lock);
      ++where.started;
      where.latest = &in;
      options.progress(where);
    }
    blocks[i] = EncodeEntry(in, options, advance, parse_threads);
    advance(in.data.size());
  };

  std::atomic<size_t> next{0};
  auto small_ones = [&] {
    for (size_t i; (i = next++) < entries.size();) {
      if (!large(entries[i])) compress(i, 1);
    }
  };
  std::vector<std::thread> helpers;
  for (unsigned t = 1; t < std::min<size_t>(threads, entries.size()); ++t) helpers.emplace_back(small_ones);
  small_ones();
  for (std::thread& helper : helpers) helper.join();
  for (size_t i = 0; i < entries.size(); ++i) {
    if (large(entries[i])) compress(i, threads);
  }
  return blocks;
}

// The image: the header, each entry's block or its data where the block is
// not smaller, the directory. Its size is known before it is made, so that an
// archive too large for its limit is refused first.
std::vector<uint8_t> LayOutArchive(const std::vector<ArchiveInput>& entries, std::vector<EncodedEntry>& blocks,
                                   const ArchiveOptions& options, std::string* error) {
  // The layout first: the directory and the size of everything, so that an
  // archive too large for its 32-bit offsets is refused before it is made.
  std::vector<uint8_t> directory(entries.size() * kArchiveEntrySize, 0);
  std::vector<bool> compressed(entries.size());
  uint64_t data_end = kArchiveHeaderSize;
  uint32_t version = kArchiveVersionOldKinds;
  for (size_t i = 0; i < entries.size(); ++i) {
    const ArchiveInput& in = entries[i];
    compressed[i] = blocks[i].flags != 0;
    uint64_t stored_size = compressed[i] ? blocks[i].bytes.size() : in.data.size();
    uint8_t* e = directory.data() + i * kArchiveEntrySize;
    memcpy(e + kEntryNameAt, in.name.data(), in.name.size());
    WriteLe32(e + kEntryFlagsAt, compressed[i] ? blocks[i].flags : uint32_t(kEntryStored));
    uint32_t method = EntryMethod(blocks[i].flags);
    if (method == kEntryMethodLzma && version < kArchiveVersionMethods) version = kArchiveVersionMethods;
    if (method > kEntryMethodLzma) version = kArchiveVersionGroupsAndDeltas;
    WriteLe32(e + kEntryTimeAt, uint32_t(in.file_time));
    WriteLe32(e + kEntryTimeAt + 4, uint32_t(in.file_time >> 32));
    WriteLe32(e + kEntrySizeAt, uint32_t(in.data.size()));
    WriteLe32(e + kEntryStoredSizeAt, uint32_t(stored_size));
    data_end += AlignedToArchive(stored_size);
  }
  std::vector<uint8_t> directory_block =
      options.compress_directory ? CompressLzBlock(directory.data(), directory.size(), options.level) : directory;
  uint64_t total = data_end + directory_block.size();
  if (total > options.max_image) {
    if (error)
      *error = "the archive would take " + std::to_string(total) + " bytes, more than the " +
               std::to_string(options.max_image) + " it may take (" + options.max_image_reason + ")";
    return {};
  }

  std::vector<uint8_t> image(kArchiveHeaderSize, 0);
  image.reserve(size_t(total));
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::vector<uint8_t>& stored = compressed[i] ? blocks[i].bytes : entries[i].data;
    image.insert(image.end(), stored.begin(), stored.end());
    image.resize(size_t(AlignedToArchive(image.size())), 0);
    std::vector<uint8_t>().swap(blocks[i].bytes);  // its bytes are in the image now
  }
  uint32_t directory_offset = uint32_t(image.size());
  image.insert(image.end(), directory_block.begin(), directory_block.end());
  memcpy(image.data() + kHeaderMagicAt, "FA2", 4);
  WriteLe32(image.data() + kHeaderFlagsAt, (options.compress_directory ? uint32_t(kHeaderCompressedDirectory) : 0u) |
                                               (version << kHeaderVersionShift));
  WriteLe32(image.data() + kHeaderDirectoryOffsetAt, directory_offset);
  WriteLe32(image.data() + kHeaderEntryCountAt, uint32_t(entries.size()));
  return image;
}

}  // namespace

std::vector<uint8_t> BuildArchive(const std::vector<ArchiveInput>& entries, const ArchiveOptions& options,
                                  std::string* error) {
  for (const ArchiveInput& in : entries) {
    if (in.name.empty() || in.name.size() >= kArchiveNameSize) {
      if (error) *error = "entry name '" + in.name + "' must be 1 to 259 bytes long";
      return {};
    }
    if (in.data.size() > 0xFFFFFFFFu) {
      if (error) *error = "entry '" + in.name + "' is larger than 4 GiB - 1 bytes";
      return {};
    }
  }
  std::vector<EncodedEntry> blocks = CompressEntries(entries, options);
  return LayOutArchive(entries, blocks, options, error);
}
