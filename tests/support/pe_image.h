// Small PE images made byte by byte, for the tests and the fuzz seeds of
// mkupdate's resource writer: a PE32 header, the sections given, and a
// resource directory wherever a test wants one. Nothing is checked: a test
// makes the images a hostile tool would.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PeSection {
  std::string name;
  uint32_t rva = 0;
  uint32_t virtual_size = 0;  // 0: the data's size
  uint32_t raw_offset = 0;
  std::vector<uint8_t> data;  // SizeOfRawData is its size
};

struct PeImage {
  uint32_t pe_offset = 0x40;  // e_lfanew
  uint32_t file_alignment = 0x200;
  uint32_t section_alignment = 0x1000;
  uint32_t headers_size = 0x200;
  uint32_t resource_rva = 0, resource_size = 0;  // the resource directory entry
  uint32_t relocation_rva = 0, relocation_size = 0;
  std::vector<PeSection> sections;
};

// The image's bytes: headers, then each section's data at its raw offset.
std::vector<uint8_t> MakePeImage(const PeImage& image);

// A minimal valid executable: .text, a .rsrc holding an empty resource tree,
// and .reloc after it, in file and address order.
PeImage MinimalPeImage();
