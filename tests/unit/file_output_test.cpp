// WriteBufferToFile on real files, with the faults that must never damage a
// file already there; the bounded path join; the free-space query and its
// fallback.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "archive/file_output.h"
#include "common/update_state.h"
#include "tests/support/test_files.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

constexpr uint64_t kTime = 133000000000000000ull;  // 2022-06-14

class WriteBufferToFileTest : public PlatformTest {};

TEST_F(WriteBufferToFileTest, WritesBytesAndAllThreeTimes) {
  std::string path = folder.Join("out.bin");
  ASSERT_EQ(WriteBufferToFile(path.c_str(), "hello", 5, &kTime), 1);
  FileTimes t = AllFileTimes(path);  // before the read below touches the access time
  EXPECT_EQ(t.write, kTime);
  EXPECT_EQ(t.creation, kTime);
  EXPECT_EQ(t.access, kTime);
  EXPECT_EQ(ReadWholeFile(path), "hello");
  EXPECT_EQ(folder.CountEntries(), 1) << "no temporary file is left";
}

TEST_F(WriteBufferToFileTest, EmptyFileWithoutTimeKeepsTheSystemsTime) {
  std::string path = folder.Join("empty.bin");
  ASSERT_EQ(WriteBufferToFile(path.c_str(), "", 0, nullptr), 1);
  EXPECT_EQ(ReadWholeFile(path), "");
  EXPECT_GT(LastWriteTime(path), kTime);
}

TEST_F(WriteBufferToFileTest, ReplacesAnExistingFile) {
  std::string path = folder.Join("save.dat");
  WriteWholeFile(path, "old content that is longer");
  ASSERT_EQ(WriteBufferToFile(path.c_str(), "new", 3, &kTime), 1);
  EXPECT_EQ(ReadWholeFile(path), "new");
  EXPECT_EQ(folder.CountEntries(), 1);
}

TEST_F(WriteBufferToFileTest, FailureNeverDamagesTheFileThatWasThere) {
  struct Case {
    const char* name;
    Fault FakePlatform::*fault;
  } faults[] = {{"write", &FakePlatform::write},
                {"times", &FakePlatform::set_times},
                {"flush", &FakePlatform::flush},
                {"replace", &FakePlatform::commit}};
  for (const Case& f : faults) {
    SCOPED_TRACE(f.name);
    std::string kept = folder.Join("kept.dat"), absent = folder.Join("absent.dat");
    WriteWholeFile(kept, "player's save", kTime - 1);
    (fake->*f.fault).FromNow();
    EXPECT_EQ(WriteBufferToFile(kept.c_str(), "half-written replacement", 24, &kTime), 0);
    EXPECT_EQ(WriteBufferToFile(absent.c_str(), "x", 1, &kTime), 0);
    (fake->*f.fault).Clear();
    EXPECT_EQ(ReadWholeFile(kept), "player's save");
    EXPECT_EQ(LastWriteTime(kept), kTime - 1);
    EXPECT_FALSE(FileExists(absent));
    EXPECT_EQ(folder.CountEntries(), 1) << "the temporary file is removed";
  }
}

// The bytes are on the disk before the file takes the destination's place:
// a power cut right after the update cannot leave an empty file behind.
TEST_F(WriteBufferToFileTest, FlushesBeforeTheFileTakesItsPlace) {
  std::string path = folder.Join("GAME.EXE");
  WriteWholeFile(path, "old");
  ASSERT_EQ(WriteBufferToFile(path.c_str(), "new", 3, &kTime), 1);
  EXPECT_EQ(fake->file_calls, (std::vector<std::string>{"flush", "commit"}));
}

// The times are those of the final file, set after the replacement: an
// existing file's times never survive into the new one.
TEST_F(WriteBufferToFileTest, ReplacedFileTakesTheEntrysTimes) {
  std::string path = folder.Join("GAME.EXE");
  WriteWholeFile(path, "old", kTime + 1000000000);
  ASSERT_EQ(WriteBufferToFile(path.c_str(), "new", 3, &kTime), 1);
  FileTimes t = AllFileTimes(path);
  EXPECT_EQ(t.write, kTime);
  EXPECT_EQ(t.creation, kTime);
  EXPECT_EQ(t.access, kTime);
}

