#include "archive/archive_writer.h"

#include <cstring>

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
  std::vector<uint8_t> image(kArchiveHeaderSize, 0);
  std::vector<uint8_t> directory(entries.size() * kArchiveEntrySize, 0);
  for (size_t i = 0; i < entries.size(); ++i) {
    const ArchiveInput& in = entries[i];
    if (in.name.empty() || in.name.size() >= kArchiveNameSize) {
      if (error) *error = "entry name '" + in.name + "' must be 1 to 259 bytes long";
      return {};
    }
    if (in.data.size() > 0x7FFFFFFF) {
      if (error) *error = "entry '" + in.name + "' is larger than 2 GiB";
      return {};
    }
    if (options.progress) options.progress(i, in);
    std::vector<uint8_t> block;
    bool compressed = false;
    if (in.compress) {
      block = CompressLzBlock(in.data.data(), in.data.size(), options.level);
      compressed = options.force_compression || block.size() < in.data.size();
    }
    const std::vector<uint8_t>& stored = compressed ? block : in.data;
    image.insert(image.end(), stored.begin(), stored.end());
    PadTo16(&image);

    uint8_t* e = directory.data() + i * kArchiveEntrySize;
    memcpy(e + kEntryNameAt, in.name.data(), in.name.size());
    Put32(e + kEntryFlagsAt, compressed ? kEntryCompressed : kEntryStored);
    Put32(e + kEntryTimeAt, uint32_t(in.file_time));
    Put32(e + kEntryTimeAt + 4, uint32_t(in.file_time >> 32));
    Put32(e + kEntrySizeAt, uint32_t(in.data.size()));
    Put32(e + kEntryStoredSizeAt, uint32_t(stored.size()));
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
