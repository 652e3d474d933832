#include "archive/archive_writer.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "archive/payload_archive.h"

namespace {

void Put32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

void PadTo16(std::vector<uint8_t>* image) {
  image->resize((image->size() + kArchiveAlign - 1) & ~size_t(kArchiveAlign - 1), 0);
}

}  // namespace

std::vector<uint8_t> BuildArchive(const std::vector<ArchiveInput>& entries, const ArchiveOptions& options,
                                  std::string* error) {
  for (const ArchiveInput& in : entries) {
    if (in.name.empty() || in.name.size() >= kArchiveNameSize) {
      if (error) *error = "entry name '" + in.name + "' must be 1 to 259 bytes long";
      return {};
    }
    if (in.data.size() > 0x7FFFFFFF) {
      if (error) *error = "entry '" + in.name + "' is larger than 2 GiB";
      return {};
    }
  }

  // Each entry is one block of its own. Entries are compressed side by side,
  // one per thread; one that would leave the other threads idle is then
  // parsed by all of them at once, so an update of one big file gains too.
  // The blocks are laid out in order afterwards, the same whatever the
  // number of threads.
  unsigned threads = options.threads ? options.threads : std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::vector<uint8_t>> blocks(entries.size());
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
    if (in.compress) blocks[i] = CompressLzBlock(in.data.data(), in.data.size(), options.level, advance, parse_threads);
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

  std::vector<uint8_t> image(kArchiveHeaderSize, 0);
  std::vector<uint8_t> directory(entries.size() * kArchiveEntrySize, 0);
  for (size_t i = 0; i < entries.size(); ++i) {
    const ArchiveInput& in = entries[i];
    bool compressed = in.compress && (options.force_compression || blocks[i].size() < in.data.size());
    const std::vector<uint8_t>& stored = compressed ? blocks[i] : in.data;
    uint32_t stored_size = uint32_t(stored.size());
    image.insert(image.end(), stored.begin(), stored.end());
    PadTo16(&image);
    std::vector<uint8_t>().swap(blocks[i]);  // its bytes are in the image now

    uint8_t* e = directory.data() + i * kArchiveEntrySize;
    memcpy(e + kEntryNameAt, in.name.data(), in.name.size());
    Put32(e + kEntryFlagsAt, compressed ? kEntryCompressed : kEntryStored);
    Put32(e + kEntryTimeAt, uint32_t(in.file_time));
    Put32(e + kEntryTimeAt + 4, uint32_t(in.file_time >> 32));
    Put32(e + kEntrySizeAt, uint32_t(in.data.size()));
    Put32(e + kEntryStoredSizeAt, stored_size);
  }
  uint32_t directory_offset = uint32_t(image.size());
  if (options.compress_directory) {
    std::vector<uint8_t> block = CompressLzBlock(directory.data(), directory.size(), options.level);
    image.insert(image.end(), block.begin(), block.end());
  } else {
    image.insert(image.end(), directory.begin(), directory.end());
  }
  memcpy(image.data(), "FA2", 4);
  Put32(image.data() + 4, options.compress_directory ? uint32_t(kHeaderCompressedDirectory) : 0u);
  Put32(image.data() + 8, directory_offset);
  Put32(image.data() + 12, uint32_t(entries.size()));
  return image;
}
