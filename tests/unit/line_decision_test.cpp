// The rules of a script line, once: each row lays out one installation,
// decides one line, then carries the decision out, and checks that the file
// on disk ends as the verb says. The run does exactly this for every line;
// mkupdate plan reports the same decision without the second half.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/archive_writer.h"
#include "archive/payload_archive.h"
#include "common/messages.h"
#include "common/text.h"
#include "common/update_state.h"
#include "flow/line_decision.h"
#include "tests/support/test_files.h"

namespace {

constexpr uint64_t kEntryTime = 132900000000000000ull;
constexpr uint64_t kDay = 864000000000ull;

struct Row {
  const char* name;
  UpdateKind kind;
  const char* path;     // the line's path
  const char* on_disk;  // what is at the target first: a file's content, "<folder>", or nullptr
  int64_t age;          // the file's time against the entry's
  int overwrite_only;
  const char* data_folder;
  LineVerb verb;
  LineWhy why;
  const char* after;  // the target's content afterwards (nullptr: absent)
  int result;         // CarryOutUpdateItem's
};

const Row kRows[] = {
    {"plain-new", Plain, "A.BIN", nullptr, 0, 0, "", kVerbNew, kWhyWritten, "update", 1},
    {"plain-replace", Plain, "A.BIN", "old", 0, 0, "", kVerbReplace, kWhyWritten, "update", 1},
    {"plain-over-a-folder", Plain, "A.BIN", "<folder>", 0, 0, "", kVerbFail, kWhyFolderInPlace, "<folder>", 0},
    {"plain-through-a-missing-folder", Plain, "nodir\\A.BIN", nullptr, 0, 0, "", kVerbFail, kWhyNoFolder, nullptr, 0},
    {"plain-leaving-its-folder", Plain, "..\\A.BIN", nullptr, 0, 0, "", kVerbFail, kWhyOutside, nullptr, 0},
    {"missing-entry", Plain, "NONE.BIN", nullptr, 0, 0, "", kVerbFail, kWhyNoEntry, nullptr, 0},
    {"if-newer-keeps-newer", IfNewer, "A.BIN", "mine", 1, 0, "", kVerbKeep, kWhyNewer, "mine", 1},
    {"if-newer-same-time-replaces", IfNewer, "A.BIN", "mine", 0, 0, "", kVerbReplace, kWhyWritten, "update", 1},
    {"if-newer-replaces-older", IfNewer, "A.BIN", "mine", -1, 0, "", kVerbReplace, kWhyWritten, "update", 1},
    {"data-file-kept", DataFile, "A.BIN", "save", 0, 0, "", kVerbKeep, kWhyPlayersData, "save", 1},
    {"data-file-written-in-a-new-data-folder", DataFile, "A.BIN", nullptr, 0, 0, "sav", kVerbNew, kWhyWritten, "update",
     1},
    {"existing-only-without-target", ExistingOnly, "A.BIN", nullptr, 0, 0, "", kVerbSkip, kWhyNoTarget, nullptr, 1},
    {"existing-only-over-a-folder", ExistingOnly, "A.BIN", "<folder>", 0, 0, "", kVerbSkip, kWhyNoTarget, "<folder>",
     1},
    {"existing-only-replaces", ExistingOnly, "A.BIN", "old", 0, 0, "", kVerbReplace, kWhyWritten, "update", 1},
    {"overwrite-only-without-target", Plain, "A.BIN", nullptr, 0, 1, "", kVerbSkip, kWhyNoTarget, nullptr, 1},
    {"overwrite-only-data-file-kept", DataFile, "A.BIN", "save", 0, 1, "", kVerbKeep, kWhyPlayersData, "save", 1},
};

class LineDecisionTest : public PlatformTest, public ::testing::WithParamInterface<Row> {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    std::string error;
    image = BuildArchive({{"A.BIN", {'u', 'p', 'd', 'a', 't', 'e'}, kEntryTime, true}}, {}, &error);
    UpdateState.PayloadArchive = {image.data(), uint32_t(image.size())};
    ASSERT_NE(OpenPayloadArchive(), nullptr);
    MakeFolder(folder.Join("inst"));
    MakeFolder(folder.Join("data"));
    CopyText(UpdateState.InstPath, kPathSize, folder.Join("inst").c_str());
    CopyText(UpdateState.DataPath, kPathSize, folder.Join("data").c_str());
  }
  void TearDown() override {
    ClosePayloadArchive();
    PlatformTest::TearDown();
  }
  std::vector<uint8_t> image;
};

