// The payload archive read in place: layout rules, the shared lookup, both
// readers with their messages, damaged images and entries, and the writing
// rules of ExtractArchiveEntry on real files.
#include <gtest/gtest.h>

#include <cstring>

#include "archive/archive_writer.h"
#include "archive/lz_block.h"
#include "archive/payload_archive.h"
#include "flow/line_decision.h"
#include "common/bytes.h"
#include "common/messages.h"
#include "common/text.h"
#include "common/update_state.h"
#include "tests/support/test_files.h"

namespace {

typedef std::vector<uint8_t> Bytes;
constexpr uint64_t kEntryTime = 132900000000000000ull;

ArchiveInput Entry(const std::string& name, const std::string& data, bool compress = true, uint64_t time = kEntryTime) {
  return {name, Bytes(data.begin(), data.end()), time, compress};
}

void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

class ArchiveTest : public PlatformTest {
 protected:
  // Builds an image and opens it as the running program would.
  bool Open(const std::vector<ArchiveInput>& entries, ArchiveOptions options = {}) {
    std::string error;
    image = BuildArchive(entries, options, &error);
    EXPECT_FALSE(image.empty()) << error;
    return OpenImage();
  }
  bool OpenImage() {
    UpdateState.PayloadArchive = {image.data(), uint32_t(image.size())};
    return OpenPayloadArchive() != nullptr;
  }
  std::string Load(const char* name) {
    uint32_t size = 0xDEAD;
    const uint8_t* bytes = LoadArchiveEntry(name, &size);
    if (bytes == nullptr) return "<none>";
    std::string s(reinterpret_cast<const char*>(bytes), size);
    ReleaseArchiveEntry(bytes);
    return s;
  }
  Bytes image;
};

TEST_F(ArchiveTest, EntriesLieAtSixteenByteStepsInDirectoryOrder) {
  ArchiveOptions stored;
  stored.compress_directory = false;
  ASSERT_TRUE(Open(
      {Entry("empty", "", false), Entry("seventeen", std::string(17, 's'), false), Entry("next", "N", false)}, stored));
  // 16 header + 0 + 32 (17 rounded up) = 48: the third entry's data.
  EXPECT_EQ(image[48], 'N');
  EXPECT_EQ(image[16], 's');
  uint32_t directory_offset = image[8] | image[9] << 8;
  EXPECT_EQ(directory_offset, 64u);
  EXPECT_EQ(image.size(), 64u + 3 * kArchiveEntrySize) << "the plain directory is last";
  EXPECT_EQ(Load("empty"), "");
  EXPECT_EQ(Load("seventeen"), std::string(17, 's'));
  EXPECT_EQ(Load("next"), "N");
  EXPECT_TRUE(fake->boxes.empty());
}

TEST_F(ArchiveTest, CompressedAndStoredEntriesUnderBothDirectoryForms) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += "line " + std::to_string(i % 17) + "\r\n";
  for (bool compress_directory : {false, true}) {
    SCOPED_TRACE(compress_directory);
    ArchiveOptions options;
    options.compress_directory = compress_directory;
    ASSERT_TRUE(Open({Entry("UPDATE.INI", text), Entry("raw.bin", "\x01\x02\x03", false)}, options));
    EXPECT_EQ(image[4], compress_directory ? 1 : 0);
    EXPECT_EQ(Load("UPDATE.INI"), text);
    EXPECT_EQ(Load("raw.bin"), "\x01\x02\x03");
    ClosePayloadArchive();
  }
}