#ifdef _WIN32
// What the destination carried besides its content stays: here, the
// hidden attribute of a file the game keeps out of sight.
TEST_F(WriteBufferToFileTest, ReplacingAHiddenFileKeepsItHidden) {
  std::string path = folder.Join("HIDDEN.DAT");
  WriteWholeFile(path, "old");
  ASSERT_TRUE(NativePlatform()->SetAttributes(path.c_str(), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_EQ(WriteBufferToFile(path.c_str(), "new", 3, &kTime), 1);
  EXPECT_EQ(ReadWholeFile(path), "new");
  EXPECT_TRUE(NativePlatform()->GetAttributes(path.c_str()) & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(folder.CountEntries(), 1) << "no temporary or backup file is left";
}
#endif

TEST_F(WriteBufferToFileTest, MissingFolderOrFolderInTheWayFails) {
  EXPECT_EQ(WriteBufferToFile(folder.Join("no\\such.bin").c_str(), "x", 1, nullptr), 0);
  MakeFolder(folder.Join("dir"));
  EXPECT_EQ(WriteBufferToFile(folder.Join("dir").c_str(), "x", 1, nullptr), 0);
  EXPECT_EQ(folder.CountEntries(), 1);
}

// Every target the updater allows, up to 259 bytes, can be written and
// replaced: the temporary and backup names beside it are longer than many a
// target's own name, beyond the system's 260 characters of a plain path.
TEST_F(WriteBufferToFileTest, TargetOf259BytesIsWrittenAndReplaced) {
  std::string deep = folder.path();
  while (deep.size() < 259 - 20) {
    deep += "\\" + std::string(std::min<size_t>(40, 259 - 20 - deep.size()), 'd');
    MakeFolder(deep);
  }
  std::string path = deep + "\\" + std::string(259 - deep.size() - 1, 'n');
  ASSERT_EQ(path.size(), 259u);
  ASSERT_EQ(WriteBufferToFile(path.c_str(), "first", 5, &kTime), 1);
  ASSERT_EQ(WriteBufferToFile(path.c_str(), "second", 6, &kTime), 1);
  EXPECT_EQ(ReadWholeFile(path), "second");
  EXPECT_EQ(CountEntriesIn(deep), 1) << "no temporary or backup file is left";
}

class QueryFreeSpaceTest : public PlatformTest {};

// The figures of the platform's query for each root asked, the volume's
// free space for every user only when it is wanted; on failure the places
// stay as they were.
TEST_F(QueryFreeSpaceTest, GivesThePlatformsFiguresOrLeavesThePlacesAlone) {
  fake->fixed_free_space = true;
  fake->free_bytes = 5ull << 32;
  fake->total_bytes = 9ull << 32;
  uint64_t f = 0, t = 0, tf = 0;
  ASSERT_TRUE(QueryFreeSpace("C:", &f, &t, &tf));
  ASSERT_TRUE(QueryFreeSpace("D:", &f, &t, nullptr));
  EXPECT_EQ(f, 5ull << 32);
  EXPECT_EQ(t, 9ull << 32);
  EXPECT_EQ(tf, 5ull << 32);
  EXPECT_EQ(fake->roots_asked, (std::vector<std::string>{"C:", "D:"}));
  fake->free_space.FromNow();
  f = t = 77;
  EXPECT_FALSE(QueryFreeSpace("C:", &f, &t, nullptr));
  EXPECT_EQ(f, 77u) << "places left unchanged on failure";
  EXPECT_EQ(t, 77u);
}

// The older query's clusters count in 64 bits, its cluster size in 32, as the
// system defines it: 3,000,000 clusters of 4 KiB are more than 4 GiB, and a
// cluster size whose product wraps wraps as the system's does.
TEST(ClusterBytes, CountsClustersInSixtyFourBitsAndTheClusterInThirtyTwo) {
  EXPECT_EQ(ClusterBytes(3000000, 8, 512), 12288000000ull);
  EXPECT_EQ(ClusterBytes(10, 1, 4096), 40960u);
  EXPECT_EQ(ClusterBytes(1, 0x10000, 0x10000), 0u);
}

// The query of this system answers for the drive the tests run on.
TEST(FreeSpace, TheSystemsQueryAnswersForTheTestsDrive) {
  uint64_t f = 0, t = 0, tf = 0;
  ASSERT_TRUE(NativePlatform()->FreeSpace("C:", &f, &t, &tf));
  EXPECT_GT(t, 0u);
  EXPECT_LE(f, t);
}

}  // namespace
