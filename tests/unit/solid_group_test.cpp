// Method 3 entries, members of solid groups: each filter's groups read
// through every reader in any order, the cursor that decodes on within a
// group and restarts it otherwise, its memory, damaged groups refused, and
// the groups the archive writer forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

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

// Bytes of a kind, `size` long: words with repeats (text), "MZ" then calls
// among instruction runs (an executable), a 16-bit stereo PCM WAV file, or
// noise that no method makes smaller.
enum Kind { kText, kExe, kWave, kNoise };
Bytes Make(Kind kind, size_t size, uint32_t seed) {
  Bytes s;
  uint32_t x = seed;
  if (kind == kWave) {
    s.assign(44, 0);
    memcpy(s.data(), "RIFF", 4);
    memcpy(s.data() + 8, "WAVEfmt ", 8);
    WriteLe32(s.data() + 16, 16);
    s[20] = 1;
    s[22] = 2;
    s[32] = 4;
    s[34] = 16;
    memcpy(s.data() + 36, "data", 4);
  }
  if (kind == kExe) s = {'M', 'Z'};
  int value = 0, slope = 37;
  while (s.size() < size) {
    switch (kind) {
      case kText: {
        size_t run = 3 + Next(&x) % 40;
        if (s.size() > 1000 && Next(&x) % 3 != 0) {
          size_t from = s.size() - 1 - Next(&x) % (s.size() - 1);
          for (size_t i = 0; i < run && from + i < s.size(); ++i) s.push_back(s[from + i]);
        } else {
          for (size_t i = 0; i < run; ++i) s.push_back(uint8_t('a' + Next(&x) % 26));
        }
        break;
      }
      case kExe:
        if (Next(&x) % 3 == 0) {
          s.push_back(0xE8);
          uint32_t offset = 0x1000 + (Next(&x) % 40) * 0x230 - uint32_t(s.size() + 4);
          for (int i = 0; i < 4; ++i) s.push_back(uint8_t(offset >> (8 * i)));
        } else {
          static const uint8_t kRuns[][4] = {
              {0x55, 0x8B, 0xEC, 0x83}, {0x8B, 0x45, 0x08, 0x50}, {0x33, 0xC0, 0xC3, 0x90}};
          const uint8_t* run = kRuns[Next(&x) % 3];
          s.insert(s.end(), run, run + 4);
        }
        break;
      case kWave:
        if (Next(&x) % 500 == 0) slope = int(Next(&x) % 200) - 100;
        value += slope + int(Next(&x) % 7) - 3;
        for (int c = 0; c < 2; ++c) {
          s.push_back(uint8_t(value + c * 5));
          s.push_back(uint8_t((value + c * 5) >> 8));
        }
        break;
      case kNoise: s.push_back(uint8_t(Next(&x))); break;
    }
  }
  s.resize(size);
  if (kind == kExe && size >= 7) s[size - 5] = 0xE8;  // a call running past the end
  return s;
}

// One record of an image made by hand: its data as stored.
struct Record {
  std::string name;
  uint32_t flags;
  uint32_t size;
  Bytes stored;
};

// An image of the records in order, its directory plain, of `version`.
Bytes MakeImage(const std::vector<Record>& records, uint32_t version) {
  Bytes image(kArchiveHeaderSize, 0);
  for (const Record& r : records) {
    image.insert(image.end(), r.stored.begin(), r.stored.end());
    image.resize(size_t(AlignedToArchive(image.size())), 0);
  }
  uint32_t directory = uint32_t(image.size());
  for (const Record& r : records) {
    Bytes e(kArchiveEntrySize, 0);
    memcpy(e.data(), r.name.data(), r.name.size());
    WriteLe32(e.data() + kEntryFlagsAt, r.flags);
    WriteLe32(e.data() + kEntryTimeAt, uint32_t(kTime));
    WriteLe32(e.data() + kEntryTimeAt + 4, uint32_t(kTime >> 32));
    WriteLe32(e.data() + kEntrySizeAt, r.size);
    WriteLe32(e.data() + kEntryStoredSizeAt, uint32_t(r.stored.size()));
    image.insert(image.end(), e.begin(), e.end());
  }
  memcpy(image.data(), "FA2", 4);
  WriteLe32(image.data() + kHeaderFlagsAt, version << kHeaderVersionShift);
  WriteLe32(image.data() + kHeaderDirectoryOffsetAt, directory);
  WriteLe32(image.data() + kHeaderEntryCountAt, uint32_t(records.size()));
  return image;
}