TEST_F(ArchiveTest, ThreadsChangeNeitherTheImageNorTheProgressTotals) {
  // Entries of very different sizes, so the threads finish out of order.
  std::vector<ArchiveInput> entries;
  uint32_t seed = 7;
  for (int n = 0; n < 9; ++n) {
    std::string data;
    size_t size = n % 3 == 0 ? 300000 : n * 97;
    for (size_t i = 0; i < size; ++i) data += char("abcab"[(seed = seed * 1103515245 + 12345) >> 29 & 3]);
    entries.push_back(Entry("entry" + std::to_string(n), data, n != 4));
  }
  uint64_t total = 0;
  for (auto& e : entries) total += e.data.size();
  Bytes first;
  for (unsigned threads : {1u, 3u, 16u}) {
    SCOPED_TRACE(threads);
    ArchiveOptions options;
    options.threads = threads;
    options.large_entry = 250000;  // with 16 threads the three largest are done last, on all of them
    std::vector<ArchiveProgress> seen;
    options.progress = [&](const ArchiveProgress& p) { seen.push_back(p); };
    std::string error;
    Bytes built = BuildArchive(entries, options, &error);
    if (first.empty()) first = built;
    EXPECT_EQ(built, first);
    ASSERT_FALSE(seen.empty());
    for (size_t i = 1; i < seen.size(); ++i) {
      EXPECT_GE(seen[i].done, seen[i - 1].done);
      EXPECT_GE(seen[i].started, seen[i - 1].started);
    }
    EXPECT_EQ(seen.back().started, entries.size());
    EXPECT_EQ(seen.back().done, total);
    EXPECT_EQ(seen.back().total, total);
    EXPECT_GT(seen.size(), 2 * entries.size()) << "large entries report while they are encoded";
  }
  image = first;
  ASSERT_TRUE(OpenImage());
  EXPECT_EQ(Load("entry3").size(), 300000u);
  EXPECT_EQ(Load("entry4").size(), 4 * 97u);
}

TEST_F(ArchiveTest, StoredEntriesAreReadInPlace) {
  ASSERT_TRUE(Open({Entry("a.bin", "stored bytes", false)}));
  uint32_t size = 0;
  const uint8_t* bytes = LoadArchiveEntry("a.bin", &size);
  EXPECT_EQ(bytes, image.data() + 16);
  EXPECT_FALSE(IsDecodedEntry(bytes));
  EXPECT_EQ(size, 12u);
}

TEST_F(ArchiveTest, LookupIgnoresAsciiCaseAndTheFirstMatchWins) {
  ASSERT_TRUE(Open({Entry("UPDATE.INI", "first"), Entry("update.ini", "second"),
                    Entry("\x83\x61.dat", "katakana small"), Entry("\x83\x41.dat", "katakana")}));
  EXPECT_EQ(Load("update.ini"), "first");
  EXPECT_EQ(Load("Update.Ini"), "first");
  EXPECT_EQ(Load("\x83\x41.DAT"), "katakana") << "trail byte 0x41 is not the letter A";
  EXPECT_EQ(Load("\x83\x61.dat"), "katakana small");
  EXPECT_TRUE(fake->boxes.empty());
}

TEST_F(ArchiveTest, MissingEntryShowsItsMessageInTheUpdaterBox) {
  ASSERT_TRUE(Open({}));
  EXPECT_EQ(Load("UPDATE.INI"), "<none>");
  EXPECT_EQ(ExtractArchiveEntry("UPDATE.INI", folder.Join("x").c_str(), 0), 0);
  ASSERT_EQ(fake->boxes.size(), 2u);
  for (const RecordedBox& box : fake->boxes) {
    EXPECT_EQ(box.text, kMsgNoEntry);
    EXPECT_EQ(box.caption, "UPDATE");
    EXPECT_EQ(box.kind, kBoxOk | kBoxIconError);
    EXPECT_EQ(box.owner, nullptr);
  }
}

