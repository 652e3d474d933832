// Deltas against the previous release: the incremental hash against the
// one-shot one, patches of the maker applied in parts of every size, damaged
// patches and wrong old files refused, and delta entries of a real archive
// written beside their file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "archive/archive_writer.h"
#include "archive/delta_entry.h"
#include "archive/delta_patch.h"
#include "archive/payload_archive.h"
#include "archive/payload_checksum.h"
#include "common/bytes.h"
#include "common/messages.h"
#include "common/update_state.h"
#include "tests/support/test_files.h"
#include "tools/mkupdate/delta_maker.h"

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes Noise(size_t size, uint32_t seed) {
  Bytes b(size);
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t& c : b) c = uint8_t((x = x * 1103515245u + 12345u) >> 16);
  return b;
}

// Program-like bytes: records that repeat with small differences, so that
// a new release differs from the old one here and there.
Bytes Program(size_t size, uint32_t seed) {
  Bytes b(size);
  uint32_t x = seed;
  for (size_t i = 0; i < size; ++i) {
    if (i % 64 == 0) x = x * 1103515245u + 12345u;
    b[i] = uint8_t((i % 64 < 8) ? (x >> (i % 8)) : (i * 7));
  }
  return b;
}

// The next release: some bytes changed, some inserted, some removed, some
// addresses shifted by a constant (as a relinked program's are).
Bytes NextRelease(const Bytes& old, uint32_t seed) {
  Bytes now;
  uint32_t x = seed;
  auto next = [&x]() { return (x = x * 1103515245u + 12345u) >> 8; };
  for (size_t i = 0; i < old.size(); ++i) {
    uint32_t r = next() % 1000;
    if (r == 0) continue;                                   // removed
    if (r == 1) now.insert(now.end(), {1, 2, 3, 4, 5, 6});  // inserted
    now.push_back(r < 40 ? uint8_t(old[i] + 0x10) : old[i]);
  }
  return now;
}

TEST(Xxh64StreamTest, EveryLengthAndEverySplitGiveTheOneShotDigest) {
  Bytes bytes = Noise(100, 7);
  for (size_t length = 0; length <= 100; ++length) {
    uint64_t expected = Xxh64(bytes.data(), length, 0);
    for (size_t split = 0; split <= length; ++split) {
      Xxh64State state;
      Xxh64Reset(&state, 0);
      Xxh64Update(&state, bytes.data(), split);
      EXPECT_EQ(Xxh64Digest(&state), Xxh64(bytes.data(), split, 0)) << "digest midway at " << split;
      Xxh64Update(&state, bytes.data() + split, length - split);
      ASSERT_EQ(Xxh64Digest(&state), expected) << length << " bytes split at " << split;
    }
    // Byte by byte, and in parts of 7 and 33, and with a seed.
    for (size_t part : {1, 7, 33}) {
      Xxh64State state;
      Xxh64Reset(&state, 99);
      for (size_t at = 0; at < length; at += part) Xxh64Update(&state, bytes.data() + at, std::min(part, length - at));
      ASSERT_EQ(Xxh64Digest(&state), Xxh64(bytes.data(), length, 99)) << length << " bytes in parts of " << part;
    }
  }
}

// The applier over files in memory: the old one read at offsets, the new
// one gathered; how often each callback was asked.
struct Files {
  const Bytes* old;
  Bytes made;
  int reads = 0;
  int outside = 0;  // reads asked outside the old file (served as zeros, as a larger file would)
  int fail_write_after = -1;
};

int ReadAt(void* context, uint64_t offset, void* buffer, uint32_t n) {
  Files* f = static_cast<Files*>(context);
  ++f->reads;
  if (offset > f->old->size() || n > f->old->size() - offset) {
    ++f->outside;
    memset(buffer, 0, n);
    return 1;
  }
  memcpy(buffer, f->old->data() + offset, n);
  return 1;
}