// The records of a group of `members`: the first holds the stream of all of
// them, the others none. `dictionary` 0: chosen by the size.
std::vector<Record> Group(const std::string& prefix, const std::vector<Bytes>& members, uint32_t filter,
                          uint32_t distance, uint32_t dictionary = 0) {
  Bytes joined;
  for (const Bytes& m : members) joined.insert(joined.end(), m.begin(), m.end());
  Bytes stream = EncodeLzmaEntry(joined.data(), joined.size(), filter, distance, joined.size() + 1000, dictionary);
  EXPECT_FALSE(stream.empty());
  std::vector<Record> records;
  for (size_t i = 0; i < members.size(); ++i)
    records.push_back({prefix + std::to_string(i), SolidEntryFlags(filter, distance), uint32_t(members[i].size()),
                       i == 0 ? stream : Bytes()});
  return records;
}

class SolidGroupTest : public PlatformTest {
 protected:
  bool OpenImage() {
    ClosePayloadArchive();
    UpdateState.PayloadArchive = {image.data(), uint32_t(image.size())};
    return OpenPayloadArchive() != nullptr;
  }
  bool Write(uint32_t index, const std::string& path) {
    char temp[kPlatformTextSize];
    PlatformFile file = WriteEntryBeside(index, path.c_str(), &kTime, temp, nullptr, nullptr);
    if (file == nullptr) return false;
    return Os->CommitFile(file, temp, path.c_str(), &kTime);
  }
  // Entry `index` by `reader` (0 whole, 1 written to a file, 2 checked):
  // whether it was read, and its bytes (none for a check).
  bool Read(int reader, uint32_t index, Bytes* bytes) {
    bytes->clear();
    if (reader == 2) return CheckArchiveEntryAt(index) == 1;
    if (reader == 0) {
      uint32_t size = 0;
      const uint8_t* data = LoadArchiveEntryAt(index, &size);
      if (data == nullptr) return false;
      bytes->assign(data, data + size);
      ReleaseArchiveEntry(data);
      return true;
    }
    std::string path = folder.Join("out.bin");
    if (!Write(index, path)) return false;
    std::string text = ReadWholeFile(path);
    bytes->assign(text.begin(), text.end());
    return true;
  }
  Bytes image;
};

const char* kReaders[] = {"whole", "written", "checked"};

