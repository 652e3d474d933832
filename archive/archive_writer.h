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
};

struct ArchiveOptions {
  LzLevel level = LzLevel::Best;
  bool compress_directory = true;
  // Compress even where the block is not smaller than the data (for tests).
  bool force_compression = false;
  // Called before each entry is compressed, with its index.
  std::function<void(size_t index, const ArchiveInput& entry)> progress;
};

// The archive image of the entries, in the order given. Fails (empty result
// and a reason in `error`) for a name that does not fit its field.
std::vector<uint8_t> BuildArchive(const std::vector<ArchiveInput>& entries, const ArchiveOptions& options,
                                  std::string* error);