int Write(void* context, const void* buffer, uint32_t n) {
  Files* f = static_cast<Files*>(context);
  if (f->fail_write_after == 0) return 0;
  if (f->fail_write_after > 0) --f->fail_write_after;
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  f->made.insert(f->made.end(), p, p + n);
  return 1;
}

DeltaApplier g_applier;  // large: not on the stack

// Applies `patch` to `old` in parts of `part` bytes for a file of
// `new_size` bytes and digest `new_hash`: Feed's and Finish's verdict.
bool Apply(const Bytes& old, const Bytes& patch, uint64_t new_size, uint64_t new_hash, size_t part, Files* files) {
  files->old = &old;
  StartDeltaApplier(&g_applier, old.size(), new_size, new_hash, ReadAt, Write, files);
  for (size_t at = 0; at < patch.size(); at += part) {
    uint32_t n = uint32_t(std::min(part, patch.size() - at));
    if (!FeedDeltaApplier(&g_applier, patch.data() + at, n)) return false;
  }
  return FinishDeltaApplier(&g_applier);
}

struct Pair {
  const char* name;
  Bytes old, now;
};

std::vector<Pair> Pairs() {
  Bytes program = Program(300000, 5);
  Bytes small = Noise(5000, 9);
  Bytes edited = small;
  edited[0] ^= 1;
  edited[4999] ^= 1;
  edited.insert(edited.begin() + 2500, 100, 0xAA);
  return {
      {"both empty", {}, {}},
      {"old empty", {}, Noise(3000, 1)},
      {"new empty", Noise(3000, 2), {}},
      {"the same", small, small},
      {"edited at both ends and in the middle", small, edited},
      {"unrelated", Noise(20000, 3), Noise(30000, 4)},
      {"all one byte", Bytes(70000, 0), Bytes(90000, 0)},
      {"a program's next release", program, NextRelease(program, 11)},
      {"the halves swapped", program, [&] {
         Bytes b(program.begin() + 150000, program.end());
         b.insert(b.end(), program.begin(), program.begin() + 150000);
         return b;
       }()},
  };
}

TEST(DeltaPatchTest, PatchesOfTheMakerMakeTheNewFileInPartsOfAnySize) {
  for (const Pair& p : Pairs()) {
    Bytes patch;
    ASSERT_TRUE(MakeDeltaPatch(p.old, p.now, &patch)) << p.name;
    Bytes again;
    MakeDeltaPatch(p.old, p.now, &again);
    EXPECT_TRUE(patch == again) << p.name << ": the same files give the same patch";
    uint64_t hash = Xxh64(p.now.data(), p.now.size(), 0);
    for (size_t part : {size_t(1), size_t(7), size_t(64 * 1024)}) {
      if (part == 1 && patch.size() > 200000) continue;  // byte by byte where it is quick
      SCOPED_TRACE(std::string(p.name) + ", parts of " + std::to_string(part));
      Files files;
      ASSERT_TRUE(Apply(p.old, patch, p.now.size(), hash, part, &files));
      EXPECT_TRUE(files.made == p.now);
    }
  }
}

TEST(DeltaPatchTest, SimilarFilesGiveAPatchThatCompressesFarBelowTheFile) {
  Bytes program = Program(300000, 5);
  Bytes now = NextRelease(program, 11);
  Bytes patch;
  ASSERT_TRUE(MakeDeltaPatch(program, now, &patch));
  Bytes whole = CompressLzBlock(now.data(), now.size(), LzLevel::Best);
  Bytes delta = CompressLzBlock(patch.data(), patch.size(), LzLevel::Best);
  EXPECT_LT(delta.size() * 2, whole.size()) << delta.size() << " against " << whole.size();
}

