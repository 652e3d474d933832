// All or nothing, on the fake platform: a whole run with update files and
// disc copies, every file operation failing in turn and the run stopped dead
// at each one followed by the next start; after each, the installation and
// data folders are as they were before the run or as the completed run
// leaves them, byte for byte, with attributes and times.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>

#include "archive/archive_writer.h"
#include "archive/payload_checksum.h"
#include "common/messages.h"
#include "common/text.h"
#include "common/update_state.h"
#include "flow/placement.h"
#include "flow/updater_main.h"
#include "resources/resource_ids.h"
#include "tests/support/test_files.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

// A run stopped dead keeps the blocks it had, as a crashed process does
// until the system takes them back: not leaks of the code under test.
struct CrashKeepsItsBlocks {
#if defined(__SANITIZE_ADDRESS__)
  __lsan::ScopedDisabler disabled;
#endif
};

constexpr uint64_t kTime = 133000000000000000ull;
constexpr uint64_t kOld = 132000000000000000ull;

const char* kScript =
    "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Class\r\nGameDir=Dir\r\n"
    "[UPDATE]\r\nAllOrNothing=1\r\n"
    "UpdateFile00=GAME.EXE\r\nUpdateFile01=NEW.DAT\r\nUpdateFile02=d,SAVE.DAT\r\nUpdateFile03=d,FIRST.SAV\r\n"
    "UpdateFile04=DATA.PAK\r\nCopyFile00=2:movie\r\nCopyFile01=2:extra\\x.bin\r\n";

// Everything under a folder: each name's content ("<folder>" for a folder),
// attributes and last-write time.
typedef std::map<std::string, std::tuple<std::string, uint32_t, uint64_t>> Snapshot;

void Take(const std::string& folder, const std::string& prefix, Snapshot* out) {
  struct Context {
    std::vector<std::pair<std::string, bool>> names;
  } c;
  NativePlatform()->ListFolder(
      folder.c_str(),
      [](void* context, const char* name, int is_folder, LinkKind) {
        static_cast<Context*>(context)->names.push_back({name, is_folder != 0});
      },
      &c);
  for (auto& [name, is_folder] : c.names) {
    std::string path = folder + "\\" + name;
    uint32_t attributes = NativePlatform()->GetAttributes(path.c_str());
    if (is_folder) {
      (*out)[prefix + name] = {"<folder>", attributes, 0};
      Take(path, prefix + name + "\\", out);
    } else {
      // The player's save takes the run's time: its time is not compared.
      uint64_t time = name == "SAVE.DAT" ? 0 : LastWriteTime(path);
      (*out)[prefix + name] = {ReadWholeFile(path), attributes, time};
    }
  }
}

std::string Describe(const Snapshot& s) {
  std::string text;
  for (auto& [name, v] : s) text += name + "=" + std::get<0>(v) + " ";
  return text;
}

class AllOrNothingTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    MakeGameFolder(kOld);
    MakeFolder(folder.Join("data"));
    WriteWholeFile(folder.Join("game\\GAME.EXE"), "old game", kOld);
    MakeReadOnly(folder.Join("game\\GAME.EXE"));
    WriteWholeFile(folder.Join("game\\DATA.PAK"), "old data", kOld);
    MakeFolder(folder.Join("game\\movie"));
    WriteWholeFile(folder.Join("game\\movie\\op.mpg"), "old op", kOld);
    WriteWholeFile(folder.Join("data\\SAVE.DAT"), "player's progress", kOld);
    std::string script = kScript;
    std::vector<ArchiveInput> entries = {
        {"UPDATE.INI", std::vector<uint8_t>(script.begin(), script.end()), kTime, true},
        {"GAME.EXE", {'n', 'e', 'w', ' ', 'g', 'a', 'm', 'e'}, kTime, false},
        {"NEW.DAT", {'n', 'e', 'w'}, kTime, false},
        {"SAVE.DAT", {'f', 'r', 'e', 's', 'h'}, kTime, false},
        {"FIRST.SAV", {'f', 'i', 'r', 's', 't'}, kTime, false},
        {"DATA.PAK", {'n', 'e', 'w', ' ', 'd', 'a', 't', 'a'}, kTime, false},
    };
    std::string error;
    payload_ = BuildArchive(entries, {}, &error);
    before_ = Now();
  }
  // Puts the fake into the state of a fresh start of the updater.
  void Start() {
    ResetUpdateState();
    fake->payload = payload_;
    fake->has_payload = true;
    fake->registry["Software\\Co\\Dir"] = {{"InstPath", folder.Join("game") + '\0'},
                                           {"DataPath", folder.Join("data") + '\0'},
                                           {"InstMode", std::string("\0\0\0\0", 4)}};
    fake->cd_drives = "Q";
    fake->disc_files = {{"Q:\\DISC2.CHK", ""},
                        {"Q:\\movie\\op.mpg", "new op"},
                        {"Q:\\movie\\sub\\ed.mpg", "new ed"},
                        {"Q:\\extra\\x.bin", "x"}};
    fake->boxes.clear();
    fake->shell_copies.clear();
    fake->in_dialog = [](FakePlatform& f) {
      for (int i = 0; i < 3; ++i) f.Click(IDC_NEXT);
    };
  }
  // The fixture's folders anew, as before the run.
  void Fresh() {
    TearDown();
    folder.~TempFolder();
    new (&folder) TempFolder();
    SetUp();
  }
  Snapshot Now() const {
    Snapshot s;
    Take(folder.Join("game"), "game\\", &s);
    Take(folder.Join("data"), "data\\", &s);
    return s;
  }
  // Runs to the end once, and gives what the completed run leaves, then
  // puts everything back as it was.
  Snapshot Completed() {
    Start();
    EXPECT_EQ(UpdaterMain(nullptr), 1);
    EXPECT_TRUE(fake->boxes.empty());
    Snapshot after = Now();
    return after;
  }
  std::vector<uint8_t> payload_;
  Snapshot before_;
};

TEST_F(AllOrNothingTest, ACompletedRunPutsEverythingInPlace) {
  Snapshot after = Completed();
  EXPECT_EQ(std::get<0>(after["game\\GAME.EXE"]), "new game");
  EXPECT_EQ(std::get<1>(after["game\\GAME.EXE"]) & kAttrReadOnly, 0u);
  EXPECT_EQ(std::get<2>(after["game\\GAME.EXE"]), kTime);
  EXPECT_EQ(std::get<0>(after["game\\NEW.DAT"]), "new");
  EXPECT_EQ(std::get<0>(after["data\\SAVE.DAT"]), "player's progress");
  EXPECT_GT(LastWriteTime(folder.Join("data\\SAVE.DAT")), kTime) << "touched at the end";
  EXPECT_EQ(std::get<0>(after["data\\FIRST.SAV"]), "first");
  EXPECT_EQ(std::get<0>(after["game\\movie\\op.mpg"]), "new op");
  EXPECT_EQ(std::get<0>(after["game\\movie\\sub\\ed.mpg"]), "new ed");
  EXPECT_EQ(std::get<0>(after["game\\extra\\x.bin"]), "x");
  EXPECT_EQ(after.size(), before_.size() + 6) << Describe(after) << ": nothing of ours left";
}

// Every failure the run can meet, at every point: the boxes of the run, and
// the folders exactly as they were.
TEST_F(AllOrNothingTest, EveryFailureLeavesTheInstallationAsItWas) {
  struct Case {
    const char* what;
    Fault FakePlatform::*fault;
  } kFaults[] = {{"write", &FakePlatform::write},
                 {"time", &FakePlatform::set_times},
                 {"flush", &FakePlatform::flush},
                 {"commit", &FakePlatform::commit}};
  for (const Case& c : kFaults) {
    for (int n = 1;; ++n) {
      SCOPED_TRACE(std::string(c.what) + " #" + std::to_string(n));
      Start();
      (fake->*c.fault) = Fault{};
      (fake->*c.fault).fail_at = n;
      int result = UpdaterMain(nullptr);
      bool hit = (fake->*c.fault).calls >= n;
      (fake->*c.fault) = Fault{};
      if (!hit) {  // every call of this kind passed: the run completed
        EXPECT_EQ(result, 1);
        Fresh();
        break;
      }
      EXPECT_EQ(result, 0);
      ASSERT_FALSE(fake->boxes.empty());
      EXPECT_EQ(fake->boxes.back().text, kMsgInterrupted);
      EXPECT_EQ(Now(), before_) << Describe(Now());
      if (n > 40) break;
    }
  }
  // A copy that fails, one stopped in the shell's window, Cancel at the disc
  // prompt: all after every update file was written.
  for (int kind = 0; kind < 3; ++kind) {
    SCOPED_TRACE(kind);
    Fresh();
    Start();
    if (kind < 2) {
      fake->shell_copy.fail_at = fake->shell_copy.calls + 2;  // the second line's copy
      fake->shell_fail_result = kind == 0 ? ShellCopyResult{1, 0} : ShellCopyResult{1, 1};
    } else {
      fake->cd_drives = "";
      fake->answers = {kAnswerCancel};
    }
    EXPECT_EQ(UpdaterMain(nullptr), 0);
    EXPECT_EQ(Now(), before_) << Describe(Now());
    fake->shell_copy.Clear();
  }
}

