// The LZMA entry decoder (the LZMA SDK's, as the updater runs it: streamed in
// parts through its dictionary, and whole) against liblzma's (xz-utils) on
// the same streams, in one process; the LzBlock decoder beside them.
//   lzma_speed FILE...   (each file is one input, at most 8 MiB)
#include <lzma.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/lz_block.h"
#include "archive/lz_encode.h"
#include "archive/lzma_encode.h"
#include "archive/lzma_entry.h"
#include "archive/payload_archive.h"
#include "platform/platform.h"

namespace {

// The best of a few rounds of about 0.3 s, in MB/s of decoded bytes.
template <typename F>
double Speed(size_t bytes, F decode) {
  double best = 0;
  for (int round = 0; round < 3; ++round) {
    int times = 0;
    auto start = std::chrono::steady_clock::now();
    double seconds = 0;
    do {
      if (!decode()) {
        fprintf(stderr, "decode failed\n");
        exit(1);
      }
      ++times;
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    } while (seconds < 0.3);
    double speed = double(bytes) * times / seconds / 1e6;
    if (speed > best) best = speed;
  }
  return best;
}

int Discard(void*, const uint8_t*, uint32_t) { return 1; }

}  // namespace

int main(int argc, char** argv) {
  Os = NativePlatform();
  printf("%-28s %9s %9s %8s %8s %8s %8s\n", "file", "size", "lzma", "stream", "whole", "liblzma", "lzblock");
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() > kLzmaMostDictionary) data.resize(kLzmaMostDictionary);
    std::vector<uint8_t> entry = EncodeLzmaEntry(data.data(), data.size(), kEntryFilterNone, 0, data.size() * 2 + 64);
    std::vector<uint8_t> block = CompressLzBlock(data.data(), data.size(), LzLevel::Best);
    uint32_t flags = LzmaEntryFlags(kEntryFilterNone, 0), size = uint32_t(data.size());
    std::vector<uint8_t> out(data.size() + 1);
    // The same stream as .lzma (properties, the size, the raw stream), which
    // liblzma's decoder reads without an end mark when the size is known.
    std::vector<uint8_t> alone(entry.begin(), entry.begin() + 5);
    for (int b = 0; b < 8; ++b) alone.push_back(uint8_t(uint64_t(size) >> (8 * b)));
    alone.insert(alone.end(), entry.begin() + 5, entry.end());
    double stream = Speed(size, [&] {
      return DecodeLzmaEntryStream(flags, size, entry.data(), uint32_t(entry.size()), Discard, nullptr);
    });
    double whole = Speed(size, [&] {
      return DecodeLzmaEntry(flags, out.data(), size, entry.data(), uint32_t(entry.size())) &&
             memcmp(out.data(), data.data(), size) == 0;
    });
    double xz = Speed(size, [&] {
      lzma_stream s = LZMA_STREAM_INIT;
      if (lzma_alone_decoder(&s, UINT64_MAX) != LZMA_OK) return false;
      s.next_in = alone.data();
      s.avail_in = alone.size();
      s.next_out = out.data();
      s.avail_out = size;
      lzma_ret r = lzma_code(&s, LZMA_FINISH);
      bool ok = (r == LZMA_STREAM_END || r == LZMA_OK) && s.total_out == size;
      lzma_end(&s);
      return ok && memcmp(out.data(), data.data(), size) == 0;
    });
    double lz = Speed(size, [&] {
      uint32_t produced = 0;
      return DecompressLzBlockChecked(out.data(), size, block.data(), uint32_t(block.size()), &produced, nullptr) &&
             produced == size;
    });
    std::string name = argv[i];
    if (name.size() > 28) name = "..." + name.substr(name.size() - 25);
    printf("%-28s %9u %9zu %8.0f %8.0f %8.0f %8.0f\n", name.c_str(), size, entry.size(), stream, whole, xz, lz);
  }
  return 0;
}