std::string Content(const std::string& path) {
  uint32_t attributes = Os->GetAttributes(path.c_str());
  if (attributes == kInvalidAttributes) return "<none>";
  return (attributes & kAttrDirectory) ? "<folder>" : ReadWholeFile(path);
}

TEST_P(LineDecisionTest, DecisionAndWhatCarryingItOutLeaves) {
  const Row& row = GetParam();
  CopyText(UpdateState.DataFolder, kPathSize, row.data_folder);
  std::string base = folder.Join(row.kind == DataFile ? "data" : "inst");
  std::string target = base + (row.data_folder[0] ? std::string("\\") + row.data_folder : "") + "\\" + row.path;
  if (row.on_disk != nullptr && std::string(row.on_disk) == "<folder>") {
    MakeFolder(target);
  } else if (row.on_disk != nullptr) {
    WriteWholeFile(target, row.on_disk, kEntryTime + row.age * int64_t(kDay));
  }
  UpdateItem item = {row.kind, {}, 0};
  CopyText(item.Path, sizeof item.Path, row.path);
  item.NameOffset = int32_t(LastPathComponent(item.Path) - item.Path);

  LineDecision decision;
  DecideUpdateItem(item, row.overwrite_only, &decision);
  EXPECT_EQ(decision.Verb, row.verb);
  EXPECT_EQ(decision.Why, row.why);
  if (row.why != kWhyOutside) {
    EXPECT_STREQ(decision.Target + decision.RelativeAt,
                 (row.data_folder[0] ? std::string(row.data_folder) + "\\" + row.path : std::string(row.path)).c_str());
  }
  EXPECT_EQ(fake->files_created.size(), 0u) << "deciding writes nothing";

  EXPECT_EQ(CarryOutUpdateItem(decision), row.result);
  if (row.why != kWhyOutside) {
    EXPECT_EQ(Content(target), row.after ? row.after : "<none>");
  }
  std::vector<std::string> boxes;
  for (auto& b : fake->boxes) boxes.push_back(b.text);
  EXPECT_EQ(boxes, row.why == kWhyNoEntry ? std::vector<std::string>{kMsgNoEntry} : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Rows, LineDecisionTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) {
                           std::string name = info.param.name;
                           for (char& c : name)
                             if (c == '-') c = '_';
                           return name;
                         });

// A copy line: its disc, its source and where it lands, before the shell is asked.
class CopyDecisionTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    for (const char* name : {"inst", "disc", "disc\\data", "disc\\data\\movie"}) MakeFolder(folder.Join(name));
    WriteWholeFile(folder.Join("disc\\data\\a.bin"), "a");
    CopyText(UpdateState.InstPath, kPathSize, folder.Join("inst").c_str());
  }
  LineDecision Decide(int disc, const char* path, const std::string& root) {
    DiscCopyItem item = {disc, {}, 0};
    CopyText(item.Path, sizeof item.Path, path);
    LineDecision d;
    if (CheckCopyLine(item, &d)) DecideCopySource(item, root.c_str(), &d);
    return d;
  }
};

TEST_F(CopyDecisionTest, FileFolderMissingAndRefusedLines) {
  // The disc's "root" here is its folder: the join is the same as with a drive.
  std::string root = folder.Join("disc");
  LineDecision file = Decide(2, "data\\a.bin", root);
  EXPECT_EQ(file.Verb, kVerbCopy);
  EXPECT_EQ(file.Why, kWhyCopyFile);
  EXPECT_STREQ(file.Target + file.RelativeAt, "data\\a.bin") << "a file keeps its path";
  LineDecision tree = Decide(2, "data\\movie", root);
  EXPECT_EQ(tree.Why, kWhyCopyFolder);
  EXPECT_STREQ(tree.Target + tree.RelativeAt, "movie") << "a folder lands under its last name";
  LineDecision missing = Decide(0, "nope.bin", root);
  EXPECT_EQ(missing.Verb, kVerbFail);
  EXPECT_EQ(missing.Why, kWhyNotOnDisc);
  EXPECT_EQ(Decide(2, "..\\evil.dll", root).Why, kWhyOutside);
  EXPECT_EQ(Decide(('x' - '0'), "a.bin", root).Why, kWhyBadDisc);
  EXPECT_EQ(Decide(0, "a.bin", "").Why, kWhyNoDiscYet);
}

}  // namespace
