// Method 1 entries (LZMA after a filter): each filter through the streaming
// decoder across its parts and the dictionary's wrap, the whole decoder, the
// archive's choice and format version, and damaged or unknown entries and
// versions refused before anything is written.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "archive/archive_writer.h"
#include "archive/lzma_encode.h"
#include "archive/lzma_entry.h"
#include "archive/payload_archive.h"
#include "common/bytes.h"
#include "common/messages.h"
#include "common/update_state.h"
#include "tests/support/fake_platform.h"
#include "tests/support/test_files.h"

namespace {

typedef std::vector<uint8_t> Bytes;
constexpr uint64_t kTime = 132900000000000000ull;

uint32_t Next(uint32_t* x) { return (*x = *x * 1103515245u + 12345u) >> 8; }

// Text-like bytes: words and repeats from anywhere behind.
Bytes Text(size_t size, uint32_t seed) {
  Bytes s;
  uint32_t x = seed;
  while (s.size() < size) {
    size_t run = 3 + Next(&x) % 40;
    if (s.size() > 1000 && Next(&x) % 3 != 0) {
      size_t from = s.size() - 1 - Next(&x) % (s.size() - 1 < 200000 ? s.size() - 1 : 200000);
      for (size_t i = 0; i < run && from + i < s.size(); ++i) s.push_back(s[from + i]);
    } else {
      for (size_t i = 0; i < run; ++i) s.push_back(uint8_t('a' + Next(&x) % 26));
    }
  }
  s.resize(size);
  return s;
}

// Code-like bytes after "MZ": calls and jumps (E8/E9 and a 32-bit offset)
// among repeated instruction runs, some of them at the very end.
Bytes Executable(size_t size, uint32_t seed) {
  Bytes s = {'M', 'Z'};
  uint32_t x = seed;
  while (s.size() < size) {
    if (Next(&x) % 3 == 0) {
      // A call to one of a few functions: the same absolute target, another
      // relative offset each time (what the x86 filter turns back).
      s.push_back(Next(&x) % 2 ? 0xE8 : 0xE9);
      uint32_t target = 0x1000 + (Next(&x) % 40) * 0x230;
      uint32_t offset = target - uint32_t(s.size() + 4);
      for (int i = 0; i < 4; ++i) s.push_back(uint8_t(offset >> (8 * i)));
    } else {
      static const uint8_t kRuns[][4] = {{0x55, 0x8B, 0xEC, 0x83}, {0x8B, 0x45, 0x08, 0x50}, {0x33, 0xC0, 0xC3, 0x90}};
      const uint8_t* run = kRuns[Next(&x) % 3];
      s.insert(s.end(), run, run + 4);
    }
  }
  s.resize(size);
  if (size >= 7) s[size - 5] = 0xE8;  // a call whose offset would run past the end
  return s;
}

// A PCM WAV file: a 44-byte header, then `channels` of 16-bit samples of a
// slow wave with a little noise.
Bytes Wave(size_t size, unsigned channels, uint32_t seed) {
  Bytes s(44, 0);
  memcpy(s.data(), "RIFF", 4);
  WriteLe32(s.data() + 4, uint32_t(size - 8));
  memcpy(s.data() + 8, "WAVEfmt ", 8);
  WriteLe32(s.data() + 16, 16);
  s[20] = 1;  // PCM
  s[22] = uint8_t(channels);
  WriteLe32(s.data() + 24, 22050);
  WriteLe32(s.data() + 28, 22050 * 2 * channels);
  s[32] = uint8_t(2 * channels);
  s[34] = 16;
  memcpy(s.data() + 36, "data", 4);
  WriteLe32(s.data() + 40, uint32_t(size - 44));
  uint32_t x = seed;
  int value = 0, slope = 37;
  while (s.size() < size) {
    if (Next(&x) % 500 == 0) slope = int(Next(&x) % 200) - 100;
    value += slope + int(Next(&x) % 7) - 3;
    for (unsigned c = 0; c < channels; ++c) {
      s.push_back(uint8_t(value + int(c) * 5));
      s.push_back(uint8_t((value + int(c) * 5) >> 8));
    }
  }
  s.resize(size);
  return s;
}

void Put(Bytes& b, size_t at, uint32_t v) { WriteLe32(b.data() + at, v); }

struct Parts {
  Bytes bytes;
  std::vector<uint32_t> sizes;
};
int Collect(void* context, const uint8_t* data, uint32_t size) {
  Parts* parts = static_cast<Parts*>(context);
  parts->bytes.insert(parts->bytes.end(), data, data + size);
  parts->sizes.push_back(size);
  return 1;
}

class LzmaEntryTest : public PlatformTest {
 protected:
  // Builds an image (directory plain, so its records can be changed) and
  // opens it as the running program would.
  bool Open(const std::vector<ArchiveInput>& entries, bool lzma = true) {
    ArchiveOptions options;
    options.lzma = lzma;
    options.compress_directory = false;
    std::string error;
    image = BuildArchive(entries, options, &error);
    EXPECT_FALSE(image.empty()) << error;
    return OpenImage();
  }
  bool OpenImage() {
    ClosePayloadArchive();
    UpdateState.PayloadArchive = {image.data(), uint32_t(image.size())};
    return OpenPayloadArchive() != nullptr;
  }
  uint32_t Flags(uint32_t index) {
    ArchiveEntryInfo info{};
    EXPECT_TRUE(GetArchiveEntryInfo(index, &info));
    return info.Flags;
  }
  // Entry `index` written beside `path` and put in place.
  bool Write(uint32_t index, const std::string& path) {
    char temp[kPlatformTextSize];
    PlatformFile file = WriteEntryBeside(index, path.c_str(), &kTime, temp, nullptr, nullptr);
    if (file == nullptr) return false;
    return Os->CommitFile(file, temp, path.c_str(), &kTime);
  }
  Bytes image;
};

// Every filter through both decoders, at sizes around the streaming part
// (64 KiB) and the x86 filter's 4 bytes held back, and with a dictionary
// smaller than the file, so the decoder's buffer wraps.
TEST_F(LzmaEntryTest, EachFilterRoundTripsAcrossPartsAndTheDictionarysWrap) {
  struct Filter {
    const char* name;
    uint32_t filter, distance;
    Bytes (*make)(size_t size, uint32_t seed);
  } filters[] = {
      {"none", kEntryFilterNone, 0, Text},
      {"x86", kEntryFilterX86, 0, Executable},
      {"delta 2", kEntryFilterDelta, 2, [](size_t n, uint32_t seed) { return Wave(n, 1, seed); }},
      {"delta 4", kEntryFilterDelta, 4, [](size_t n, uint32_t seed) { return Wave(n, 2, seed); }},
      {"delta 255", kEntryFilterDelta, 255, Text},
  };
  const size_t sizes[] = {0, 1, 4, 5, 9, 4096, kLzStreamChunk - 1, kLzStreamChunk, kLzStreamChunk + 1,
                          kLzStreamChunk + 3, kLzStreamChunk + 4, kLzStreamChunk + 5, 3 * kLzStreamChunk + 17};
  for (const Filter& f : filters) {
    for (size_t size : sizes) {
      for (uint32_t dictionary : {0u, 4096u}) {
        SCOPED_TRACE(std::string(f.name) + ", " + std::to_string(size) + " bytes, dictionary " +
                     std::to_string(dictionary));
        Bytes data = f.make(size, uint32_t(size) + 1);
        data.resize(size);
        Bytes stream = EncodeLzmaEntry(data.data(), size, f.filter, f.distance, size + 1000, dictionary);
        ASSERT_FALSE(stream.empty());
        uint32_t flags = LzmaEntryFlags(f.filter, f.distance);
        Parts parts;
        ASSERT_EQ(DecodeLzmaEntryStream(flags, uint32_t(size), stream.data(), uint32_t(stream.size()), Collect, &parts),
                  1);
        EXPECT_TRUE(parts.bytes == data);
        for (uint32_t part : parts.sizes) {
          EXPECT_GT(part, 0u);
          EXPECT_LE(part, kLzStreamChunk + 4);
        }
        Bytes whole(size + 1, 0xCC);
        ASSERT_TRUE(DecodeLzmaEntry(flags, whole.data(), uint32_t(size), stream.data(), uint32_t(stream.size())));
        EXPECT_TRUE(Bytes(whole.begin(), whole.begin() + ptrdiff_t(size)) == data);
        EXPECT_EQ(whole[size], 0xCC) << "nothing written past Size";
      }
    }
  }
  EXPECT_EQ(fake->allocs, fake->frees) << "every block given back";
}

// The filter is undone with its own, not another's: the same stream read
// with the wrong filter gives other bytes (the filter is really applied).
TEST_F(LzmaEntryTest, FiltersChangeTheStreamTheyAreUndoneFrom) {
  Bytes exe = Executable(50000, 9), wave = Wave(50000, 2, 9);
  Bytes plain_exe = EncodeLzmaEntry(exe.data(), exe.size(), kEntryFilterNone, 0, exe.size());
  Bytes x86 = EncodeLzmaEntry(exe.data(), exe.size(), kEntryFilterX86, 0, exe.size());
  Bytes delta = EncodeLzmaEntry(wave.data(), wave.size(), kEntryFilterDelta, 4, wave.size());
  ASSERT_FALSE(plain_exe.empty() || x86.empty() || delta.empty());
  EXPECT_NE(plain_exe, x86);
  Parts parts;
  ASSERT_EQ(DecodeLzmaEntryStream(LzmaEntryFlags(kEntryFilterNone, 0), uint32_t(exe.size()), x86.data(),
                                  uint32_t(x86.size()), Collect, &parts),
            1);
  EXPECT_FALSE(parts.bytes == exe);
  parts = {};
  ASSERT_EQ(DecodeLzmaEntryStream(LzmaEntryFlags(kEntryFilterDelta, 2), uint32_t(wave.size()), delta.data(),
                                  uint32_t(delta.size()), Collect, &parts),
            1);
  EXPECT_FALSE(parts.bytes == wave);
}

// What build chooses for each kind of file, the format version it writes,
// and the entries read back through every reader of the updater.
TEST_F(LzmaEntryTest, ArchiveChoosesPerEntryAndReadsBackThroughEveryReader) {
  Bytes exe = Executable(200000, 1), wave = Wave(150000, 2, 2), text = Text(120000, 3);
  Bytes noise(5000);
  uint32_t x = 7;
  for (uint8_t& b : noise) b = uint8_t(Next(&x));
  std::vector<ArchiveInput> entries = {{"GAME.EXE", exe, kTime, true},
                                       {"VOICE.WAV", wave, kTime, true},
                                       {"UPDATE.INI", text, kTime, true},
                                       {"NOISE.BIN", noise, kTime, true}};
  ASSERT_TRUE(Open(entries));
  EXPECT_EQ(image[kHeaderFlagsAt + 1], kArchiveVersionMethods);
  EXPECT_EQ(Flags(0), LzmaEntryFlags(kEntryFilterX86, 0));
  EXPECT_EQ(Flags(1), LzmaEntryFlags(kEntryFilterDelta, 4));
  EXPECT_EQ(Flags(2), LzmaEntryFlags(kEntryFilterNone, 0));
  EXPECT_EQ(Flags(3), uint32_t(kEntryStored));
  for (uint32_t i = 0; i < entries.size(); ++i) {
    SCOPED_TRACE(entries[i].name);
    uint32_t size = 0;
    const uint8_t* bytes = LoadArchiveEntryAt(i, &size);
    ASSERT_NE(bytes, nullptr);
    EXPECT_TRUE(Bytes(bytes, bytes + size) == entries[i].data);
    ReleaseArchiveEntry(bytes);
    EXPECT_EQ(CheckArchiveEntryAt(i), 1);
    std::string path = folder.Join("out.bin");
    ASSERT_TRUE(Write(i, path));
    EXPECT_TRUE(ReadWholeFile(path) == std::string(entries[i].data.begin(), entries[i].data.end()));
  }
  EXPECT_TRUE(fake->boxes.empty());
  // The same entries by LzBlock alone: version 0, no method anywhere.
  ASSERT_TRUE(Open(entries, false));
  EXPECT_EQ(image[kHeaderFlagsAt + 1], kArchiveVersionOldKinds);
  for (uint32_t i = 0; i < entries.size(); ++i) EXPECT_EQ(EntryMethod(Flags(i)), uint32_t(kEntryMethodOld));
  // LZMA allowed but nowhere smaller: still version 0.
  ASSERT_TRUE(Open({{"NOISE.BIN", noise, kTime, true}}));
  EXPECT_EQ(image[kHeaderFlagsAt + 1], kArchiveVersionOldKinds);
}

// Only versions 0 and 2 are read; any other is refused at opening, before
// any entry is looked at.
TEST_F(LzmaEntryTest, UnknownFormatVersionsAreRefusedAtOpening) {
  ASSERT_TRUE(Open({{"UPDATE.INI", Text(3000, 5), kTime, true}}));
  Bytes built = image;
  for (uint32_t version : {0u, 1u, 2u, 3u, 4u, 16u, 255u}) {
    SCOPED_TRACE(version);
    image = built;
    image[kHeaderFlagsAt + 1] = uint8_t(version);
    EXPECT_EQ(OpenImage(), version == 0 || version == 2 || version == 3);
    ClosePayloadArchive();
  }
  EXPECT_TRUE(fake->boxes.empty());
}

// A damaged or unknown method 1 entry: its box, nothing written beside the
// file, through each reader; the same bytes whether it is found by its
// record (before any part is written) or by its stream.
TEST_F(LzmaEntryTest, DamagedAndUnknownEntriesAreRefusedBeforeTheFileIsPut) {
  Bytes data = Text(3 * kLzStreamChunk + 100, 11);
  struct Case {
    const char* name;
    void (*apply)(Bytes& image, size_t record, size_t data_at, uint32_t size, uint32_t stored);
  } cases[] = {
      {"stream ends before Size",
       [](Bytes& b, size_t e, size_t, uint32_t size, uint32_t) { Put(b, e + kEntrySizeAt, size + 1); }},
      {"stream runs on past Size",
       [](Bytes& b, size_t e, size_t, uint32_t size, uint32_t) { Put(b, e + kEntrySizeAt, size - 1); }},
      {"stream cut short",
       [](Bytes& b, size_t e, size_t, uint32_t, uint32_t stored) { Put(b, e + kEntryStoredSizeAt, stored - 1); }},
      {"a byte after the stream",
       [](Bytes& b, size_t e, size_t, uint32_t, uint32_t stored) { Put(b, e + kEntryStoredSizeAt, stored + 1); }},
      {"only the properties",
       [](Bytes& b, size_t e, size_t, uint32_t, uint32_t) { Put(b, e + kEntryStoredSizeAt, kLzmaPropsSize); }},
      {"shorter than the properties",
       [](Bytes& b, size_t e, size_t, uint32_t, uint32_t) { Put(b, e + kEntryStoredSizeAt, 4); }},
      {"properties byte out of range", [](Bytes& b, size_t, size_t d, uint32_t, uint32_t) { b[d] = 225; }},
      {"lc + lp beyond 4", [](Bytes& b, size_t, size_t d, uint32_t, uint32_t) { b[d] = 4 + 9 * 1; }},
      {"dictionary beyond 8 MiB",
       [](Bytes& b, size_t, size_t d, uint32_t, uint32_t) { Put(b, d + 1, kLzmaMostDictionary + 1); }},
      {"Size beyond what any stream expands to",
       [](Bytes& b, size_t e, size_t, uint32_t, uint32_t stored) {
         Put(b, e + kEntrySizeAt, uint32_t(uint64_t(stored) * kLzmaMostExpansion + 1 > 0xFFFFFFFFu
                                               ? 0xFFFFFFFFu
                                               : stored * kLzmaMostExpansion + 1));
       }},
      {"stream's middle changed", [](Bytes& b, size_t, size_t d, uint32_t, uint32_t stored) { b[d + stored / 2] ^= 0x5A; }},
      {"unknown method 3", [](Bytes& b, size_t e, size_t, uint32_t, uint32_t) { b[e + kEntryFlagsAt + 1] = 3; }},
      {"method 2 (delta), not read here",
       [](Bytes& b, size_t e, size_t, uint32_t, uint32_t) { b[e + kEntryFlagsAt + 1] = 2; }},
      {"unknown filter 3", [](Bytes& b, size_t e, size_t, uint32_t, uint32_t) { b[e + kEntryFlagsAt + 2] = 3; }},
      {"delta at distance 0", [](Bytes& b, size_t e, size_t, uint32_t, uint32_t) { b[e + kEntryFlagsAt + 2] = 2; }},
      {"x86 with a distance", [](Bytes& b, size_t e, size_t, uint32_t, uint32_t) {
         b[e + kEntryFlagsAt + 2] = 1;
         b[e + kEntryFlagsAt + 3] = 4;
       }},
      {"method 1 with the old kind bits", [](Bytes& b, size_t e, size_t, uint32_t, uint32_t) { b[e + kEntryFlagsAt] |= 2; }},
      {"method 1 in a version 0 archive", [](Bytes& b, size_t, size_t, uint32_t, uint32_t) { b[kHeaderFlagsAt + 1] = 0; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(Open({{"f.bin", data, kTime, true}}));
    ASSERT_EQ(EntryMethod(Flags(0)), uint32_t(kEntryMethodLzma));
    size_t record = image.size() - kArchiveEntrySize;
    c.apply(image, record, kArchiveHeaderSize, uint32_t(data.size()), ReadLe32(image.data() + record + kEntryStoredSizeAt));
    if (!OpenImage()) {
      // A stream whose end meets the directory cannot gain a byte inside the image.
      EXPECT_STREQ(c.name, "a byte after the stream");
      continue;
    }
    fake->boxes.clear();
    std::string kept = folder.Join("kept.dat");
    WriteWholeFile(kept, "old");
    EXPECT_FALSE(Write(0, kept));
    EXPECT_EQ(ReadWholeFile(kept), "old");
    EXPECT_EQ(folder.CountEntries(), 1) << "nothing left beside it";
    uint32_t size = 0;
    EXPECT_EQ(LoadArchiveEntryAt(0, &size), nullptr);
    EXPECT_EQ(CheckArchiveEntryAt(0), 0);
    EXPECT_EQ(Texts(), (std::vector<std::string>{kMsgBrokenEntry, kMsgBrokenEntry, kMsgBrokenEntry}));
  }
  ClosePayloadArchive();
  EXPECT_EQ(fake->allocs, fake->frees) << "every block given back";
}

// Any single byte of a stream changed, or the stream cut anywhere: never a
// crash or a read outside it; what is accepted is exactly Size bytes.
TEST_F(LzmaEntryTest, EveryChangedByteOrCutIsSurvived) {
  Bytes exe = Executable(8000, 4);
  Bytes stream = EncodeLzmaEntry(exe.data(), exe.size(), kEntryFilterX86, 0, exe.size());
  ASSERT_FALSE(stream.empty());
  uint32_t flags = LzmaEntryFlags(kEntryFilterX86, 0);
  int refused = 0;
  for (size_t at = 0; at < stream.size(); ++at) {
    for (uint8_t change : {uint8_t(0x01), uint8_t(0x80), uint8_t(0xFF)}) {
      Bytes damaged = stream;
      damaged[at] ^= change;
      // A copy of exactly the stream's size, so a read past it is found by the sanitizer build.
      std::unique_ptr<uint8_t[]> copy(new uint8_t[damaged.size()]);
      memcpy(copy.get(), damaged.data(), damaged.size());
      Parts parts;
      int result = DecodeLzmaEntryStream(flags, uint32_t(exe.size()), copy.get(), uint32_t(damaged.size()), Collect, &parts);
      EXPECT_NE(result, kLzmaNoMemory);
      if (result == 1)
        EXPECT_EQ(parts.bytes.size(), exe.size());
      else
        ++refused;
    }
  }
  EXPECT_GT(refused, int(stream.size()));
  for (size_t cut = 0; cut < stream.size(); ++cut) {
    Parts parts;
    EXPECT_EQ(DecodeLzmaEntryStream(flags, uint32_t(exe.size()), stream.data(), uint32_t(cut), Collect, &parts), 0);
    Bytes whole(exe.size());
    EXPECT_FALSE(DecodeLzmaEntry(flags, whole.data(), uint32_t(exe.size()), stream.data(), uint32_t(cut)));
  }
  EXPECT_EQ(fake->allocs, fake->frees);
}

// Without memory for the decoder's tables or its dictionary the entry is
// not written, nothing is left beside the file, and the box says so (not
// that the entry is broken).
TEST_F(LzmaEntryTest, NoMemoryForTheDecoderWritesNothing) {
  Bytes data = Text(100000, 12);
  ASSERT_TRUE(Open({{"f.bin", data, kTime, true}}));
  ASSERT_EQ(EntryMethod(Flags(0)), uint32_t(kEntryMethodLzma));
  for (int after : {0, 1}) {
    SCOPED_TRACE(after);
    fake->boxes.clear();
    fake->alloc.AfterNext(after);
    EXPECT_FALSE(Write(0, folder.Join("f.bin")));
    EXPECT_EQ(CheckArchiveEntryAt(0), 0);
    fake->alloc.Clear();
    EXPECT_EQ(folder.CountEntries(), 0);
    EXPECT_EQ(Texts(), (std::vector<std::string>{kMsgNoMemory, kMsgNoMemory}));
  }
  ClosePayloadArchive();
  EXPECT_EQ(fake->allocs, fake->frees);
}

}  // namespace
