// What reading a solid group costs the updater: the files given, packed as
// `build` packs them (groups where they pay) and each on its own (method 1),
// then every entry decoded through the updater's reader (CheckArchiveEntryAt,
// as a write decodes it, to a sink that discards the bytes) in directory
// order and backwards; the time of each and the most memory the reader
// held at once (every Os->Alloc block, the group cursor's included).
//   solid_speed FILE...   (e.g. the executables of a corpus)
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "archive/archive_writer.h"
#include "archive/payload_archive.h"
#include "common/update_state.h"
#include "platform/platform.h"

namespace {

PlatformApi g_counting;
std::map<void*, uint32_t> g_blocks;
uint64_t g_live = 0, g_peak = 0;

void* CountingAlloc(uint32_t size, int zero) {
  void* block = NativePlatform()->Alloc(size, zero);
  if (block != nullptr) {
    g_blocks[block] = size;
    g_live += size;
    if (g_live > g_peak) g_peak = g_live;
  }
  return block;
}
void CountingFree(void* block) {
  auto it = g_blocks.find(block);
  if (it != g_blocks.end()) {
    g_live -= it->second;
    g_blocks.erase(it);
  }
  NativePlatform()->Free(block);
}

// Seconds to check every entry in `order` (best of three), and the peak of
// memory above what the open directory holds.
double Read(const std::vector<uint8_t>& image, bool backwards, uint64_t* peak) {
  double best = 1e9;
  for (int round = 0; round < 3; ++round) {
    UpdateState.PayloadArchive = {image.data(), uint32_t(image.size())};
    if (OpenPayloadArchive() == nullptr) exit(1);
    uint64_t base = g_live;
    g_peak = g_live;
    auto start = std::chrono::steady_clock::now();
    uint32_t count = ArchiveEntryCount();
    for (uint32_t k = 0; k < count; ++k)
      if (!CheckArchiveEntryAt(backwards ? count - 1 - k : k)) exit(1);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ClosePayloadArchive();
    if (seconds < best) best = seconds;
    *peak = g_peak - base;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  g_counting = *NativePlatform();
  g_counting.Alloc = CountingAlloc;
  g_counting.Free = CountingFree;
  Os = &g_counting;
  std::vector<ArchiveInput> entries;
  uint64_t total = 0;
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    ArchiveInput e;
    e.name = std::string(argv[i]).substr(std::string(argv[i]).rfind('/') + 1);
    e.data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    total += e.data.size();
    entries.push_back(std::move(e));
  }
  ArchiveOptions options;
  options.lzma = true;
  std::string error;
  std::vector<uint8_t> alone = BuildArchive(entries, options, &error);
  options.solid = true;
  std::vector<SolidGroupReport> groups;
  options.groups = &groups;
  std::vector<uint8_t> solid = BuildArchive(entries, options, &error);
  printf("%zu files, %llu bytes; %zu groups; archive %zu bytes solid, %zu each alone\n", entries.size(),
         static_cast<unsigned long long>(total), groups.size(), solid.size(), alone.size());
  printf("%-28s %9s %9s %12s\n", "read", "seconds", "MB/s", "peak memory");
  for (const auto& [name, image, backwards] :
       {std::make_tuple("each alone, in order", &alone, false), std::make_tuple("solid, in order", &solid, false),
        std::make_tuple("solid, backwards", &solid, true)}) {
    uint64_t peak = 0;
    double seconds = Read(*image, backwards, &peak);
    printf("%-28s %9.3f %9.1f %12llu\n", name, seconds, double(total) / seconds / 1e6,
           static_cast<unsigned long long>(peak));
  }
  return 0;
}