// The run stopped dead at each file operation, then the next start: the
// folders are as before or as completed, nothing of ours is left, and the
// box that says so comes exactly when the next start rolled a journal back.
TEST_F(AllOrNothingTest, ACrashAtAnyPointIsRepairedAtTheNextStart) {
  Snapshot after;
  {
    // The completed state, made in a copy of the folders' first state.
    Start();
    fake->file_operations = 0;
    ASSERT_EQ(UpdaterMain(nullptr), 1);
    after = Now();
  }
  int operations = fake->file_operations;
  ASSERT_GT(operations, 20);
  // Back to the state before: a fresh fixture for every crash point.
  for (int n = 1; n <= operations; ++n) {
    SCOPED_TRACE("crash at operation " + std::to_string(n));
    Fresh();
    Start();
    fake->file_operations = 0;
    fake->crash_at = n;
    bool crashed = false;
    try {
      [[maybe_unused]] CrashKeepsItsBlocks blocks;
      UpdaterMain(nullptr);
    } catch (const FakeCrash&) {
      crashed = true;
    }
    fake->crash_at = 0;
    if (!crashed) break;
    fake->CloseLeftoverFiles();
    Start();
    fake->in_dialog = [](FakePlatform& f) { f.Click(IDC_CANCEL); };
    EXPECT_EQ(UpdaterMain(nullptr), 0);
    Snapshot now = Now();
    bool rolled_back = !fake->boxes.empty() && fake->boxes.front().text == kMsgRolledBack;
    if (rolled_back || now != after) {
      EXPECT_EQ(now, before_) << Describe(now);
    }
  }
}