// A patch of hand-made records, each with its data bytes (no more than
// 100000: a record that asks for more is refused before its data).
struct Record {
  uint32_t add, copy;
  int64_t seek;
};
Bytes Records(std::initializer_list<Record> records, uint8_t fill = 0) {
  Bytes b;
  for (const Record& r : records) {
    uint8_t head[16];
    WriteLe32(head, r.add);
    WriteLe32(head + 4, r.copy);
    WriteLe64(head + 8, uint64_t(r.seek));
    b.insert(b.end(), head, head + 16);
    b.insert(b.end(), size_t(std::min<uint64_t>(uint64_t(r.add) + r.copy, 100000)), fill);
  }
  return b;
}

TEST(DeltaPatchTest, DamagedPatchesAreRefused) {
  const Bytes old = Noise(1000, 21);
  const Bytes now = NextRelease(Noise(1000, 21), 5);
  Bytes good;
  ASSERT_TRUE(MakeDeltaPatch(old, now, &good));
  const uint64_t hash = Xxh64(now.data(), now.size(), 0);
  Bytes longer = good;
  longer.push_back(0);
  Bytes flipped = good;
  flipped[good.size() - 1] ^= 0x40;  // a byte of the last record's data
  struct Case {
    const char* name;
    Bytes patch;
    uint64_t new_size;
  } cases[] = {
      {"empty", {}, now.size()},
      {"cut in the middle", Bytes(good.begin(), good.begin() + good.size() / 2), now.size()},
      {"cut by one byte", Bytes(good.begin(), good.end() - 1), now.size()},
      {"a byte more", longer, now.size()},
      {"a record after the end", [&] {
         Bytes b = good;
         Bytes zero = Records({{0, 0, 0}});
         b.insert(b.end(), zero.begin(), zero.end());
         return b;
       }(), now.size()},
      {"a byte changed", flipped, now.size()},
      {"a record head cut", Bytes(good.begin(), good.begin() + 9), now.size()},
      {"adds beyond the old file", Records({{1001, 0, 0}}), 1001},
      {"adds up to the old file's end, then one more", Records({{1000, 0, 0}, {1, 0, 0}}), 1001},
      {"the largest add", Records({{0xFFFFFFFFu, 0, 0}}), 1001},
      {"seeks before the start", Records({{10, 0, -11}, {1, 0, 0}}), 11},
      {"seeks from the start backwards", Records({{0, 1, -1}, {1, 0, 0}}), 2},
      {"seeks beyond the end", Records({{0, 1, 1001}, {1, 0, 0}}), 2},
      {"seeks the farthest", Records({{0, 1, INT64_MIN}, {1, 0, 0}}), 2},
      {"seeks the farthest forwards", Records({{0, 1, INT64_MAX}, {1, 0, 0}}), 2},
      {"copies beyond the new size", Records({{0, 11, 0}}), 10},
      {"copies far beyond the new size", Records({{0, 50000, 0}}), 20000},
      {"adds and copies far beyond the new size", Records({{1000, 40000, 0}}), 20000},
      {"adds and copies beyond the new size", Records({{6, 5, 0}}), 10},
      {"the largest copy and add", Records({{0xFFFFFFFFu, 0xFFFFFFFFu, 0}}), 10},
      {"falls short of the new size", Records({{0, 9, 0}}), 10},
  };
  for (const Case& c : cases) {
    for (size_t part : {size_t(1), size_t(7), size_t(64 * 1024)}) {
      SCOPED_TRACE(std::string(c.name) + ", parts of " + std::to_string(part));
      Files files;
      EXPECT_FALSE(Apply(old, c.patch, c.new_size, c.new_size == now.size() ? hash : 0, part, &files));
      EXPECT_LE(files.made.size(), c.new_size) << "never more than the new size is written";
      EXPECT_EQ(files.outside, 0) << "never a read outside the old file";
    }
  }
  // The good patch passes the same way (the cases fail for their damage).
  Files files;
  EXPECT_TRUE(Apply(old, good, now.size(), hash, 7, &files));
  // Within bounds, the old file's last position and its end are fine.
  Bytes edge = Records({{1000, 0, -1000}, {0, 0, 1000}, {0, 3, -1000}});
  Files edge_files;
  Bytes expect(old);
  expect.insert(expect.end(), 3, 0);
  EXPECT_TRUE(Apply(old, edge, 1003, Xxh64(expect.data(), expect.size(), 0), 7, &edge_files));
}

