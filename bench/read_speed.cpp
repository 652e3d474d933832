// The player's read path without a benchmark library, so that the Windows
// builds can be measured too, with the flags they ship with (under Wine for
// the i686 figure): the payload check on a large image and the checked
// decoder on the three corpora, each beside memcpy of the same bytes.
// Run: read_speed [MiB]   (the checksum's image; default 64)
// Under Wine, from a folder of drive Z: so that the corpora's folders are found.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "archive/lz_block.h"
#include "archive/lz_encode.h"
#include "archive/payload_checksum.h"
#include "bench/corpus.h"

namespace {

// The best of several passes, in MB/s.
template <typename Pass>
double BestRate(size_t bytes, int rounds, Pass pass) {
  double best = 0;
  for (int round = 0; round < rounds; ++round) {
    auto start = std::chrono::steady_clock::now();
    pass();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (seconds > 0 && bytes / seconds / 1e6 > best) best = bytes / seconds / 1e6;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const char* build = sizeof(void*) == 4 ? "32-bit" : "64-bit";
  bool ok = true;
  for (const char* kind : {"text", "exe", "image"}) {
    const std::vector<uint8_t> data = GatherCorpus(kind, KOUSHIN_SOURCE_DIR);
    if (data.empty()) {
      printf("%s build, %s: no files found\n", build, kind);
      continue;
    }
    const std::vector<uint8_t> block = CompressLzBlock(data.data(), data.size(), LzLevel::Best);
    std::vector<uint8_t> out(data.size());
    uint32_t produced = 0;
    bool decoded = false;
    double decode = BestRate(data.size(), 15, [&] {
      decoded = DecompressLzBlockChecked(out.data(), uint32_t(out.size()), block.data(), uint32_t(block.size()),
                                         &produced, nullptr) != 0;
    });
    decoded = decoded && out == data;
    double move = BestRate(data.size(), 15, [&] { memcpy(out.data(), data.data(), data.size()); });
    printf("%s build, %s (%zu bytes): checked decoder %.0f MB/s, memcpy %.0f MB/s%s\n", build, kind, data.size(),
           decode, move, decoded ? "" : " (WRONG OUTPUT)");
    ok = ok && decoded;
  }

  size_t size = size_t(argc > 1 ? atoi(argv[1]) : 64) << 20;
  std::vector<uint8_t> image(size), copy(size);
  for (size_t i = 0; i < size; ++i) image[i] = uint8_t(i * 2654435761u >> 13);
  uint8_t record[kChecksumRecordSize];
  MakeChecksumRecord(image.data(), uint32_t(size), record);
  volatile bool matches = true;
  double check =
      BestRate(size, 7, [&] { matches = PayloadMatchesChecksum(image.data(), uint32_t(size), record, sizeof record); });
  double move = BestRate(size, 7, [&] { memcpy(copy.data(), image.data(), size); });
  printf("%s build, %zu MiB: checksum %.0f MB/s, memcpy %.0f MB/s%s\n", build, size >> 20, check, move,
         matches ? "" : " (MISMATCH)");
  return ok && matches ? 0 : 1;
}
