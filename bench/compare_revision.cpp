// The block codec of the working tree against that of another revision, in
// one process, so that the machine's drift between runs cancels out: the
// best mode's speed (one thread) and block size, and the checked decoder's
// speed on the same blocks, with zlib's inflate beside them. Each time is the
// best of several runs. Built and run by bench/compare_revision.sh.
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "archive/lz_block.h"
#include "archive/lz_encode.h"
#include "bench/corpus.h"

// The other revision's functions, renamed when it was compiled.
std::vector<uint8_t> BaseCompressLzBlock(const uint8_t* data, size_t size, LzLevel level, const LzProgress& progress,
                                         unsigned threads);
int BaseDecompressLzBlockChecked(uint8_t* dst, uint32_t capacity, const uint8_t* src, uint32_t block_size,
                                 uint32_t* produced, uint32_t* consumed);

namespace {

template <class F>
double BestSeconds(int runs, F f) {
  double best = 1e30;
  for (int r = 0; r < runs; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

bool Decodes(const std::vector<uint8_t>& block, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> out(data.size());
  uint32_t produced = 0;
  return DecompressLzBlockChecked(out.data(), uint32_t(out.size()), block.data(), uint32_t(block.size()), &produced,
                                  nullptr) &&
         out == data;
}

}  // namespace

int main(int argc, char** argv) {
  const char* base = argc > 1 ? argv[1] : "base";
  const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 10;
  // A Markdown table. Speeds in MB/s; the encoder on one thread.
  std::printf(
      "| corpus | encoder %s | encoder tree | speed | block size | size vs %s | decoder %s | decoder tree | "
      "zlib inflate | decoder tree / %s | decoder tree / zlib |\n",
      base, base, base, base);
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
  for (const char* kind : {"text", "exe", "image"}) {
    const std::vector<uint8_t> data = GatherCorpus(kind, KOUSHIN_SOURCE_DIR);
    const double mb = double(data.size()) / 1e6;
    std::vector<uint8_t> base_block, block;
    const int encode_runs = std::max(1, runs / 5);
    double base_encode = BestSeconds(
        encode_runs, [&] { base_block = BaseCompressLzBlock(data.data(), data.size(), LzLevel::Best, {}, 1); });
    double encode = BestSeconds(encode_runs, [&] { block = CompressLzBlock(data.data(), data.size(), LzLevel::Best); });
    if (!Decodes(block, data) || !Decodes(base_block, data)) {
      std::fprintf(stderr, "%s: a block does not decode to its input\n", kind);
      return 1;
    }
    std::vector<uint8_t> out(data.size());
    uint32_t produced = 0;
    double base_decode = BestSeconds(runs, [&] {
      BaseDecompressLzBlockChecked(out.data(), uint32_t(out.size()), block.data(), uint32_t(block.size()), &produced,
                                   nullptr);
    });
    double decode = BestSeconds(runs, [&] {
      DecompressLzBlockChecked(out.data(), uint32_t(out.size()), block.data(), uint32_t(block.size()), &produced,
                               nullptr);
    });
    uLongf packed_size = compressBound(uLong(data.size()));
    std::vector<uint8_t> packed(packed_size);
    compress2(packed.data(), &packed_size, data.data(), uLong(data.size()), 9);
    double inflate = BestSeconds(runs, [&] {
      uLongf out_size = uLongf(out.size());
      uncompress(out.data(), &out_size, packed.data(), packed_size);
    });
    std::printf("| %s | %.1f | %.1f | %.2f× | %zu | %+.3f %% | %.0f | %.0f | %.0f | %.2f× | %.2f× |\n", kind,
                mb / base_encode, mb / encode, base_encode / encode, block.size(),
                100.0 * (double(block.size()) - double(base_block.size())) / double(base_block.size()),
                mb / base_decode, mb / decode, mb / inflate, base_decode / decode, inflate / decode);
  }
  return 0;
}
