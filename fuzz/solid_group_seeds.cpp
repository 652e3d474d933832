// Writes the seeds of fuzz_solid_group into the folder it is given: groups
// that mkupdate's encoder makes of near-copies (an x86 group, a plain one
// with an empty member, a delta group), in the target's input form.
#include <cstdio>
#include <string>
#include <vector>

#include "archive/lzma_encode.h"
#include "archive/payload_archive.h"

namespace {

std::vector<uint8_t> Sample(uint32_t seed, size_t size, bool exe) {
  std::vector<uint8_t> s;
  uint32_t x = seed;
  if (exe) s = {'M', 'Z'};
  while (s.size() < size) {
    x = x * 1103515245u + 12345u;
    uint32_t r = x >> 8;
    if (exe && r % 3 == 0) {
      s.push_back(0xE8);
      for (int i = 0; i < 4; ++i) s.push_back(uint8_t((0x1000 + r % 40 * 0x230 - s.size()) >> (8 * i)));
    } else {
      s.push_back(uint8_t(exe ? 0x50 + r % 8 : 'a' + r % 8));
    }
  }
  s.resize(size);
  return s;
}

void Write(const std::string& path, uint32_t filter_choice, const std::vector<std::vector<uint8_t>>& members,
           uint32_t filter, uint32_t distance) {
  std::vector<uint8_t> input = {uint8_t(filter_choice), uint8_t(members.size() - 1)};
  std::vector<uint8_t> joined;
  for (const auto& m : members) {
    input.push_back(uint8_t(m.size()));
    input.push_back(uint8_t(m.size() >> 8));
    joined.insert(joined.end(), m.begin(), m.end());
  }
  // Reads: the last member, then the first, then each whole.
  uint8_t last = uint8_t(members.size() - 1);
  for (uint8_t r : {last, uint8_t(0), uint8_t(0x80), uint8_t(0x81), uint8_t(0x82), last, uint8_t(1), uint8_t(0x80)})
    input.push_back(r);
  std::vector<uint8_t> stream = EncodeLzmaEntry(joined.data(), joined.size(), filter, distance, joined.size() + 1000);
  input.insert(input.end(), stream.begin(), stream.end());
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return;
  fwrite(input.data(), 1, input.size(), f);
  fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::string dir = argv[1];
  std::vector<uint8_t> exe = Sample(1, 20000, true), exe2 = exe;
  exe2[3000] ^= 1;
  Write(dir + "/x86.bin", 1, {exe, exe2, Sample(2, 3000, true)}, kEntryFilterX86, 0);
  std::vector<uint8_t> text = Sample(3, 30000, false);
  Write(dir + "/plain.bin", 0, {text, {}, text, Sample(4, 70, false)}, kEntryFilterNone, 0);
  Write(dir + "/delta.bin", 4, {Sample(5, 8000, false), Sample(5, 8000, false)}, kEntryFilterDelta, 4);
  return 0;
}