// The read into memory needs a block of Size bytes; the write to a file
// streams the entry and needs none.
TEST_F(ArchiveTest, NoMemoryForADecodedCopyFailsOnlyTheReadIntoMemory) {
  ASSERT_TRUE(Open({Entry("big.txt", std::string(5000, 'a'))}));
  fake->alloc.FromNow();
  EXPECT_EQ(Load("big.txt"), "<none>");
  EXPECT_EQ(ExtractArchiveEntry("big.txt", folder.Join("big.txt").c_str(), 0), 1);
  EXPECT_EQ(Texts(), (std::vector<std::string>{kMsgNoMemory}));
  EXPECT_EQ(ReadWholeFile(folder.Join("big.txt")), std::string(5000, 'a'));
}

TEST_F(ArchiveTest, OpeningFailsWithoutMemory) {
  std::string error;
  image = BuildArchive({Entry("a", "b")}, {}, &error);
  UpdateState.PayloadArchive = {image.data(), uint32_t(image.size())};
  fake->alloc.FromNow();
  EXPECT_EQ(OpenPayloadArchive(), nullptr);
  EXPECT_TRUE(fake->boxes.empty()) << "the start-up reports it";
}

TEST_F(ArchiveTest, DamagedImagesAreRefusedAtOpening) {
  std::string error;
  ArchiveOptions plain;
  plain.compress_directory = false;
  const Bytes good_plain = BuildArchive({Entry("a.bin", "aaaa", false), Entry("b.bin", "bbbb", false)}, plain, &error);
  const Bytes good_packed = BuildArchive({Entry("a.bin", "aaaa", false)}, {}, &error);
  struct Damage {
    const char* name;
    const Bytes* base;
    void (*apply)(Bytes&);
  } cases[] = {
      {"shorter than a header", &good_plain, [](Bytes& b) { b.resize(15); }},
      {"directory beyond the end", &good_plain, [](Bytes& b) { Put32(b, 8, uint32_t(b.size() + 1)); }},
      {"directory inside the header", &good_plain, [](Bytes& b) { Put32(b, 8, 4); }},
      {"count beyond the directory", &good_plain, [](Bytes& b) { Put32(b, 12, 3); }},
      {"huge count", &good_plain, [](Bytes& b) { Put32(b, 12, 0xFFFFFFFF); }},
      {"plain directory cut short", &good_plain, [](Bytes& b) { b.pop_back(); }},
      {"entry data past the directory", &good_plain, [](Bytes& b) { Put32(b, 48 + kEntryStoredSizeAt, 17); }},
      {"entry data beyond the image", &good_plain, [](Bytes& b) { Put32(b, 48 + kEntryStoredSizeAt, 0xFFFFFFF0); }},
      {"compressed directory cut short", &good_packed, [](Bytes& b) { b.resize(b.size() - 3); }},
      {"compressed directory with a count it does not hold", &good_packed, [](Bytes& b) { Put32(b, 12, 2); }},
  };
  for (const Damage& d : cases) {
    SCOPED_TRACE(d.name);
    image = *d.base;
    d.apply(image);
    EXPECT_FALSE(OpenImage());
    EXPECT_EQ(UpdateState.ArchiveDirectory, nullptr);
  }
  EXPECT_EQ(fake->allocs, fake->frees) << "a refused image leaves nothing allocated";
  EXPECT_TRUE(fake->boxes.empty());
}

TEST_F(ArchiveTest, DamagedEntryFailsItsOwnRead) {
  std::string text(3000, 'x');
  for (size_t i = 0; i < text.size(); i += 5) text[i] = char('a' + i % 23);
  ArchiveOptions options;
  options.compress_directory = false;
  ASSERT_TRUE(Open({Entry("a.txt", text), Entry("b.bin", "bb", false)}, options));
  ClosePayloadArchive();
  // The recorded size larger than what the block decodes to: the end code
  // comes before Size bytes are filled.
  size_t dir = image.size() - 2 * kArchiveEntrySize;
  Put32(image, dir + kEntrySizeAt, uint32_t(text.size() + 1));
  // A stored entry claiming more bytes than it stores.
  Put32(image, dir + kArchiveEntrySize + kEntrySizeAt, 3);
  ASSERT_TRUE(OpenImage());
  EXPECT_EQ(Load("a.txt"), "<none>");
  EXPECT_EQ(Load("b.bin"), "<none>");
  EXPECT_EQ(ExtractArchiveEntry("a.txt", folder.Join("a.txt").c_str(), 0), 0);
  EXPECT_EQ(Texts(), (std::vector<std::string>{kMsgBrokenEntry, kMsgBrokenEntry, kMsgBrokenEntry}));
  EXPECT_FALSE(FileExists(folder.Join("a.txt")));
}

