// The payload check's speed beside memcpy, without a benchmark library, so
// that the Windows builds can be measured too (under Wine: the i686 figure).
// Run: checksum_speed [MiB]   (default 64)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "archive/payload_checksum.h"

namespace {

// The best of several passes, in GB/s.
template <typename Pass>
double BestRate(size_t bytes, Pass pass) {
  double best = 0;
  for (int round = 0; round < 7; ++round) {
    auto start = std::chrono::steady_clock::now();
    pass();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (seconds > 0 && bytes / seconds / 1e9 > best) best = bytes / seconds / 1e9;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  size_t size = size_t(argc > 1 ? atoi(argv[1]) : 64) << 20;
  std::vector<uint8_t> image(size), copy(size);
  for (size_t i = 0; i < size; ++i) image[i] = uint8_t(i * 2654435761u >> 13);
  uint8_t record[kChecksumRecordSize];
  MakeChecksumRecord(image.data(), uint32_t(size), record);
  volatile bool matches = true;
  double check =
      BestRate(size, [&] { matches = PayloadMatchesChecksum(image.data(), uint32_t(size), record, sizeof record); });
  double move = BestRate(size, [&] { memcpy(copy.data(), image.data(), size); });
  printf("%s-bit build, %zu MiB: checksum %.2f GB/s, memcpy %.2f GB/s%s\n", sizeof(void*) == 4 ? "32" : "64",
         size >> 20, check, move, matches ? "" : " (MISMATCH)");
  return matches ? 0 : 1;
}
