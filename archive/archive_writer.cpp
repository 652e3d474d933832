#include "archive/archive_writer.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "archive/delta_patch.h"
#include "archive/payload_archive.h"
#include "archive/payload_checksum.h"
#include "common/bytes.h"

EncodedStream EncodeStream(const uint8_t* data, size_t size, LzLevel level, const LzProgress& progress,
                           unsigned threads) {
  EncodedStream out;
  out.coding = kEntryCodingLzBlock;
  out.bytes = CompressLzBlock(data, size, level, progress, threads);
  return out;
}

namespace {

// An entry's encodings: the whole file's (empty when not compressed) and,
// when it has one, its delta's (the head, then the encoded patch).
struct EntryBlocks {
  EncodedStream whole;
  EncodedStream delta;
};

// An encoded whole entry's Flags: the old kind for an LzBlock, else its method.
uint32_t WholeFlags(uint32_t coding) {
  return coding == kEntryCodingLzBlock ? uint32_t(kEntryCompressed) : coding << kEntryMethodShift;
}

// Each entry's block (empty for an entry not to be compressed).
std::vector<EntryBlocks> CompressEntries(const std::vector<ArchiveInput>& entries,
                                                  const ArchiveOptions& options) {
  // Each entry is one block of its own. Entries are compressed side by side,
  // one per thread; one that would leave the other threads idle is then
  // parsed by all of them at once, so an update of one big file gains too.
  // The blocks are laid out in order afterwards, the same whatever the
  // number of threads.
  unsigned threads = options.threads ? options.threads : std::max(1u, std::thread::hardware_concurrency());
  std::vector<EntryBlocks> blocks(entries.size());
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
    if (in.compress) blocks[i].whole = EncodeStream(in.data.data(), in.data.size(), options.level, advance, parse_threads);
    if (in.has_delta) {
      EncodedStream patch = EncodeStream(in.delta_patch.data(), in.delta_patch.size(), options.level, {}, parse_threads);
      DeltaHead head{in.delta_old_size, in.delta_old_hash, Xxh64(in.data.data(), in.data.size(), 0)};
      blocks[i].delta.coding = patch.coding;
      blocks[i].delta.bytes.resize(kDeltaHeadSize);
      WriteDeltaHead(&head, blocks[i].delta.bytes.data());
      blocks[i].delta.bytes.insert(blocks[i].delta.bytes.end(), patch.bytes.begin(), patch.bytes.end());
    }
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
std::vector<uint8_t> LayOutArchive(const std::vector<ArchiveInput>& entries, std::vector<EntryBlocks>& blocks,
                                   const ArchiveOptions& options, std::string* error) {
  // The layout first: the directory and the size of everything, so that an
  // archive too large for its 32-bit offsets is refused before it is made.
  std::vector<uint8_t> directory(entries.size() * kArchiveEntrySize, 0);
  // Each entry's data: 0 the file as it is, 1 its encoding, 2 its delta.
  std::vector<int> chosen(entries.size());
  bool methods = false;  // an entry of a method beyond the old kinds
  uint64_t data_end = kArchiveHeaderSize;
  for (size_t i = 0; i < entries.size(); ++i) {
    const ArchiveInput& in = entries[i];
    const std::vector<uint8_t>& whole = blocks[i].whole.bytes;
    chosen[i] = in.compress && (options.force_compression || whole.size() < in.data.size()) ? 1 : 0;
    uint64_t stored_size = chosen[i] ? whole.size() : in.data.size();
    if (in.has_delta && blocks[i].delta.bytes.size() < stored_size) {
      chosen[i] = 2;
      stored_size = blocks[i].delta.bytes.size();
    }
    uint32_t flags = chosen[i] == 2   ? (kEntryMethodDelta << kEntryMethodShift) | (blocks[i].delta.coding << kEntryCodingShift)
                     : chosen[i] == 1 ? WholeFlags(blocks[i].whole.coding)
                                      : uint32_t(kEntryStored);
    methods = methods || EntryMethodOf(flags) != 0;
    uint8_t* e = directory.data() + i * kArchiveEntrySize;
    memcpy(e + kEntryNameAt, in.name.data(), in.name.size());
    WriteLe32(e + kEntryFlagsAt, flags);
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
    const std::vector<uint8_t>& stored = chosen[i] == 2   ? blocks[i].delta.bytes
                                         : chosen[i] == 1 ? blocks[i].whole.bytes
                                                          : entries[i].data;
    image.insert(image.end(), stored.begin(), stored.end());
    image.resize(size_t(AlignedToArchive(image.size())), 0);
    blocks[i] = EntryBlocks();  // its bytes are in the image now
  }
  uint32_t directory_offset = uint32_t(image.size());
  image.insert(image.end(), directory_block.begin(), directory_block.end());
  memcpy(image.data() + kHeaderMagicAt, "FA2", 4);
  // Version 0 while every entry is of the old kinds, so older readers read it.
  WriteLe32(image.data() + kHeaderFlagsAt,
            (options.compress_directory ? uint32_t(kHeaderCompressedDirectory) : 0u) |
                (methods ? uint32_t(kArchiveVersionMethods) << kArchiveVersionShift : 0u));
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
  std::vector<EntryBlocks> blocks = CompressEntries(entries, options);
  return LayOutArchive(entries, blocks, options, error);
}