// Groups of each filter, with an empty member, members across the decoder's
// parts and a dictionary smaller than the group (so it wraps), among a
// stored entry, a method 1 entry and a second group: every member read by
// every reader in directory order, backwards and shuffled, each byte for
// byte. In directory order a group is begun once (its two blocks, the
// tables and the dictionary, asked for once); backwards, once per member.
TEST_F(SolidGroupTest, EachFilterGroupReadsInAnyOrderThroughEveryReader) {
  struct Filter {
    const char* name;
    Kind kind;
    uint32_t filter, distance;
  } filters[] = {{"none", kText, kEntryFilterNone, 0},
                 {"x86", kExe, kEntryFilterX86, 0},
                 {"delta 4", kWave, kEntryFilterDelta, 4},
                 {"delta 1", kText, kEntryFilterDelta, 1}};
  for (const Filter& f : filters) {
    for (uint32_t dictionary : {0u, 4096u}) {
      SCOPED_TRACE(std::string(f.name) + ", dictionary " + std::to_string(dictionary));
      std::vector<Bytes> members = {Make(f.kind, 30000, 1), Bytes(), Make(f.kind, kLzStreamChunk + 3, 2),
                                    Make(f.kind, 5, 3), Make(f.kind, 2 * kLzStreamChunk + 11, 4)};
      // A near-copy of the first member: what a group is for.
      members.push_back(members[0]);
      members.back()[100] ^= 1;
      std::vector<Bytes> second = {Make(kText, 7000, 5), Make(kText, 9000, 6)};
      Bytes alone = Make(kText, 20000, 7);
      std::vector<Record> records = {{"stored", kEntryStored, 3, {'a', 'b', 'c'}}};
      for (Record& r : Group("m", members, f.filter, f.distance, dictionary)) records.push_back(r);
      records.push_back({"alone", LzmaEntryFlags(kEntryFilterNone, 0), uint32_t(alone.size()),
                         EncodeLzmaEntry(alone.data(), alone.size(), kEntryFilterNone, 0, alone.size())});
      for (Record& r : Group("n", second, kEntryFilterNone, 0)) records.push_back(r);
      image = MakeImage(records, kArchiveVersionGroupsAndDeltas);
      ASSERT_TRUE(OpenImage());
      std::vector<Bytes> expected = {{'a', 'b', 'c'}};
      expected.insert(expected.end(), members.begin(), members.end());
      expected.push_back(alone);
      expected.insert(expected.end(), second.begin(), second.end());
      ASSERT_EQ(ArchiveEntryCount(), expected.size());

      std::vector<uint32_t> forward, backward, shuffled = {4, 2, 9, 6, 1, 8, 3, 0, 5, 7, 6, 6};
      for (uint32_t i = 0; i < expected.size(); ++i) forward.push_back(i);
      backward.assign(forward.rbegin(), forward.rend());
      for (int reader = 0; reader < 3; ++reader) {
        for (const auto& order : {forward, backward, shuffled}) {
          SCOPED_TRACE(kReaders[reader]);
          for (uint32_t i : order) {
            SCOPED_TRACE(records[i].name);
            Bytes got;
            ASSERT_TRUE(Read(reader, i, &got));
            if (reader != 2) EXPECT_TRUE(got == expected[i]);
          }
        }
        // The group's members in order: it is begun once, whatever read before.
        int allocs = fake->allocs;
        for (uint32_t i = 1; i <= members.size(); ++i) {
          Bytes got;
          ASSERT_TRUE(Read(reader, i, &got));
        }
        EXPECT_EQ(fake->allocs - allocs, 2 + (reader == 0 ? int(members.size()) : 0));
        // Backwards: begun again for each member but the last.
        ClosePayloadArchive();
        ASSERT_TRUE(OpenImage());
        allocs = fake->allocs;
        for (uint32_t i = uint32_t(members.size()); i >= 1; --i) {
          Bytes got;
          ASSERT_TRUE(Read(reader, i, &got));
        }
        EXPECT_EQ(fake->allocs - allocs, 2 * int(members.size()) + (reader == 0 ? int(members.size()) : 0));
      }
      EXPECT_TRUE(fake->boxes.empty());
      ClosePayloadArchive();
      EXPECT_EQ(fake->allocs, fake->frees) << "every block given back at closing";
    }
  }
}