TEST(DeltaPatchTest, TheWrongOldFileGivesAFalseFinish) {
  const Bytes old = Program(100000, 3);
  const Bytes now = NextRelease(old, 4);
  Bytes patch;
  ASSERT_TRUE(MakeDeltaPatch(old, now, &patch));
  const uint64_t hash = Xxh64(now.data(), now.size(), 0);
  Bytes one_byte = old;
  one_byte[50000] ^= 1;
  Bytes shorter(old.begin(), old.end() - 1);
  struct Case {
    const char* name;
    Bytes file;
  } cases[] = {{"one byte differs", one_byte}, {"another release", Program(100000, 8)}, {"shorter", shorter},
               {"empty", {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Files files;
    EXPECT_FALSE(Apply(c.file, patch, now.size(), hash, 64 * 1024, &files));
  }
}

TEST(DeltaPatchTest, AFailedWriteStopsTheApplier) {
  const Bytes old = Program(100000, 3);
  const Bytes now = NextRelease(old, 4);
  Bytes patch;
  ASSERT_TRUE(MakeDeltaPatch(old, now, &patch));
  for (int after : {0, 1, 3}) {
    Files files;
    files.fail_write_after = after;
    EXPECT_FALSE(Apply(old, patch, now.size(), Xxh64(now.data(), now.size(), 0), 4096, &files)) << after;
  }
}

TEST(DeltaPatchTest, TheHeadIsReadOnlyWhole) {
  DeltaHead head{123, 0x1122334455667788ull, 0x99AABBCCDDEEFF00ull, 4567};
  uint8_t bytes[kDeltaHeadSize];
  WriteDeltaHead(&head, bytes);
  DeltaHead read{};
  ASSERT_TRUE(ReadDeltaHead(bytes, kDeltaHeadSize, &read));
  EXPECT_EQ(read.OldSize, 123u);
  EXPECT_EQ(read.OldHash, head.OldHash);
  EXPECT_EQ(read.NewHash, head.NewHash);
  EXPECT_EQ(read.PatchSize, head.PatchSize);
  EXPECT_FALSE(ReadDeltaHead(bytes, kDeltaHeadSize - 1, &read)) << "short";
  for (size_t at : {size_t(0), size_t(3)}) {
    uint8_t bad[kDeltaHeadSize];
    memcpy(bad, bytes, kDeltaHeadSize);
    bad[at] ^= 1;
    EXPECT_FALSE(ReadDeltaHead(bad, kDeltaHeadSize, &read)) << "byte " << at;
  }
}

// Delta entries of a real archive, written beside their file from the
// player's old copy.
class DeltaEntryTest : public PlatformTest {
 protected:
  // The patch coded by LzBlock, or with `lzma` by whichever is smaller.
  void Build(const Bytes& old, const Bytes& now, bool lzma = false) {
    ArchiveInput in;
    in.name = "game.exe";
    in.data = now;
    in.file_time = kTime;
    in.has_delta = true;
    ASSERT_TRUE(MakeDeltaPatch(old, now, &in.delta_patch));
    in.delta_old_size = old.size();
    in.delta_old_hash = Xxh64(old.data(), old.size(), 0);
    ArchiveInput plain;
    plain.name = "readme.txt";
    plain.data = Bytes(100, 'r');
    std::string error;
    ArchiveOptions options;
    options.lzma = lzma;
    image = BuildArchive({plain, in}, options, &error);
    ASSERT_FALSE(image.empty()) << error;
    UpdateState.PayloadArchive = {image.data(), uint32_t(image.size())};
    ASSERT_NE(OpenPayloadArchive(), nullptr);
  }
  void TearDown() override {
    ClosePayloadArchive();
    PlatformTest::TearDown();
  }
  // The entry made from the old file at `old_path` into `path`.
  bool Write(const std::string& old_path, const std::string& path) {
    PlatformFile old = Os->OpenFileForRead(old_path.c_str());
    EXPECT_NE(old, nullptr);
    char temp[kPlatformTextSize];
    PlatformFile file = WriteDeltaEntryBeside(1, old, path.c_str(), &kTime, temp, nullptr, nullptr);
    Os->CloseFile(old);
    if (file == nullptr) return false;
    return Os->CommitFile(file, temp, path.c_str(), &kTime);
  }
  static std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }
  static constexpr uint64_t kTime = 132900000000000000ull;
  Bytes image;
};

TEST_F(DeltaEntryTest, TheEntryIsADeltaOfVersionThreeWithItsHashes) {
  Bytes old = Program(200000, 1), now = NextRelease(old, 2);
  Build(old, now);
  EXPECT_EQ(ReadLe32(image.data() + kHeaderFlagsAt) >> kHeaderVersionShift & 0xFF, kArchiveVersionGroupsAndDeltas);
  ArchiveEntryInfo info;
  ASSERT_TRUE(GetArchiveEntryInfo(1, &info));
  EXPECT_EQ(EntryMethod(info.Flags), kEntryMethodDelta);
  EXPECT_EQ(info.Size, now.size());
  uint64_t old_hash = 0, new_hash = 0, old_size = 0;
  ASSERT_TRUE(DeltaEntryHashes(1, &old_hash, &new_hash, &old_size));
  EXPECT_EQ(old_hash, Xxh64(old.data(), old.size(), 0));
  EXPECT_EQ(new_hash, Xxh64(now.data(), now.size(), 0));
  EXPECT_EQ(old_size, old.size());
  EXPECT_FALSE(DeltaEntryHashes(0, &old_hash, &new_hash, &old_size)) << "a whole entry";
  EXPECT_FALSE(DeltaEntryHashes(2, &old_hash, &new_hash, &old_size)) << "no entry";
  // The readers of whole entries refuse it rather than write its patch.
  EXPECT_EQ(LoadArchiveEntryAt(1, nullptr), nullptr);
  EXPECT_EQ(fake->boxes.size(), 1u);
}

TEST_F(DeltaEntryTest, WritesTheNewFileFromTheOldOneAndRefusesAWrongOne) {
  for (bool lzma : {false, true}) {
  SCOPED_TRACE(lzma ? "patch coded by LZMA" : "patch coded by LzBlock");
  Bytes old = Program(200000, 1), now = NextRelease(old, 2);
  ClosePayloadArchive();
  fake->boxes.clear();
  Build(old, now, lzma);
  ArchiveEntryInfo info;
  ASSERT_TRUE(GetArchiveEntryInfo(1, &info));
  EXPECT_EQ(DeltaCoding(info.Flags), lzma ? kDeltaCodingLzma : kDeltaCodingLzBlock);
  EXPECT_TRUE(DeltaPatchDecodes(1));
  std::string old_path = folder.Join("old.exe"), path = folder.Join("game.exe");
  WriteWholeFile(old_path, Text(old));
  WriteWholeFile(path, Text(old));
  ASSERT_TRUE(Write(old_path, path));
  EXPECT_TRUE(ReadWholeFile(path) == Text(now));
  EXPECT_EQ(LastWriteTime(path), kTime);
  EXPECT_TRUE(fake->boxes.empty());
  // Another old file: the box, the file as it was, nothing beside it.
  Bytes other = old;
  other[1234] ^= 0xFF;
  WriteWholeFile(old_path, Text(other));
  WriteWholeFile(path, "as it was");
  int entries = folder.CountEntries();
  EXPECT_FALSE(Write(old_path, path));
  EXPECT_EQ(ReadWholeFile(path), "as it was");
  EXPECT_EQ(folder.CountEntries(), entries);
  ASSERT_EQ(fake->boxes.size(), 1u);
  // An old file too short to read from: no box (not the entry's fault).
  fake->boxes.clear();
  WriteWholeFile(old_path, "short");
  EXPECT_FALSE(Write(old_path, path));
  EXPECT_EQ(folder.CountEntries(), entries);
  EXPECT_TRUE(fake->boxes.empty());
  }
}

TEST_F(DeltaEntryTest, ADamagedDeltaShowsTheBoxAndWritesNothing) {
  Bytes old = Program(200000, 1), now = NextRelease(old, 2);
  std::string old_path = folder.Join("old.exe"), path = folder.Join("game.exe");
  WriteWholeFile(old_path, Text(old));
  Build(old, now);
  ArchiveEntryInfo info;
  const uint8_t* data = ArchiveEntryData(1, &info);
  ASSERT_NE(data, nullptr);
  size_t at = size_t(data - image.data());
  struct Case {
    const char* name;
    size_t offset;  // from the entry's data
    uint8_t flip;
  } cases[] = {
      {"magic", 0, 1},
      {"new hash", 20, 1},
      {"patch size", 28, 1},
      {"the patch's first bytes", kDeltaHeadSize + 2, 0x55},
      {"the patch's middle", kDeltaHeadSize + info.StoredSize / 2, 0x55},
      {"the patch's end", info.StoredSize - 1, 0xFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClosePayloadArchive();
    Bytes saved = image;
    image[at + c.offset] ^= c.flip;
    UpdateState.PayloadArchive = {image.data(), uint32_t(image.size())};
    ASSERT_NE(OpenPayloadArchive(), nullptr);
    fake->boxes.clear();
    WriteWholeFile(path, "as it was");
    EXPECT_FALSE(Write(old_path, path));
    EXPECT_EQ(ReadWholeFile(path), "as it was");
    EXPECT_EQ(folder.CountEntries(), 2);
    EXPECT_EQ(fake->boxes.size(), 1u);
    image = saved;
  }
  // A coding of the patch or a method this program does not know, or the
  // bits of a whole entry beside the delta's: refused before anything is made.
  size_t flags_at = image.size() - kArchiveEntrySize + kEntryFlagsAt;
  ArchiveOptions plain;
  plain.compress_directory = false;
  ArchiveInput in;
  in.name = "game.exe";
  in.data = now;
  in.has_delta = true;
  MakeDeltaPatch(old, now, &in.delta_patch);
  in.delta_old_size = old.size();
  std::string error;
  Bytes flat = BuildArchive({in}, plain, &error);
  ASSERT_EQ(ReadLe32(flat.data() + flat.size() - kArchiveEntrySize + kEntryFlagsAt), 0x200u);
  (void)flags_at;
  for (uint32_t flags : {0x20200u, 0x1000200u, 0x0201u, 0x0202u, 0x0400u}) {
    SCOPED_TRACE(flags);
    ClosePayloadArchive();
    image = flat;
    WriteLe32(image.data() + image.size() - kArchiveEntrySize + kEntryFlagsAt, flags);
    UpdateState.PayloadArchive = {image.data(), uint32_t(image.size())};
    ASSERT_NE(OpenPayloadArchive(), nullptr);
    fake->boxes.clear();
    char temp[kPlatformTextSize];
    PlatformFile old_file = Os->OpenFileForRead(old_path.c_str());
    EXPECT_EQ(WriteDeltaEntryBeside(0, old_file, path.c_str(), nullptr, temp, nullptr, nullptr), nullptr);
    Os->CloseFile(old_file);
    EXPECT_EQ(folder.CountEntries(), 2);
    EXPECT_EQ(fake->boxes.size(), 1u);
  }
}

}  // namespace