// A journal that a player's program wrote (the format is plain and its
// checksum has no secret) is acted on only when every record names the
// update's own files where the update writes. Each record below, alone in
// an otherwise valid journal, would once have deleted or changed something
// outside: now the journal is refused whole, nothing changes and nothing is
// said. The same journal with its records inside is rolled back, with the box.
TEST_F(AllOrNothingTest, AJournalThatNamesAnythingButTheUpdatesOwnFilesIsRefused) {
  // {G}, {D} and {V}: the installation, the data folder and a folder beside
  // them, of the fixture in use; {T} a temporary name, {S} a staging name.
  const struct {
    const char* what;
    const char* record;
  } kCases[] = {
      {"a new file's target outside both folders", "F\t{G}\\{T}\t{V}\\file\t-\tU"},
      {"a new file outside both folders", "F\t{V}\\file\t{G}\\NEW.DAT\t-\tU"},
      {"attributes of a file outside", "F\t{G}\\{T}\t{V}\\file\t1\tU"},
      {"a folder outside", "D\t{V}\\empty"},
      {"a staging folder outside", "S\t{V}\\tree"},
      {"a staging folder deeper in the installation", "S\t{G}\\movie\\{S}"},
      {"a way out by dots", "F\t{G}\\{T}\t{G}\\..\\victim\\file\t-\tU"},
      {"a temporary file in another folder", "F\t{V}\\{T}\t{G}\\NEW.DAT\t-\tU"},
      {"a file of the data folder that no DataFile line writes", "F\t{D}\\{T}\t{D}\\OTHER.DOC\t-\tU"},
      {"a folder of the data folder on the way to nothing of the update's", "D\t{D}\\other"},
      {"the journal itself as a target", "F\t{G}\\{T}\t{G}\\~ks-journal.dat\t-\tU"},
      {"a kind of record no updater writes", "Q\t{V}\\file"},
      {"a removed file put back outside both folders", "R\t{V}\\{R}\t{V}\\placed\t20\tU"},
      {"a removed file put back in the data folder", "R\t{D}\\{R}\t{D}\\FIRST.SAV\t20\tU"},
      {"a removed file aside under a name no run gives", "R\t{G}\\other.dat\t{G}\\placed\t20\tU"},
      {"a line that is no line", "F\t{G}\\{T}\t{G}\\NEW.DAT\t-\tC99"},
  };
  const std::string valid = "F\t{G}\\{T}\t{G}\\NEW.DAT\t-\tU\r\nF\t{D}\\{T}\t{D}\\FIRST.SAV\t-\tU\r\nS\t{G}\\{S}\r\n";
  auto plant = [this](std::string records) {
    const std::pair<std::string, std::string> names[] = {{"{G}", folder.Join("game")},
                                                         {"{D}", folder.Join("data")},
                                                         {"{V}", folder.Join("victim")},
                                                         {"{T}", "~ks0000AAAA.tmp"},
                                                         {"{R}", "~ks0000BBBB.tmp"},
                                                         {"{S}", "~ks-staging-0123456789abcdef"}};
    for (const auto& [name, text] : names)
      for (size_t at; (at = records.find(name)) != std::string::npos;) records.replace(at, name.size(), text);
    MakeFolder(folder.Join("victim"));
    MakeFolder(folder.Join("victim\\tree"));
    MakeFolder(folder.Join("victim\\empty"));
    WriteWholeFile(folder.Join("victim\\file"), "not the game's");
    WriteWholeFile(folder.Join("victim\\tree\\x"), "not the game's");
    MakeFolder(folder.Join("data\\other"));
    WriteWholeFile(folder.Join("game\\NEW.DAT"), "new");  // as if put in place before the crash
    WriteWholeFile(folder.Join("data\\FIRST.SAV"), "first");
    // What a planted removal would put back: a file of the planter's.
    WriteWholeFile(folder.Join("victim\\~ks0000BBBB.tmp"), "planted");
    WriteWholeFile(folder.Join("game\\other.dat"), "planted");
    std::string body = "koushin journal 1\r\n" + records;
    char sum[20];
    uint64_t digest = Xxh64(body.data(), body.size(), 0);
    FormatText(sum, sizeof sum, "%08x%08x", uint32_t(digest >> 32), uint32_t(digest));
    WriteWholeFile(folder.Join("game\\") + kJournalName, body + "X\t" + sum + "\r\n");
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    Fresh();
    plant(valid + c.record + "\r\n");
    Snapshot planted = Now();
    Start();
    fake->in_dialog = [](FakePlatform& f) { f.Click(IDC_CANCEL); };
    EXPECT_EQ(UpdaterMain(nullptr), 0);
    EXPECT_EQ(Texts(), std::vector<std::string>{kMsgInterrupted}) << "no box about a rolled-back update";
    EXPECT_EQ(Now(), planted) << "nothing of the installation changed";
    EXPECT_EQ(ReadWholeFile(folder.Join("victim\\file")), "not the game's");
    EXPECT_EQ(ReadWholeFile(folder.Join("victim\\tree\\x")), "not the game's");
    EXPECT_TRUE(FileExists(folder.Join("victim\\empty")));
    EXPECT_FALSE(FileExists(folder.Join("victim\\placed")));
    EXPECT_FALSE(FileExists(folder.Join("game\\placed")));
    EXPECT_EQ(NativePlatform()->GetAttributes(folder.Join("victim\\file").c_str()) & kAttrReadOnly, 0u);
  }
  // The same journal without the stray record is the update's own, and so
  // is one with a removal in the installation: the removed file comes back.
  Fresh();
  plant(valid + "R\t{G}\\{R}\t{G}\\OLD.DAT\t20\tU\r\n");
  WriteWholeFile(folder.Join("game\\~ks0000BBBB.tmp"), "removed, and back");
  Start();
  fake->in_dialog = [](FakePlatform& f) { f.Click(IDC_CANCEL); };
  EXPECT_EQ(UpdaterMain(nullptr), 0);
  EXPECT_EQ(Texts(), (std::vector<std::string>{kMsgRolledBack, kMsgInterrupted}));
  EXPECT_FALSE(FileExists(folder.Join("game\\NEW.DAT")));
  EXPECT_FALSE(FileExists(folder.Join("data\\FIRST.SAV")));
  EXPECT_FALSE(FileExists(folder.Join("game\\") + kJournalName));
  EXPECT_EQ(ReadWholeFile(folder.Join("game\\OLD.DAT")), "removed, and back");
}

}  // namespace