// The cursor's memory is one dictionary (the stream's, or the group's size
// when less) and the decoder's tables, whatever the group's size; it is
// given back before a method 1 entry's decoder is begun, so the two are
// never held at once, and at closing.
TEST_F(SolidGroupTest, TheCursorHoldsOneDictionaryAtMost) {
  constexpr uint32_t kDictionary = 64 << 10, kTables = 32 << 10;
  std::vector<Bytes> members = {Make(kText, 300000, 1), Make(kText, 200000, 2), Make(kText, 250000, 3)};
  Bytes alone = Make(kText, 200000, 4);
  std::vector<Record> records = Group("m", members, kEntryFilterNone, 0, kDictionary);
  records.push_back({"alone", LzmaEntryFlags(kEntryFilterNone, 0), uint32_t(alone.size()),
                     EncodeLzmaEntry(alone.data(), alone.size(), kEntryFilterNone, 0, alone.size(), kDictionary)});
  image = MakeImage(records, kArchiveVersionGroupsAndDeltas);
  ASSERT_TRUE(OpenImage());
  uint64_t base = fake->live_bytes;
  fake->peak_live_bytes = base;
  for (uint32_t i : {0u, 2u, 3u, 1u, 3u, 2u}) {
    Bytes got;
    ASSERT_TRUE(Read(2, i, &got));
    // The cursor keeps its decoder between reads of members; the method 1
    // entry's decoder is begun after the cursor's is given back, and ended.
    if (i == 3) EXPECT_EQ(fake->live_bytes, base);
    else EXPECT_GT(fake->live_bytes, base);
  }
  EXPECT_LE(fake->peak_live_bytes - base, kDictionary + kTables);
  ClosePayloadArchive();
  EXPECT_EQ(fake->live_bytes, 0u);
  EXPECT_EQ(fake->allocs, fake->frees);
  // A small group takes no more than its own size for its dictionary.
  image = MakeImage(Group("s", {Make(kText, 3000, 5), Make(kText, 2000, 6)}, kEntryFilterNone, 0, 8 << 20),
                    kArchiveVersionGroupsAndDeltas);
  ASSERT_TRUE(OpenImage());
  base = fake->live_bytes;
  fake->peak_live_bytes = base;
  Bytes got;
  ASSERT_TRUE(Read(2, 1, &got));
  EXPECT_LE(fake->peak_live_bytes - base, 5000u + kTables);
  ClosePayloadArchive();
}