TEST_F(ArchiveTest, ExtractWritesTheEntryWithItsTimeStamp) {
  ASSERT_TRUE(Open({Entry("data.bin", std::string(1000, 'd'))}));
  std::string path = folder.Join("data.bin");
  ASSERT_EQ(ExtractArchiveEntry("data.bin", path.c_str(), 0), 1);
  FileTimes t = AllFileTimes(path);  // before the read below touches the access time
  EXPECT_EQ(t.creation, kEntryTime);
  EXPECT_EQ(t.access, kEntryTime);
  EXPECT_EQ(t.write, kEntryTime);
  EXPECT_EQ(ReadWholeFile(path), std::string(1000, 'd'));
  EXPECT_EQ(fake->allocs - 1, fake->frees) << "the decoded copy is released; the directory stays";
}

TEST_F(ArchiveTest, KeepNewerFileComparesLastWriteTimesStrictly) {
  ASSERT_TRUE(Open({Entry("f.bin", "archive")}));
  struct Case {
    const char* name;
    uint64_t existing;
    int keep_newer;
    const char* result;
  } cases[] = {
      {"equal time is overwritten", kEntryTime, 1, "archive"},
      {"one tick later is kept", kEntryTime + 1, 1, "on disk"},
      {"earlier is overwritten", kEntryTime - 1, 1, "archive"},
      {"later without the rule is overwritten", kEntryTime + 1000, 0, "archive"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = folder.Join("f.bin");
    WriteWholeFile(path, "on disk", c.existing);
    EXPECT_EQ(ExtractArchiveEntry("f.bin", path.c_str(), c.keep_newer), 1);
    EXPECT_EQ(ReadWholeFile(path), c.result);
  }
}

TEST_F(ArchiveTest, ReadOnlyTargetLosesTheAttributeEvenWhenKept) {
  ASSERT_TRUE(Open({Entry("f.bin", "archive")}));
  std::string kept = folder.Join("kept.bin"), replaced = folder.Join("replaced.bin");
  WriteWholeFile(kept, "newer", kEntryTime + 1);
  WriteWholeFile(replaced, "older", kEntryTime - 1);
  MakeReadOnly(kept);
  MakeReadOnly(replaced);
  EXPECT_EQ(ExtractArchiveEntry("f.bin", kept.c_str(), 1), 1);
  EXPECT_EQ(ExtractArchiveEntry("f.bin", replaced.c_str(), 1), 1);
  EXPECT_EQ(ReadWholeFile(kept), "newer");
  EXPECT_EQ(ReadWholeFile(replaced), "archive");
  EXPECT_EQ(Os->GetAttributes(kept.c_str()) & kAttrReadOnly, 0u);
  EXPECT_EQ(Os->GetAttributes(replaced.c_str()) & kAttrReadOnly, 0u);
}

// A folder in the target's place fails the line without a box, once the
// entry was found sound: a damaged entry shows its box first.
TEST_F(ArchiveTest, DirectoryInTheWayFailsSilentlyAfterDecoding) {
  std::string text(400, 'q');
  for (size_t i = 0; i < text.size(); i += 3) text[i] = char('a' + i % 19);
  ArchiveOptions plain;
  plain.compress_directory = false;
  ASSERT_TRUE(Open({Entry("dir", text), Entry("broken", text)}, plain));
  ClosePayloadArchive();
  Put32(image, image.size() - kArchiveEntrySize + kEntrySizeAt, uint32_t(text.size() - 1));
  ASSERT_TRUE(OpenImage());
  MakeFolder(folder.Join("dir"));
  EXPECT_EQ(ExtractArchiveEntry("dir", folder.Join("dir").c_str(), 0), 0);
  EXPECT_TRUE(fake->boxes.empty());
  EXPECT_EQ(ExtractArchiveEntry("broken", folder.Join("dir").c_str(), 0), 0);
  EXPECT_EQ(Texts(), (std::vector<std::string>{kMsgBrokenEntry}));
  EXPECT_EQ(fake->allocs - 1, fake->frees) << "nothing allocated stays but the directory";
}

TEST_F(ArchiveTest, FreeSpaceEqualPassesOneByteShortFails) {
  ASSERT_TRUE(Open({Entry("f.bin", std::string(1000, 'f'))}));
  fake->fixed_free_space = true;
  fake->free_bytes = 1000;
  std::string path = folder.Join("f.bin");
  EXPECT_EQ(ExtractArchiveEntry("f.bin", path.c_str(), 0), 1);
  fake->free_bytes = 999;
  // The check comes before the time rule: it fails although the newer file
  // on disk would have been kept.
  WriteWholeFile(path, "newer", kEntryTime + 5);
  EXPECT_EQ(ExtractArchiveEntry("f.bin", path.c_str(), 1), 0);
  ASSERT_EQ(fake->boxes.size(), 1u);
  char expected[1024];
  std::string root = path.substr(0, 2);
  FormatText(expected, sizeof expected, kMsgDiskShortForEntry, root.c_str(), uint64_t(1));
  EXPECT_EQ(fake->boxes[0].text, expected);
  EXPECT_EQ(fake->roots_asked.back(), root);
  EXPECT_EQ(ReadWholeFile(path), "newer");
}

TEST_F(ArchiveTest, ShortfallAboveTwoGibibytesIsShownInFull) {
  ASSERT_TRUE(Open({Entry("f.bin", "x")}));
  ClosePayloadArchive();
  // A stored entry recorded as 3 GiB: the check never reaches its bytes.
  ArchiveOptions plain;
  plain.compress_directory = false;
  std::string error;
  image = BuildArchive({Entry("f.bin", "x", false)}, plain, &error);
  Put32(image, image.size() - kArchiveEntrySize + kEntrySizeAt, 3221225472u);
  ASSERT_TRUE(OpenImage());
  fake->fixed_free_space = true;
  fake->free_bytes = 0;
  EXPECT_EQ(ExtractArchiveEntry("f.bin", "C:\\game\\f.bin", 0), 0);
  ASSERT_EQ(fake->boxes.size(), 1u);
  EXPECT_NE(fake->boxes[0].text.find(" 3221225472 "), std::string::npos) << fake->boxes[0].text;
}

TEST_F(ArchiveTest, UnknownFreeSpaceStillWrites) {
  ASSERT_TRUE(Open({Entry("f.bin", "content")}));
  fake->free_space.FromNow();
  std::string path = folder.Join("f.bin");
  EXPECT_EQ(ExtractArchiveEntry("f.bin", path.c_str(), 0), 1);
  EXPECT_EQ(ReadWholeFile(path), "content");
}

// Entries written part by part: every size around the decoder's part, both
// kinds, the bytes and times of the file, the report after each part.
class WriteEntryTest : public ArchiveTest {
 protected:
  struct Steps {
    std::vector<std::pair<uint64_t, uint64_t>> seen;
  };
  static void Step(void* context, uint64_t done, uint64_t total) {
    static_cast<Steps*>(context)->seen.push_back({done, total});
  }
  // Writes entry `index` beside `path` and puts it there; the result and the
  // steps seen.
  bool Write(uint32_t index, const std::string& path, Steps* steps) {
    char temp[kPlatformTextSize];
    PlatformFile file = WriteEntryBeside(index, path.c_str(), &kEntryTime, temp, steps ? Step : nullptr, steps);
    if (file == nullptr) return false;
    EXPECT_EQ(std::string(temp).rfind(folder.path(), 0), 0u) << "beside its target";
    return Os->CommitFile(file, temp, path.c_str(), &kEntryTime);
  }
};

// Text-like bytes: runs of letters and repeats from anywhere in the window.
std::string Patterned(size_t size, uint32_t seed) {
  std::string s;
  uint32_t x = seed;
  auto next = [&x]() { return (x = x * 1103515245u + 12345u) >> 8; };
  while (s.size() < size) {
    size_t run = 3 + next() % 40;
    if (s.size() > 8192 && next() % 4 != 0) {
      size_t from = s.size() - 1 - next() % 8192;
      for (size_t i = 0; i < run; ++i) s.push_back(s[from + i]);
    } else {
      for (size_t i = 0; i < run; ++i) s.push_back(char('a' + next() % 26));
    }
  }
  s.resize(size);
  return s;
}

TEST_F(WriteEntryTest, WritesEachSizeAndKindAndReportsEachPart) {
  const size_t sizes[] = {0,
                          1,
                          kLzStreamChunk - 1,
                          kLzStreamChunk,
                          kLzStreamChunk + 1,
                          kLzWindow + kLzStreamChunk,
                          3 * kLzStreamChunk + 17,
                          1u << 20};
  for (bool compress : {true, false}) {
    for (size_t size : sizes) {
      SCOPED_TRACE(std::string(compress ? "compressed " : "stored ") + std::to_string(size));
      std::string data = Patterned(size, uint32_t(size));
      ClosePayloadArchive();
      ASSERT_TRUE(Open({Entry("other", "x"), Entry("f.bin", data, compress)}));
      ArchiveEntryInfo info{};
      ASSERT_TRUE(GetArchiveEntryInfo(1, &info));
      if (size > 100) {
        EXPECT_EQ((info.Flags & kEntryCompressed) != 0, compress);
      }
      std::string path = folder.Join("f.bin");
      WriteWholeFile(path, "old");
      Steps steps;
      ASSERT_TRUE(Write(1, path, &steps));
      EXPECT_TRUE(ReadWholeFile(path) == data);
      EXPECT_EQ(AllFileTimes(path).write, kEntryTime);
      EXPECT_EQ(folder.CountEntries(), 1);
      ASSERT_FALSE(steps.seen.empty());
      uint64_t last = 0;
      for (size_t i = 0; i < steps.seen.size(); ++i) {
        EXPECT_EQ(steps.seen[i].second, size);
        if (i > 0) {
          EXPECT_GT(steps.seen[i].first, last) << "step " << i;
        }
        last = steps.seen[i].first;
      }
      EXPECT_EQ(last, size);
      EXPECT_GE(steps.seen.size(), size / (kLzWindow + kLzStreamChunk)) << "a report after each part";
      EXPECT_TRUE(fake->boxes.empty());
      // Without a report function the same bytes.
      ASSERT_TRUE(Write(1, path, nullptr));
      EXPECT_TRUE(ReadWholeFile(path) == data);
    }
  }
  EXPECT_EQ(fake->allocs - 1, fake->frees) << "nothing but the directory is allocated";
}

// The file goes through the same steps as a buffer's: the bytes, the times,
// the flush; a failure at any of them, at any part, leaves the file there
// as it was and nothing beside it, without a box.
TEST_F(WriteEntryTest, FailedWriteLeavesNothingBehind) {
  std::string data = Patterned(4 * kLzStreamChunk + 5, 3);
  struct Case {
    const char* name;
    Fault FakePlatform::*fault;
    int after;
  } cases[] = {
      {"first part", &FakePlatform::write, 0}, {"second part", &FakePlatform::write, 1},
      {"last part", &FakePlatform::write, 3},  {"times", &FakePlatform::set_times, 0},
      {"flush", &FakePlatform::flush, 0},
  };
  for (bool compress : {true, false}) {
    ClosePayloadArchive();
    ASSERT_TRUE(Open({Entry("f.bin", data, compress)}));
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(compress ? "compressed, " : "stored, ") + c.name);
      std::string kept = folder.Join("kept.dat"), absent = folder.Join("absent.dat");
      WriteWholeFile(kept, "player's save", kEntryTime - 1);
      for (const std::string& path : {kept, absent}) {
        (fake->*c.fault).AfterNext(c.after);
        Steps steps;
        EXPECT_FALSE(Write(0, path, &steps));
        (fake->*c.fault).Clear();
        if (c.fault == &FakePlatform::write) {
          EXPECT_EQ(steps.seen.size(), size_t(c.after));
        }
      }
      EXPECT_EQ(ReadWholeFile(kept), "player's save");
      EXPECT_EQ(LastWriteTime(kept), kEntryTime - 1);
      EXPECT_FALSE(FileExists(absent));
      EXPECT_EQ(folder.CountEntries(), 1) << "the temporary file is removed";
      EXPECT_TRUE(fake->boxes.empty());
    }
  }
}

