// mkupdate's PE reader and resource writer: a round trip on a small image,
// and images made as a hostile tool would make them, each refused with one
// line in bounded time and memory (the reader once wrote past its buffer,
// wrapped its 32-bit totals, walked shared subdirectories exponentially, or
// copied one shared blob of data thousands of times before refusing it).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "tests/support/pe_image.h"
#include "tools/mkupdate/pe_resources.h"

// The largest block of memory asked for while a test watches: a copy of a
// resource's data is one block as large as the data, while the reader's own
// records of a tree are small blocks.
static std::atomic<bool> g_watching{false};
static std::atomic<size_t> g_largest_block{0};

void* operator new(size_t size) {
  if (g_watching && size > g_largest_block) g_largest_block = size;
  if (void* p = malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}
// Out of line: inlined where a block is freed, the compiler would take the
// replacement's free() for a mismatch with the caller's new.
__attribute__((noinline)) void operator delete(void* p) noexcept { free(p); }
__attribute__((noinline)) void operator delete(void* p, size_t) noexcept { free(p); }

namespace {

// The largest block `work` asks for.
template <typename Work>
size_t LargestBlockOf(Work work) {
  g_largest_block = 0;
  g_watching = true;
  work();
  g_watching = false;
  return g_largest_block;
}

typedef std::vector<uint8_t> Bytes;

void Put16(Bytes& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
uint32_t Get32(const Bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

Resource Update(uint16_t id, const std::string& data, uint16_t language = 0) {
  Resource r;
  r.key.type_name = u"UPDATE";
  r.key.name_id = id;
  r.key.language = language;
  r.data.assign(data.begin(), data.end());
  return r;
}

// A resource section of `size` bytes at RVA 0x2000 whose tree `fill` writes.
template <typename Fill>
Bytes WithResourceSection(uint32_t size, Fill fill) {
  PeImage image = MinimalPeImage();
  image.sections.resize(2);  // no .reloc: the section may be large
  image.relocation_rva = image.relocation_size = 0;
  image.sections[1].data.assign(size, 0);
  fill(image.sections[1].data);
  image.resource_size = size;
  return MakePeImage(image);
}

// A directory at `at` with `ids` entries, each pointing at `target` (with
// the subdirectory bit when `directory`).
void Directory(Bytes& section, uint32_t at, uint32_t ids, uint32_t target, bool directory, uint32_t first_id = 1) {
  Put16(section, at + 14, ids);
  for (uint32_t i = 0; i < ids; ++i) {
    Put32(section, at + 16 + 8 * i, first_id + i);
    Put32(section, at + 20 + 8 * i, directory ? 0x80000000u | target : target + 16 * i);
    if (!directory) {  // a data entry of 4 bytes at the section's start
      Put32(section, target + 16 * i, 0x2000);
      Put32(section, target + 16 * i + 4, 4);
    }
  }
}

void ExpectRefused(const Bytes& image, const std::string& why) {
  std::vector<Resource> resources;
  std::string error;
  EXPECT_FALSE(ReadResources(image, &resources, &error));
  EXPECT_NE(error.find(why), std::string::npos) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos) << "one line";
  Bytes copy = image;
  std::string replace_error;
  EXPECT_FALSE(ReplaceResources(&copy, {Update(102, "x")}, {}, &replace_error));
  EXPECT_EQ(copy, image) << "left as it was";
}

TEST(PeResources, RoundTripMovesTheRelocationsAndKeepsEveryResource) {
  Bytes image = MakePeImage(MinimalPeImage());
  Resource manifest;
  manifest.key.type_id = 24;
  manifest.key.name_id = 1;
  manifest.key.language = 1041;
  manifest.data.assign(3000, 'm');  // larger than the old section: .reloc must move
  std::string error;
  ASSERT_TRUE(ReplaceResources(&image, {manifest}, {}, &error)) << error;
  ASSERT_TRUE(ReplaceResources(&image, {Update(102, "payload"), Update(103, "sum")}, {}, &error)) << error;
  std::vector<Resource> all;
  ASSERT_TRUE(ReadResources(image, &all, &error)) << error;
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].key.name, u"");
  EXPECT_EQ(std::string(all[0].data.begin(), all[0].data.end()), "payload");  // named types first
  EXPECT_EQ(all[2].key.type_id, 24);
  EXPECT_EQ(all[2].data, manifest.data);
  // The relocation directory follows its section to the new address.
  size_t optional = Get32(image, 0x3C) + 24;
  uint32_t relocation_rva = Get32(image, optional + 96 + 5 * 8);
  EXPECT_GE(relocation_rva, 0x2000u + 3000);
  EXPECT_EQ(relocation_rva % 0x1000, 0u);
  std::vector<Resource> ours;
  ASSERT_TRUE(ReadUpdateResources(image, 102, 103, &ours, &error)) << error;
  ASSERT_EQ(ours.size(), 2u) << "the manifest is not copied";
  // Replacing again gives the same bytes: nothing accumulates.
  Bytes again = image;
  ASSERT_TRUE(ReplaceResources(&again, {Update(102, "payload"), Update(103, "sum")}, {}, &error)) << error;
  EXPECT_EQ(again, image);
}

TEST(PeResources, RefusesHeadersAndSectionsNoLoaderTakes) {
  struct Case {
    const char* what;
    void (*change)(PeImage&);
    const char* why;
  };
  const Case kCases[] = {
      {"headers after the resource section",
       [](PeImage& i) {
         i.pe_offset = 0x800;
         i.headers_size = 0x200;
       },
       "headers"},
      {"SizeOfHeaders past the first section", [](PeImage& i) { i.headers_size = 0x400; }, "overlaps"},
      {"SizeOfHeaders short of the section table", [](PeImage& i) { i.headers_size = 0x100; }, "headers"},
      {"sections overlapping in the file", [](PeImage& i) { i.sections[0].data.resize(0x300); }, "overlaps"},
      {"sections out of address order", [](PeImage& i) { std::swap(i.sections[0].rva, i.sections[1].rva); },
       "address order"},
      {"sections overlapping in memory", [](PeImage& i) { i.sections[0].virtual_size = 0x1001; }, "overlap"},
      {"file alignment 0", [](PeImage& i) { i.file_alignment = 0; }, "alignments"},
      {"file alignment 3", [](PeImage& i) { i.file_alignment = 3; }, "alignments"},
      {"file alignment 128 KiB",
       [](PeImage& i) {
         i.file_alignment = 0x20000;
         i.section_alignment = 0x20000;
       },
       "alignments"},
      {"section alignment below the file alignment", [](PeImage& i) { i.section_alignment = 0x100; }, "alignments"},
      {"section alignment 1 GiB", [](PeImage& i) { i.section_alignment = 0x40000000; }, "alignments"},
      {"no section", [](PeImage& i) { i.sections.clear(); }, "0 sections"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    PeImage image = MinimalPeImage();
    c.change(image);
    ExpectRefused(MakePeImage(image), c.why);
  }
  Bytes wrapping = MakePeImage(MinimalPeImage());
  Put32(wrapping, 0x3C, 0xFFFFFFF0u);  // e_lfanew + 24 wraps a 32-bit sum
  ExpectRefused(wrapping, "not a PE");
  Bytes beyond = MakePeImage(MinimalPeImage());
  Put32(beyond, 0x40 + 24 + 224 + 2 * 40 + 16, 0x10000);  // .reloc's SizeOfRawData
  ExpectRefused(beyond, "end of the file");
  PeImage many = MinimalPeImage();
  for (uint32_t i = 3; i < 97; ++i) many.sections.push_back({".x", 0x1000 * (i + 1), 0x10, 0, {}});
  ExpectRefused(MakePeImage(many), "97 sections");
}

// 25 KB: each of four levels has 200 entries that all lead to one
// directory below. Walked as a tree, that is 200^3 data entries.
TEST(PeResources, RefusesDirectoriesReachedTwice) {
  Bytes image = WithResourceSection(25000, [](Bytes& s) {
    Directory(s, 0, 200, 0x1000, true);
    Directory(s, 0x1000, 200, 0x2000, true);
    Directory(s, 0x2000, 200, 0x3000, false);
  });
  ExpectRefused(image, "reached twice");
  Bytes one_leaf = WithResourceSection(0x4000, [](Bytes& s) {
    Directory(s, 0, 1, 0x1000, true);
    Directory(s, 0x1000, 2, 0x2000, true);  // two names, one language directory
    Directory(s, 0x2000, 1, 0x3000, false);
  });
  ExpectRefused(one_leaf, "reached twice");
}

// 1 MB: 4,000 data entries that all describe the same megabyte. Their total
// (4 GB) is refused before a byte of it is copied.
TEST(PeResources, RefusesTotalsBeyondTheLimitBeforeCopying) {
  const uint32_t kSize = 1 << 20, kLeaves = 4000, kEntries = 0x100, kData = 0x10000;
  Bytes image = WithResourceSection(kSize, [&](Bytes& s) {
    Directory(s, 0, 1, 0x40, true);
    Directory(s, 0x40, 1, 0x80, true);
    Directory(s, 0x80, kLeaves, kEntries + 8 * kLeaves, false);  // data entries after the directory
    for (uint32_t i = 0; i < kLeaves; ++i) {
      size_t entry = kEntries + 8 * kLeaves + 16 * i;
      Put32(s, entry, 0x2000 + kData);
      Put32(s, entry + 4, kSize - kData);
    }
  });
  ExpectRefused(image, "bytes of resource data");
  Bytes wide = WithResourceSection(0x30000, [](Bytes& s) { Directory(s, 0, 20000, 0x40, true); });
  ExpectRefused(wide, "more than 16384 directory entries");
}

// UPDATE/102 in `languages` languages, each `blob` bytes of data: one blob
// for them all when `shared`, one each otherwise.
Bytes UpdateInLanguages(uint32_t languages, uint32_t blob, bool shared) {
  const uint32_t kType = 0x40, kName = 0x80, kEntries = 0x1000 + 8 * languages, kData = 0x10000;
  uint32_t blobs = shared ? 1 : languages;
  return WithResourceSection(kData + blobs * blob, [&](Bytes& s) {
    Put16(s, 12, 1);  // the root: one named type, "UPDATE"
    Put32(s, 16, 0x80000000u | 0x20);
    Put32(s, 20, 0x80000000u | kType);
    Put16(s, 0x20, 6);
    for (int i = 0; i < 6; ++i) Put16(s, 0x22 + 2 * i, u"UPDATE"[i]);
    Directory(s, kType, 1, kName, true, 102);
    Directory(s, kName, languages, kEntries, false);
    for (uint32_t i = 0; i < languages; ++i) {
      Put32(s, kEntries + 16 * i, 0x2000 + kData + (shared ? 0 : i * blob));
      Put32(s, kEntries + 16 * i + 4, blob);
    }
  });
}

// A tree that names one blob of data many times, or an update resource in
// two languages, is refused before any of its data is copied: the reader
// never asks for a block as large as one resource's data.
TEST(PeResources, RefusesBeforeCopyingAnyData) {
  struct Case {
    const char* what;
    Bytes image;
    uint32_t blob;
    const char* why;
  };
  const Case kCases[] = {
      {"UPDATE/102 in 2,047 languages over one blob of 1 MiB", UpdateInLanguages(2047, 1 << 20, true), 1 << 20,
       "bytes of resource data, more than the file holds"},
      {"UPDATE/102 in two languages, 256 KiB each", UpdateInLanguages(2, 256 << 10, false), 256 << 10,
       "UPDATE/102 is there in more than one language"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    std::vector<Resource> found;
    std::string error;
    bool read = true;
    EXPECT_LT(LargestBlockOf([&] { read = ReadUpdateResources(c.image, 102, 103, &found, &error); }), c.blob);
    EXPECT_FALSE(read);
    EXPECT_TRUE(found.empty());
    EXPECT_NE(error.find(c.why), std::string::npos) << error;
  }
  // Every resource, as the writer reads them: the shared blob is refused alike.
  const Bytes& shared = kCases[0].image;
  std::vector<Resource> all;
  std::string error;
  EXPECT_LT(LargestBlockOf([&] { EXPECT_FALSE(ReadResources(shared, &all, &error)); }), kCases[0].blob);
  EXPECT_NE(error.find("more than the file holds"), std::string::npos) << error;
  Bytes copy = shared;
  EXPECT_LT(LargestBlockOf([&] { EXPECT_FALSE(ReplaceResources(&copy, {Update(102, "x")}, {}, &error)); }),
            kCases[0].blob);
  EXPECT_EQ(copy, shared) << "left as it was";
}

// Which language of UPDATE/102 the updater loads depends on the system's:
// an update that carries two is refused, never checked by the first one.
TEST(PeResources, UpdateResourcesInTwoLanguagesAreRefused) {
  Bytes image = MakePeImage(MinimalPeImage());
  std::string error;
  ASSERT_TRUE(ReplaceResources(&image, {Update(102, "neutral", 0), Update(102, "japanese", 1041)}, {}, &error))
      << error;
  std::vector<Resource> found;
  EXPECT_FALSE(ReadUpdateResources(image, 102, 103, &found, &error));
  EXPECT_NE(error.find("UPDATE/102 is there in more than one language"), std::string::npos) << error;
  ASSERT_TRUE(ReplaceResources(&image, {Update(102, "one"), Update(103, "a"), Update(103, "b", 1041)}, {}, &error));
  found.clear();
  EXPECT_FALSE(ReadUpdateResources(image, 102, 103, &found, &error));
  EXPECT_NE(error.find("UPDATE/103"), std::string::npos) << error;
}

}  // namespace