// A damaged group, or a member without a sound group: the member's box,
// nothing written beside the file, through each reader, as for a damaged
// method 1 entry.
TEST_F(SolidGroupTest, DamagedGroupsAndStrayMembersAreRefusedBeforeTheFileIsPut) {
  std::vector<Bytes> members = {Make(kExe, 50000, 1), Make(kExe, 3 * kLzStreamChunk, 2), Make(kExe, 40000, 3)};
  std::vector<Record> group = Group("m", members, kEntryFilterX86, 0);
  const uint32_t kLast = 3;
  struct Case {
    const char* name;
    uint32_t target;  // the entry that must be refused (its record at index target)
    void (*apply)(std::vector<Record>& records, uint32_t* version);
  } cases[] = {
      {"stream ends before the members do", kLast, [](std::vector<Record>& r, uint32_t*) { r[3].size += 1; }},
      {"stream runs on past the members", kLast, [](std::vector<Record>& r, uint32_t*) { r[3].size -= 1; }},
      {"stream cut short", kLast, [](std::vector<Record>& r, uint32_t*) { r[1].stored.pop_back(); }},
      {"a byte after the stream", kLast, [](std::vector<Record>& r, uint32_t*) { r[1].stored.push_back(0); }},
      {"stream's middle changed", kLast,
       [](std::vector<Record>& r, uint32_t*) { r[1].stored[r[1].stored.size() / 2] ^= 0x5A; }},
      {"a member after one of other Flags", 2,
       [](std::vector<Record>& r, uint32_t*) { r[1].flags = SolidEntryFlags(kEntryFilterNone, 0); }},
      {"a member after a method 1 entry", 2,
       [](std::vector<Record>& r, uint32_t*) { r[1].flags = LzmaEntryFlags(kEntryFilterX86, 0); }},
      {"a member after a stored entry", 1, [](std::vector<Record>& r, uint32_t*) { r[1].stored.clear(); }},
      {"a member first in the directory", 0,
       [](std::vector<Record>& r, uint32_t*) {
         r.erase(r.begin(), r.begin() + 2);
         r.push_back({"tail", kEntryStored, 1, {'z'}});
       }},
      {"a group in a version 2 archive", 1, [](std::vector<Record>&, uint32_t* v) { *v = kArchiveVersionMethods; }},
      {"a group in a version 0 archive", 2, [](std::vector<Record>&, uint32_t* v) { *v = kArchiveVersionOldKinds; }},
      {"unknown filter", 1,
       [](std::vector<Record>& r, uint32_t*) {
         for (size_t i = 1; i < 4; ++i) r[i].flags = (r[i].flags & 0xFF00FFFFu) | (5u << kEntryFilterShift);
       }},
      {"old kind bits on a member", 1,
       [](std::vector<Record>& r, uint32_t*) {
         for (size_t i = 1; i < 4; ++i) r[i].flags |= kEntryCompressed;
       }},
      {"dictionary beyond 8 MiB", 2,
       [](std::vector<Record>& r, uint32_t*) { WriteLe32(r[1].stored.data() + 1, kLzmaMostDictionary + 1); }},
      {"lc + lp beyond 4", 3, [](std::vector<Record>& r, uint32_t*) { r[1].stored[0] = 4 + 9 * 1; }},
      {"sizes beyond what the stream expands to", 1,
       [](std::vector<Record>& r, uint32_t*) { r[2].size = uint32_t(r[1].stored.size()) * kLzmaMostExpansion; }},
      {"sizes beyond 4 GiB together", 1,
       [](std::vector<Record>& r, uint32_t*) {
         r[1].stored.resize(300000, 0);
         r[2].size = 0xFFFFFF00u;
         r[3].size = 0x1000u;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Record> records = {{"before", kEntryStored, 2, {'o', 'k'}}};
    records.insert(records.end(), group.begin(), group.end());
    uint32_t version = kArchiveVersionGroupsAndDeltas;
    c.apply(records, &version);
    image = MakeImage(records, version);
    ASSERT_TRUE(OpenImage());
    for (int reader = 0; reader < 3; ++reader) {
      SCOPED_TRACE(kReaders[reader]);
      fake->boxes.clear();
      std::string kept = folder.Join("kept.dat");
      WriteWholeFile(kept, "old");
      Bytes got;
      if (reader == 1) {
        EXPECT_FALSE(Write(c.target, kept));
        EXPECT_EQ(ReadWholeFile(kept), "old");
        EXPECT_EQ(folder.CountEntries(), 1) << "nothing left beside it";
      } else {
        EXPECT_FALSE(Read(reader, c.target, &got));
      }
      EXPECT_EQ(Texts(), std::vector<std::string>{kMsgBrokenEntry});
    }
    ClosePayloadArchive();
    EXPECT_EQ(fake->allocs, fake->frees) << "every block given back";
  }
}

// A sound group whose members are read again after damage was found in one
// read: the cursor starts over rather than going on from a broken state.
TEST_F(SolidGroupTest, AFailedWriteLeavesTheCursorToStartOver) {
  std::vector<Bytes> members = {Make(kText, 100000, 1), Make(kText, 100000, 2), Make(kText, 100000, 3)};
  image = MakeImage(Group("m", members, kEntryFilterNone, 0), kArchiveVersionGroupsAndDeltas);
  ASSERT_TRUE(OpenImage());
  Bytes got;
  ASSERT_TRUE(Read(0, 0, &got));
  fake->write.AfterNext(1);
  EXPECT_FALSE(Write(1, folder.Join("f.bin")));
  fake->write.Clear();
  for (uint32_t i : {1u, 2u, 0u}) {
    ASSERT_TRUE(Read(1, i, &got));
    EXPECT_TRUE(got == members[i]);
  }
  ClosePayloadArchive();
  EXPECT_EQ(fake->allocs, fake->frees);
}

// The writer's groups: near-copies of one class go together, the script and
// the agreement texts never, noise stays alone, members lie together in the
// directory by extension and name, the image is the same whatever the
// threads; without `solid` nothing changes.
TEST_F(SolidGroupTest, TheWriterGroupsWhereThatPays) {
  Bytes dll = Make(kExe, 120000, 1);
  Bytes dll2 = dll;
  for (size_t i = 500; i < dll2.size(); i += 9000) dll2[i] ^= 0x11;
  Bytes text = Make(kText, 40000, 2), noise = Make(kNoise, 30000, 3), noise2 = Make(kNoise, 30000, 4);
  std::vector<ArchiveInput> entries = {{"A\\D3D_33.DLL", dll, kTime, true},  {"A\\README.TXT", text, kTime, true},
                                       {"B\\D3D_37.DLL", dll2, kTime, true}, {"B\\README.TXT", text, kTime, true},
                                       {"LICENSE.TXT", text, kTime, true},   {"UPDATE.INI", text, kTime, true}};
  ArchiveOptions options;
  options.lzma = true;
  options.solid = true;
  options.compress_directory = false;
  options.whole_entries = {"license.txt"};
  std::vector<SolidGroupReport> groups;
  options.groups = &groups;
  std::string error;
  image = BuildArchive(entries, options, &error);
  ASSERT_FALSE(image.empty()) << error;
  EXPECT_EQ(image[kHeaderFlagsAt + 1], kArchiveVersionGroupsAndDeltas);
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].members, (std::vector<size_t>{0, 2}));
  EXPECT_EQ(groups[0].flags, SolidEntryFlags(kEntryFilterX86, 0));
  EXPECT_EQ(groups[1].members, (std::vector<size_t>{1, 3}));
  EXPECT_EQ(groups[1].flags, SolidEntryFlags(kEntryFilterNone, 0));
  for (const SolidGroupReport& g : groups) EXPECT_LE(AlignedToArchive(g.stored) + 128, g.separately);
  ASSERT_TRUE(OpenImage());
  const char* order[] = {"A\\D3D_33.DLL", "B\\D3D_37.DLL", "A\\README.TXT",
                         "B\\README.TXT", "LICENSE.TXT",   "UPDATE.INI"};
  for (uint32_t i = 0; i < 6; ++i) {
    ArchiveEntryInfo info{};
    ASSERT_TRUE(GetArchiveEntryInfo(i, &info));
    EXPECT_STREQ(info.Name, order[i]);
    EXPECT_EQ(EntryMethod(info.Flags) == kEntryMethodSolid, i < 4) << order[i];
    EXPECT_EQ(info.StoredSize == 0, i == 1 || i == 3) << order[i];
    uint32_t index = 0;
    ASSERT_TRUE(FindArchiveEntry(order[i], &index, &info));
    uint32_t size = 0;
    const uint8_t* bytes = LoadArchiveEntry(order[i], &size);
    ASSERT_NE(bytes, nullptr);
    const ArchiveInput* in = nullptr;
    for (const ArchiveInput& e : entries)
      if (e.name == order[i]) in = &e;
    EXPECT_TRUE(Bytes(bytes, bytes + size) == in->data);
    ReleaseArchiveEntry(bytes);
  }
  ClosePayloadArchive();
  for (unsigned threads : {1u, 2u, 3u}) {
    options.threads = threads;
    EXPECT_TRUE(BuildArchive(entries, options, &error) == image) << threads << " threads";
  }
  // Without solid: what the entries each alone make, in the order given.
  options.solid = false;
  options.groups = nullptr;
  Bytes each = BuildArchive(entries, options, &error);
  EXPECT_EQ(each[kHeaderFlagsAt + 1], kArchiveVersionMethods);
  EXPECT_LT(image.size(), each.size());
  // Nothing that pays: no group, and the image is that of the entries alone.
  options.solid = true;
  options.groups = &groups;
  std::vector<ArchiveInput> noisy = {
      {"N1.BIN", noise, kTime, true}, {"N2.BIN", noise2, kTime, true}, {"T.TXT", text, kTime, true}};
  Bytes grouped = BuildArchive(noisy, options, &error);
  EXPECT_TRUE(groups.empty());
  options.solid = false;
  EXPECT_TRUE(grouped == BuildArchive(noisy, options, &error));
}

}  // namespace