// A damaged entry shows its box whether the sizes tell it at once or the
// block only after some parts were written, and leaves nothing behind.
TEST_F(WriteEntryTest, DamagedEntryShowsItsBoxAndLeavesNothingBehind) {
  std::string data = Patterned(3 * kLzStreamChunk, 8);
  struct Case {
    const char* name;
    bool compress;
    void (*apply)(Bytes& image, size_t record, uint32_t size, uint32_t stored);
  } cases[] = {
      {"block ends before Size", true,
       [](Bytes& b, size_t e, uint32_t size, uint32_t) { Put32(b, e + kEntrySizeAt, size + 1); }},
      {"block goes on past Size", true,
       [](Bytes& b, size_t e, uint32_t size, uint32_t) { Put32(b, e + kEntrySizeAt, size - 1); }},
      {"block cut short", true,
       [](Bytes& b, size_t e, uint32_t, uint32_t stored) { Put32(b, e + kEntryStoredSizeAt, stored / 2); }},
      {"Size beyond what the block can hold", true,
       [](Bytes& b, size_t e, uint32_t, uint32_t stored) { Put32(b, e + kEntrySizeAt, stored * 101); }},
      {"stored, Size beyond its bytes", false,
       [](Bytes& b, size_t e, uint32_t size, uint32_t) { Put32(b, e + kEntrySizeAt, size + 1); }},
  };
  ArchiveOptions plain;
  plain.compress_directory = false;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClosePayloadArchive();
    ASSERT_TRUE(Open({Entry("f.bin", data, c.compress)}, plain));
    ClosePayloadArchive();
    size_t record = image.size() - kArchiveEntrySize;
    c.apply(image, record, uint32_t(data.size()), ReadLe32(image.data() + record + kEntryStoredSizeAt));
    ASSERT_TRUE(OpenImage());
    fake->boxes.clear();
    std::string kept = folder.Join("kept.dat");
    WriteWholeFile(kept, "old");
    EXPECT_FALSE(Write(0, kept, nullptr));
    EXPECT_EQ(Texts(), (std::vector<std::string>{kMsgBrokenEntry}));
    EXPECT_EQ(ReadWholeFile(kept), "old");
    EXPECT_EQ(folder.CountEntries(), 1);
  }
  fake->boxes.clear();
  char temp[kPlatformTextSize];
  EXPECT_EQ(WriteEntryBeside(7, folder.Join("x").c_str(), nullptr, temp, nullptr, nullptr), nullptr);
  EXPECT_EQ(Texts(), (std::vector<std::string>{kMsgNoEntry}));
}

}  // namespace
