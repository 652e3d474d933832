#include "tests/support/pe_image.h"

#include <algorithm>
#include <cstring>

namespace {

void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

constexpr uint32_t kOptionalSize = 224;  // PE32 with its 16 data directories

}  // namespace

std::vector<uint8_t> MakePeImage(const PeImage& image) {
  size_t end = std::max<size_t>(image.headers_size, image.pe_offset + 24 + kOptionalSize + 40 * image.sections.size());
  for (const PeSection& s : image.sections) end = std::max<size_t>(end, s.raw_offset + s.data.size());
  std::vector<uint8_t> b(end, 0);
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 0x3C, image.pe_offset);
  size_t pe = image.pe_offset;
  memcpy(&b[pe], "PE\0\0", 4);
  Put16(b, pe + 4, 0x14C);  // i386
  Put16(b, pe + 6, uint32_t(image.sections.size()));
  Put16(b, pe + 20, kOptionalSize);
  Put16(b, pe + 22, 0x0102);  // an executable for 32-bit machines
  size_t opt = pe + 24;
  Put16(b, opt, 0x10B);
  Put32(b, opt + 28, 0x400000);  // ImageBase
  Put32(b, opt + 32, image.section_alignment);
  Put32(b, opt + 36, image.file_alignment);
  uint32_t size_of_image = 0;
  for (const PeSection& s : image.sections)
    size_of_image =
        std::max<uint32_t>(size_of_image, s.rva + std::max<uint32_t>(s.virtual_size, uint32_t(s.data.size())));
  Put32(b, opt + 56, size_of_image);
  Put32(b, opt + 60, image.headers_size);
  Put16(b, opt + 68, 2);  // the Windows GUI
  Put32(b, opt + 92, 16);
  Put32(b, opt + 96 + 2 * 8, image.resource_rva);
  Put32(b, opt + 96 + 2 * 8 + 4, image.resource_size);
  Put32(b, opt + 96 + 5 * 8, image.relocation_rva);
  Put32(b, opt + 96 + 5 * 8 + 4, image.relocation_size);
  size_t table = opt + kOptionalSize;
  for (size_t i = 0; i < image.sections.size(); ++i) {
    const PeSection& s = image.sections[i];
    size_t h = table + 40 * i;
    memcpy(&b[h], s.name.data(), std::min<size_t>(8, s.name.size()));
    Put32(b, h + 8, s.virtual_size ? s.virtual_size : uint32_t(s.data.size()));
    Put32(b, h + 12, s.rva);
    Put32(b, h + 16, uint32_t(s.data.size()));
    Put32(b, h + 20, s.raw_offset);
    if (!s.data.empty()) memcpy(&b[s.raw_offset], s.data.data(), s.data.size());
  }
  return b;
}

PeImage MinimalPeImage() {
  PeImage image;
  image.sections.push_back({".text", 0x1000, 0, 0x200, std::vector<uint8_t>(0x200, 0xC3)});
  image.sections.push_back({".rsrc", 0x2000, 0, 0x400, std::vector<uint8_t>(0x200, 0)});  // a root without entries
  std::vector<uint8_t> relocations(0x200, 0);
  relocations[0] = 0x00, relocations[1] = 0x10, relocations[4] = 8;  // one empty block for page 0x1000
  image.sections.push_back({".reloc", 0x3000, 0, 0x600, relocations});
  image.resource_rva = 0x2000;
  image.resource_size = 16;
  image.relocation_rva = 0x3000;
  image.relocation_size = 8;
  return image;
}
