// The update flow on the fake platform: what Wine cannot produce (the user
// aborting the shell's copy, a free-space query that fails, allocations
// that fail, a write-back that fails) and the wizard's state machine, step
// by step. The same flows run for real in the end-to-end cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "archive/archive_writer.h"
#include "common/messages.h"
#include "common/text.h"
#include "common/update_state.h"
#include "flow/disc_copy.h"
#include "flow/file_update.h"
#include "flow/recovery.h"
#include "flow/updater_main.h"
#include "flow/wizard.h"
#include "resources/resource_ids.h"
#include "tests/support/test_files.h"

namespace {

constexpr uint64_t kTime = 133000000000000000ull;

const char* kScript =
    "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Class\r\nGameDir=Dir\r\nUpdaterVersion=1\r\n"
    "[UPDATE]\r\nUpdateFile00=GAME.EXE\r\n";

class FlowTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    MakeGameFolder();
    fake->registry["Software\\Co\\Dir"] = {{"InstPath", folder.Join("game") + std::string(1, '\0')},
                                           {"InstMode", std::string("\0\0\0\0", 4)}};
  }
  void Payload(const std::string& script, std::vector<ArchiveInput> more = {}) {
    more.insert(more.begin(), {"UPDATE.INI", std::vector<uint8_t>(script.begin(), script.end()), kTime, true});
    std::string error;
    fake->payload = BuildArchive(more, {}, &error);
    fake->has_payload = true;
  }
  // The wizard as UpdaterMain leaves it for the run: state loaded, open.
  void ReadyForRun(const std::string& script, std::vector<ArchiveInput> more = {}) {
    Payload(script, std::move(more));
    fake->in_dialog = [](FakePlatform& f) {
      f.Click(IDC_NEXT);
      f.Click(IDC_NEXT);
    };
  }
  FakeControl& C(int id) { return fake->controls[id]; }
  // Whether `path` is `rest` inside a staging folder that the run made in
  // the installation folder (a name of its own, not an older updater's).
  bool IsRunsStagingFolder(const std::string& path, const std::string& rest) const {
    std::string base = folder.Join("game\\");
    if (path.rfind(base, 0) != 0) return false;
    std::string name = path.substr(base.size(), path.find('\\', base.size()) - base.size());
    return name != "~ks-staging" && IsStagingName(name.c_str()) && path == base + name + "\\" + rest;
  }
};

// How many staging folders (or links under their names) `folder` holds.
int StagingFoldersIn(const std::string& folder) {
  int count = 0;
  NativePlatform()->ListFolder(
      folder.c_str(),
      [](void* context, const char* name, int, LinkKind) { *static_cast<int*>(context) += IsStagingName(name); },
      &count);
  return count;
}

TEST_F(FlowTest, CompletedUpdateExitsWithOneAndCleansUp) {
  ReadyForRun(kScript, {{"GAME.EXE", {'n', 'e', 'w'}, kTime, true}});
  fake->in_dialog = [this](FakePlatform& f) {
    f.Click(IDC_NEXT);
    EXPECT_EQ(C(IDC_INFO).text, kInfoConfirm);
    f.Click(IDC_NEXT);
    EXPECT_EQ(C(IDC_INFO).text, kInfoCompleted);
    EXPECT_EQ(C(IDC_NEXT).text, kTextFinish);
    EXPECT_EQ(f.focus, IDC_NEXT);
    EXPECT_EQ(f.cursor, kCursorArrow);
    EXPECT_FALSE(C(IDC_CANCEL).enabled);
    EXPECT_FALSE(C(IDC_BACK).enabled);
    f.Click(IDC_NEXT);
  };
  EXPECT_EQ(UpdaterMain(nullptr), 1);
  EXPECT_EQ(fake->dialogs_run, std::vector<int>{IDD_WIZARD});
  EXPECT_EQ(ReadWholeFile(folder.Join("game\\GAME.EXE")), "new");
  EXPECT_TRUE(fake->boxes.empty());
  EXPECT_EQ(UpdateState.ArchiveDirectory, nullptr);
  EXPECT_EQ(fake->allocs, fake->frees) << "nothing but the agreement blocks outlives the run";
}

// The start-up and a whole run write nothing but the update's own targets:
// no temporary script, nothing in the temporary folder, nothing to delete.
TEST_F(FlowTest, WritesNothingButTheTargets) {
  ReadyForRun(kScript, {{"GAME.EXE", {'n', 'e', 'w'}, kTime, true}});
  fake->in_dialog = [](FakePlatform& f) {
    f.Click(IDC_NEXT);
    f.Click(IDC_NEXT);
    f.Click(IDC_NEXT);
  };
  EXPECT_EQ(UpdaterMain(nullptr), 1);
  EXPECT_EQ(ReadWholeFile(folder.Join("game\\GAME.EXE")), "new");
  EXPECT_EQ(folder.CountEntries(), 1) << "only the installation folder";
  EXPECT_EQ(fake->files_created, std::vector<std::string>{folder.Join("game\\GAME.EXE")});
  ASSERT_EQ(fake->temp_files.size(), 1u);
  std::string temp = fake->temp_files[0], game = folder.Join("game");
  for (std::string* path : {&temp, &game}) {
    std::replace(path->begin(), path->end(), '\\', '/');
    if (path->size() > 1 && (*path)[1] == ':') path->erase(0, 2);  // the native platform gives /tmp for C:\tmp
  }
  EXPECT_EQ(temp.rfind(game + "/", 0), 0u) << temp << ": beside its target";
  EXPECT_TRUE(fake->files_removed.empty());
}

TEST_F(FlowTest, NoMemoryForTheAgreementBlock) {
  Payload("[SETUP]\r\nCompanyName=Co\r\nGameTitle=T\r\nGameClass=C\r\nGameDir=D\r\nAgreementText=A.TXT\r\n",
          {{"A.TXT", {'a', 'g', 'r', 'e', 'e'}, kTime, false}});
  // Directory, the script's bytes (stored: none), then the agreement block.
  fake->alloc.AfterNext(2);
  EXPECT_EQ(UpdaterMain(nullptr), 0);
  EXPECT_EQ(Texts(), std::vector<std::string>{kMsgNoMemory});
  EXPECT_TRUE(fake->dialogs_run.empty());
}

TEST_F(FlowTest, UnknownFreeSpaceDoesNotStopTheRun) {
  ReadyForRun(
      "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Class\r\nGameDir=Dir\r\n"
      "[UPDATE]\r\nRequiredDiskSpace=1000000\r\nUpdateFile00=GAME.EXE\r\n",
      {{"GAME.EXE", {'n'}, kTime, false}});
  fake->free_space.FromNow();
  fake->in_dialog = [](FakePlatform& f) {
    f.Click(IDC_NEXT);
    f.Click(IDC_NEXT);
    f.Click(IDC_NEXT);
  };
  EXPECT_EQ(UpdaterMain(nullptr), 1);
  EXPECT_EQ(ReadWholeFile(folder.Join("game\\GAME.EXE")), "n");
}

TEST_F(FlowTest, ShortfallIsShownInFullAndBackRunsAgain) {
  ReadyForRun(
      "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Class\r\nGameDir=Dir\r\n"
      "[UPDATE]\r\nRequiredDiskSpace=-1\r\nUpdateFile00=GAME.EXE\r\n",
      {{"GAME.EXE", {'n'}, kTime, false}});
  fake->fixed_free_space = true;
  fake->free_bytes = 1ull << 33;  // the start-up writes the script to the temporary folder
  fake->in_dialog = [this](FakePlatform& f) {
    f.Click(IDC_NEXT);
    f.free_bytes = 5;
    f.Click(IDC_NEXT);
    char expected[1024];
    FormatText(expected, sizeof expected, kInfoDiskShort, folder.Join("").substr(0, 2).c_str(), uint64_t(4294967290u));
    EXPECT_EQ(C(IDC_INFO).text, expected);
    EXPECT_TRUE(C(IDC_BACK).enabled);
    EXPECT_FALSE(C(IDC_NEXT).enabled);
    f.Click(IDC_BACK);
    EXPECT_EQ(C(IDC_INFO).text, kInfoConfirm);
    f.free_bytes = 1ull << 33;
    f.Click(IDC_NEXT);
    EXPECT_EQ(C(IDC_NEXT).text, kTextFinish);
    f.Click(IDC_NEXT);
  };
  EXPECT_EQ(UpdaterMain(nullptr), 1);
}

// The player's save is never replaced by the archive's copy: not when it is
// read-only, not when its time cannot be set, not when no memory is left.
// Where its time can be set it takes the run's; otherwise it is untouched.
TEST_F(FlowTest, ExistingDataFileKeepsItsContentInEveryCase) {
  const struct {
    const char* what;
    bool read_only, touch_fails, no_memory;
  } kCases[] = {
      {"plain", false, false, false},
      {"read-only", true, false, false},
      {"time cannot be set", false, true, false},
      {"read-only, time cannot be set", true, true, false},
      {"no memory left", false, false, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    ResetUpdateState();
    fake->boxes.clear();
    if (c.touch_fails) fake->touch.FromNow();
    else fake->touch.Clear();
    std::string save = folder.Join("game\\SAVE.DAT");
    NativePlatform()->SetAttributes(save.c_str(), kAttrNormal);
    WriteWholeFile(save, "player's progress", kTime - 5);
    if (c.read_only) MakeReadOnly(save);
    fake->registry["Software\\Co\\Dir"]["DataPath"] = folder.Join("game") + std::string(1, '\0');
    ReadyForRun(
        "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Class\r\nGameDir=Dir\r\n"
        "[UPDATE]\r\nUpdateFile00=d,SAVE.DAT\r\n",
        {{"SAVE.DAT", {'f', 'r', 'e', 's', 'h'}, kTime, false}});
    fake->in_dialog = [&c](FakePlatform& f) {
      f.Click(IDC_NEXT);
      if (c.no_memory) f.alloc.FromNow();
      f.Click(IDC_NEXT);
      f.alloc.Clear();
      f.Click(IDC_NEXT);
    };
    EXPECT_EQ(UpdaterMain(nullptr), 1);
    EXPECT_TRUE(fake->boxes.empty());
    EXPECT_EQ(ReadWholeFile(save), "player's progress");
    if (c.touch_fails) {
      EXPECT_EQ(LastWriteTime(save), kTime - 5);
    } else {
      EXPECT_GT(LastWriteTime(save), kTime) << "the run's time";
    }
    EXPECT_EQ((NativePlatform()->GetAttributes(save.c_str()) & kAttrReadOnly) != 0, c.read_only);
  }
}

// The record's folders never depend on the updater's working folder: an
// InstPath that is not absolute is no installation, and an empty or relative
// DataPath is taken under InstPath, where the game started from its own
// folder finds it.
// A base folder that names no place of its own (relative, a device path), or
// one on a share of this very machine, whose server would follow links that
// no check of the updater sees: the game counts as not installed.
TEST_F(FlowTest, RelativeDeviceOrLocalShareBaseFolderIsNoInstallation) {
  const struct {
    const char* inst;
    const char* data;
  } kCases[] = {
      {"game", ""},
      {"C:game", ""},
      {"\\game", ""},
      {"\\\\.\\C:\\game", ""},
      {"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\game", ""},
      {"\\\\localhost\\C$\\Games\\X", ""},
      {"\\\\LocalHost\\Games\\X", ""},
      {"\\\\127.0.0.1\\Games\\X", ""},
      {"\\\\fileserver\\ADMIN$\\Games\\X", ""},
      {"\\\\fileserver\\D$\\Games\\X", ""},
      {nullptr, "\\\\localhost\\C$\\Users\\Player\\Saves"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.inst ? c.inst : c.data);
    ResetUpdateState();
    fake->boxes.clear();
    fake->dialogs_run.clear();
    std::string inst = c.inst ? c.inst : folder.Join("game");
    fake->registry["Software\\Co\\Dir"]["InstPath"] = inst + '\0';
    fake->registry["Software\\Co\\Dir"]["DataPath"] = std::string(c.data) + '\0';
    Payload(kScript, {{"GAME.EXE", {'n'}, kTime, false}});
    EXPECT_EQ(UpdaterMain(nullptr), 0);
    char expected[kLongTextSize];
    FormatText(expected, sizeof expected, kMsgNotInstalled, "Title");
    EXPECT_EQ(Texts(), std::vector<std::string>{expected});
    EXPECT_TRUE(fake->dialogs_run.empty());
  }
}

TEST_F(FlowTest, EmptyOrRelativeDataPathIsUnderInstPath) {
  MakeFolder(folder.Join("game\\save"));
  const struct {
    const char* data_path;  // nullptr: no value
    std::string lands;
  } kCases[] = {
      {nullptr, folder.Join("game\\SAVE.DAT")},
      {"", folder.Join("game\\SAVE.DAT")},
      {"save", folder.Join("game\\save\\SAVE.DAT")},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.data_path ? c.data_path : "(none)");
    ResetUpdateState();
    fake->boxes.clear();
    NativePlatform()->RemoveFile(c.lands.c_str());
    if (c.data_path) fake->registry["Software\\Co\\Dir"]["DataPath"] = std::string(c.data_path) + '\0';
    else fake->registry["Software\\Co\\Dir"].erase("DataPath");
    ReadyForRun(
        "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Class\r\nGameDir=Dir\r\n"
        "[UPDATE]\r\nUpdateFile00=d,SAVE.DAT\r\n",
        {{"SAVE.DAT", {'f', 'r', 'e', 's', 'h'}, kTime, false}});
    fake->in_dialog = [](FakePlatform& f) {
      for (int i = 0; i < 3; ++i) f.Click(IDC_NEXT);
    };
    EXPECT_EQ(UpdaterMain(nullptr), 1);
    EXPECT_TRUE(fake->boxes.empty());
    EXPECT_EQ(ReadWholeFile(c.lands), "fresh");
    EXPECT_EQ(fake->files_created, std::vector<std::string>{c.lands});
    fake->files_created.clear();
  }
}

// A relative DataPath too long to be joined to InstPath fails its lines as a
// write that cannot be made, never writes under the working folder.
TEST_F(FlowTest, DataPathThatCannotBeJoinedFailsItsLines) {
  fake->registry["Software\\Co\\Dir"]["DataPath"] = std::string(250, 's') + '\0';
  ReadyForRun(
      "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Class\r\nGameDir=Dir\r\n"
      "[UPDATE]\r\nUpdateFile00=d,SAVE.DAT\r\n",
      {{"SAVE.DAT", {'f'}, kTime, false}});
  EXPECT_EQ(UpdaterMain(nullptr), 0);
  EXPECT_EQ(Texts(), (std::vector<std::string>{kMsgWriteFailed, kMsgInterrupted}));
  EXPECT_TRUE(fake->files_created.empty());
}

// Escape and the close box send command 2 even while "中止" is disabled. On
// the completed page every file is written: they finish as "完了" does. On a
// page short of disk space they still cancel.
TEST_F(FlowTest, CommandTwoOnTheCompletedPageFinishes) {
  ReadyForRun(kScript, {{"GAME.EXE", {'n', 'e', 'w'}, kTime, true}});
  fake->in_dialog = [](FakePlatform& f) {
    f.Click(IDC_NEXT);
    f.Click(IDC_NEXT);
    EXPECT_EQ(f.controls[IDC_NEXT].text, kTextFinish);
    f.SendCommand(IDC_CANCEL);
  };
  EXPECT_EQ(UpdaterMain(nullptr), 1);
  EXPECT_TRUE(fake->boxes.empty());
  EXPECT_EQ(fake->end_result, 0);
}

TEST_F(FlowTest, CommandTwoOnAPageShortOfSpaceStillCancels) {
  ReadyForRun(
      "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Class\r\nGameDir=Dir\r\n"
      "[UPDATE]\r\nRequiredDiskSpace=100\r\nUpdateFile00=GAME.EXE\r\n",
      {{"GAME.EXE", {'n'}, kTime, false}});
  fake->fixed_free_space = true;
  fake->free_bytes = 1ull << 33;
  fake->in_dialog = [](FakePlatform& f) {
    f.Click(IDC_NEXT);
    f.free_bytes = 5;
    f.Click(IDC_NEXT);
    EXPECT_FALSE(f.controls[IDC_NEXT].enabled);
    f.SendCommand(IDC_CANCEL);
  };
  EXPECT_EQ(UpdaterMain(nullptr), 0);
  EXPECT_EQ(Texts(), std::vector<std::string>{kMsgInterrupted});
}

// Every probe of a drive runs with the "no disk" box off, and the mode is
// back before the prompt asks for the disc.
TEST_F(FlowTest, DrivesAreProbedWithoutTheNoDiskBox) {
  ReadyForRun(
      "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Class\r\nGameDir=Dir\r\n"
      "[UPDATE]\r\nCopyFile00=2:movie\r\n");
  fake->cd_drives = "DE";  // both empty
  fake->answers = {kAnswerOk, kAnswerCancel};
  std::vector<bool> quiet_at_prompt;
  fake->while_box_open = [&] { quiet_at_prompt.push_back(fake->drive_errors_quiet); };
  EXPECT_EQ(UpdaterMain(nullptr), 0);
  EXPECT_EQ(fake->loud_drive_probes, 0);
  EXPECT_EQ(quiet_at_prompt, (std::vector<bool>{false, false, false})) << "two prompts, then the interrupted box";
  EXPECT_FALSE(fake->drive_errors_quiet);
}

// Every allocation and every write of a whole update run, failed in turn,
// one at a time: each run ends as the code defines for that failure (its
// message once, then the interrupted update, or a completed one where the
// failure did not matter), and never leaves a partly written file, a
// temporary file or a block not freed.
TEST_F(FlowTest, EveryAllocationAndEveryWriteFailedInTurn) {
  std::string game_new(6000, 'g'), data_new;
  for (int i = 0; i < 3000; ++i) data_new += char(i * 7919 % 251);  // does not compress: stored
  const std::string script =
      "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Class\r\nGameDir=Dir\r\n"
      "[UPDATE]\r\nUpdateFile00=GAME.EXE\r\nUpdateFile01=DATA.BIN\r\n";
  auto fresh_run = [&] {
    RemoveFakePlatform();
    ResetUpdateState();
    fake = &InstallFakePlatform();
    fake->registry["Software\\Co\\Dir"] = {{"InstPath", folder.Join("game") + std::string(1, '\0')},
                                           {"InstMode", std::string("\0\0\0\0", 4)}};
    WriteWholeFile(folder.Join("game\\GAME.EXE"), "old game");
    WriteWholeFile(folder.Join("game\\DATA.BIN"), "old data");
    ReadyForRun(script, {{"GAME.EXE", {game_new.begin(), game_new.end()}, kTime, true},
                         {"DATA.BIN", {data_new.begin(), data_new.end()}, kTime, true}});
    fake->in_dialog = [](FakePlatform& f) {
      for (int i = 0; i < 3 && !f.ended; ++i) f.Click(IDC_NEXT);
    };
  };
  fresh_run();
  ASSERT_EQ(UpdaterMain(nullptr), 1);
  const int allocs = fake->alloc.calls, writes = fake->write.calls;
  ASSERT_GE(allocs, 3);
  ASSERT_EQ(writes, 2);
  UpdateState.ArchiveDirectory = nullptr;

  for (Fault FakePlatform::*op : {&FakePlatform::alloc, &FakePlatform::write}) {
    for (int n = 1; n <= (op == &FakePlatform::alloc ? allocs : writes); ++n) {
      SCOPED_TRACE((op == &FakePlatform::alloc ? "allocation " : "write ") + std::to_string(n));
      fresh_run();
      (fake->*op).fail_at = n;
      int code = UpdaterMain(nullptr);
      std::string game = ReadWholeFile(folder.Join("game\\GAME.EXE")),
                  data = ReadWholeFile(folder.Join("game\\DATA.BIN"));
      EXPECT_TRUE(game == "old game" || game == game_new) << "GAME.EXE partly written";
      EXPECT_TRUE(data == "old data" || data == data_new) << "DATA.BIN partly written";
      EXPECT_EQ(CountEntriesIn(folder.Join("game")), 3) << "a temporary file was left behind";
      EXPECT_EQ(fake->allocs, fake->frees) << "a block was not freed";
      std::vector<std::string> texts = Texts();
      if (code == 1) {
        EXPECT_TRUE(texts.empty());
        EXPECT_EQ(game, game_new);
        EXPECT_EQ(data, data_new);
        continue;
      }
      if (texts.empty()) {
        // The one silent end: SETUP.INI read without memory reads as if its
        // keys were missing, which ends the updater without a message, as a
        // missing key does (and as the system's own profile reader would).
        EXPECT_TRUE(fake->dialogs_run.empty());
        EXPECT_NE(UpdateState.SetupIniPath[0], '\0') << "a failure that the player is not told of";
        continue;
      }
      for (size_t i = 0; i < texts.size(); ++i)
        for (size_t j = i + 1; j < texts.size(); ++j) EXPECT_NE(texts[i], texts[j]) << "a message shown twice";
      if (!fake->dialogs_run.empty()) {
        EXPECT_EQ(texts.back(), kMsgInterrupted);
        if (op == &FakePlatform::write) {
          ASSERT_EQ(texts.size(), 2u);
          EXPECT_EQ(texts[0], kMsgWriteFailed);
        }
      } else {
        EXPECT_EQ(texts.size(), 1u) << "the start-up stops at its first failure, with one message";
      }
    }
  }
}

TEST_F(FlowTest, ShellCopyAbortEndsTheWizardWithoutAMessage) {
  ReadyForRun(
      "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Class\r\nGameDir=Dir\r\n"
      "[UPDATE]\r\nCopyFile00=2:movie\r\nCopyFile01=2:data\\a.bin\r\n");
  fake->cd_drives = "QR";
  fake->attributes["Q:\\DISC2.CHK"] = kAttrNormal;
  fake->attributes["Q:\\data\\a.bin"] = kAttrNormal;
  fake->shell_result = {1, 1};
  EXPECT_EQ(UpdaterMain(nullptr), 0);
  EXPECT_EQ(Texts(), std::vector<std::string>{kMsgInterrupted}) << "only the start-up's own box";
  ASSERT_EQ(fake->shell_copies.size(), 1u);
  const FakeShellCopy& copy = fake->shell_copies[0];
  EXPECT_EQ(copy.from, "Q:\\movie");
  EXPECT_TRUE(IsRunsStagingFolder(copy.to, "00")) << copy.to << ": the shell copies into the run's staging folder";
  EXPECT_EQ(copy.kind, kShellCopyFolder) << "a source that cannot be examined goes as a folder";
  EXPECT_TRUE(copy.from_ends_in_two_nuls && copy.to_ends_in_two_nuls);
  EXPECT_EQ(folder.CountEntries(), 1) << "nothing of the line, no staging folder";
  EXPECT_EQ(CountEntriesIn(folder.Join("game")), 1) << "SETUP.INI alone";
}

// The shell copies into a staging folder; only a copy that succeeded is put
// in place, each file as a replacement: a copy that fails or is stopped
// leaves the old file as it was and nothing of the line.
TEST_F(FlowTest, DiscCopiesAreStagedAndPutInPlaceOnlyWhenDone) {
  const struct {
    const char* what;
    ShellCopyResult result;
    bool done;
  } kCases[] = {
      {"done", {0, 0}, true},
      {"failed", {1, 0}, false},
      {"aborted in the shell's window", {1, 1}, false},
      {"aborted, the shell said nothing failed", {0, 1}, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    ResetUpdateState();
    fake->boxes.clear();
    WriteWholeFile(folder.Join("game\\OLD.BIN"), "old");
    MakeReadOnly(folder.Join("game\\OLD.BIN"));
    NativePlatform()->RemoveFile(folder.Join("game\\movie\\op.mpg").c_str());
    ReadyForRun(
        "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Class\r\nGameDir=Dir\r\n"
        "[UPDATE]\r\nCopyFile00=2:movie\r\nCopyFile01=2:OLD.BIN\r\n");
    fake->in_dialog = [](FakePlatform& f) {
      for (int i = 0; i < 3; ++i) f.Click(IDC_NEXT);
    };
    fake->cd_drives = "Q";
    fake->disc_files = {{"Q:\\DISC2.CHK", ""}, {"Q:\\movie\\op.mpg", "op"}, {"Q:\\OLD.BIN", "new"}};
    fake->shell_copies.clear();
    fake->shell_copy.fail_at = c.done ? 0 : fake->shell_copy.calls + 2;  // the second line's copy
    fake->shell_fail_result = c.result;
    EXPECT_EQ(UpdaterMain(nullptr), c.done ? 1 : 0);
    EXPECT_EQ(ReadWholeFile(folder.Join("game\\OLD.BIN")), c.done ? "new" : "old");
    EXPECT_EQ((NativePlatform()->GetAttributes(folder.Join("game\\OLD.BIN").c_str()) & kAttrReadOnly) != 0, !c.done)
        << "a copied file's attributes become normal";
    EXPECT_EQ(ReadWholeFile(folder.Join("game\\movie\\op.mpg")), "op") << "the line before stays done";
    char failed[1024];
    FormatText(failed, sizeof failed, kMsgCopyFailed, "OLD.BIN");
    std::vector<std::string> boxes;
    if (!c.done && !c.result.Aborted) boxes.push_back(failed);
    if (!c.done) boxes.push_back(kMsgInterrupted);
    EXPECT_EQ(Texts(), boxes);
    EXPECT_EQ(StagingFoldersIn(folder.Join("game")), 0) << "the staging folder goes in every case";
    NativePlatform()->SetAttributes(folder.Join("game\\OLD.BIN").c_str(), kAttrNormal);
  }
}

TEST_F(FlowTest, CopiesAFileByItsPathAndStopsAtAFailedCopy) {
  ReadyForRun(
      "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Class\r\nGameDir=Dir\r\n"
      "[UPDATE]\r\nCopyFile00=2:data\\a.bin\r\nCopyFile01=b.bin\r\nCopyFile02=c.bin\r\n");
  fake->cd_drives = "Q";
  for (const char* path : {"Q:\\DISC2.CHK", "Q:\\data\\a.bin", "Q:\\b.bin", "Q:\\c.bin"}) fake->disc_files[path] = path;
  fake->shell_copy.fail_at = 2;
  EXPECT_EQ(UpdaterMain(nullptr), 0);
  ASSERT_EQ(fake->shell_copies.size(), 2u) << "the line after the failed one is not copied";
  EXPECT_EQ(fake->shell_copies[0].from, "Q:\\data\\a.bin");
  EXPECT_TRUE(IsRunsStagingFolder(fake->shell_copies[0].to, "00\\data\\a.bin")) << fake->shell_copies[0].to;
  EXPECT_TRUE(IsRunsStagingFolder(fake->shell_copies[1].to, "01\\b.bin"))
      << fake->shell_copies[1].to << ": each line copies into a folder made for it";
  EXPECT_EQ(ReadWholeFile(folder.Join("game\\data\\a.bin")), "Q:\\data\\a.bin") << "in place, its folder made";
  EXPECT_FALSE(FileExists(folder.Join("game\\b.bin")));
  EXPECT_EQ(fake->shell_copies[0].kind, kShellCopyFile);
  EXPECT_EQ(fake->shell_copies[1].from, "Q:\\b.bin") << "from the drive of the line before";
  char failed[1024];
  FormatText(failed, sizeof failed, kMsgCopyFailed, "b.bin");
  EXPECT_EQ(Texts(), (std::vector<std::string>{failed, kMsgInterrupted}));
  EXPECT_NE(fake->boxes[0].owner, nullptr) << "owned by the wizard";
}

// A link that no administrator made, anywhere on a target's path, fails its
// line as a write that cannot be made before anything is written; an
// administrator's link is followed as before.
TEST_F(FlowTest, LinksThatNoAdministratorMadeAreNeverFollowed) {
  const struct {
    const char* what;
    const char* link;  // under the test's folder
    LinkKind kind;
    bool completes;
  } kCases[] = {
      {"the installation folder itself", "game", kOtherLink, false},
      {"a folder in the middle of the path", "game\\data", kOtherLink, false},
      {"the target itself", "game\\data\\X.DAT", kOtherLink, false},
      {"an administrator's link in the middle", "game\\data", kAdministratorsLink, true},
      {"an administrator's link as the target", "game\\data\\X.DAT", kAdministratorsLink, true},
  };
  MakeFolder(folder.Join("game\\data"));
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    ResetUpdateState();
    fake->boxes.clear();
    fake->temp_files.clear();
    fake->files_created.clear();
    fake->links = {{folder.Join(c.link), c.kind}};
    WriteWholeFile(folder.Join("game\\data\\X.DAT"), "old");
    ReadyForRun(
        "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Class\r\nGameDir=Dir\r\n"
        "[UPDATE]\r\nUpdateFile00=data\\X.DAT\r\n",
        {{"X.DAT", {'n', 'e', 'w'}, kTime, false}});
    fake->in_dialog = [](FakePlatform& f) {
      for (int i = 0; i < 3; ++i) f.Click(IDC_NEXT);
    };
    EXPECT_EQ(UpdaterMain(nullptr), c.completes ? 1 : 0);
    if (c.completes) {
      EXPECT_TRUE(fake->boxes.empty());
      EXPECT_EQ(ReadWholeFile(folder.Join("game\\data\\X.DAT")), "new");
    } else {
      EXPECT_EQ(Texts(), (std::vector<std::string>{kMsgWriteFailed, kMsgInterrupted}));
      EXPECT_EQ(ReadWholeFile(folder.Join("game\\data\\X.DAT")), "old");
      EXPECT_TRUE(fake->temp_files.empty()) << "nothing is made beyond the link";
      EXPECT_TRUE(fake->files_created.empty());
    }
  }
}

// A disc copy puts nothing beyond a link that no administrator made: the
// staged files go in place one by one, each checked as any write is.
TEST_F(FlowTest, DiscCopyNeverLandsBeyondAForeignLink) {
  MakeFolder(folder.Join("game\\movie"));
  MakeFolder(folder.Join("game\\movie\\deep"));
  MakeFolder(folder.Join("game\\movie\\deep\\sub"));
  MakeFolder(folder.Join("game\\data"));
  const struct {
    const char* what;
    const char* line;
    const char* link;
    LinkKind kind;
    bool copies;
  } kCases[] = {
      {"a file's folder", "2:data\\a.bin", "game\\data", kOtherLink, false},
      {"the file itself", "2:data\\a.bin", "game\\data\\a.bin", kOtherLink, false},
      {"the folder merged into", "2:movie", "game\\movie", kOtherLink, false},
      {"a link deep in the folder merged into", "2:movie", "game\\movie\\deep\\sub", kOtherLink, false},
      {"an administrator's link deep in it", "2:movie", "game\\movie\\deep\\sub", kAdministratorsLink, true},
      {"a link in another folder", "2:movie", "game\\data", kOtherLink, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    ResetUpdateState();
    fake->boxes.clear();
    fake->files_created.clear();
    fake->links = {{folder.Join(c.link), c.kind}};
    ReadyForRun(std::string("[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Class\r\nGameDir=Dir\r\n"
                            "[UPDATE]\r\nCopyFile00=") +
                c.line + "\r\n");
    fake->in_dialog = [](FakePlatform& f) {
      for (int i = 0; i < 3; ++i) f.Click(IDC_NEXT);
    };
    fake->cd_drives = "Q";
    fake->disc_files = {{"Q:\\DISC2.CHK", ""}, {"Q:\\data\\a.bin", "a"}, {"Q:\\movie\\deep\\sub\\op.mpg", "op"}};
    EXPECT_EQ(UpdaterMain(nullptr), c.copies ? 1 : 0);
    std::string beyond = folder.Join(c.link);
    for (const std::string& created : fake->files_created) {
      if (c.kind == kOtherLink) {
        EXPECT_NE(created.rfind(beyond, 0), 0u) << created;
      }
    }
    if (!c.copies) {
      char failed[1024];
      FormatText(failed, sizeof failed, kMsgCopyFailed, c.line + 2);
      EXPECT_EQ(Texts(), (std::vector<std::string>{failed, kMsgInterrupted}));
    }
  }
}

// What an interrupted run left is repaired at the next start, before the
// wizard opens, without a word: a backup whose target is missing goes back,
// a backup beside its target and the temporary files and the staging folders
// go. Nothing else is touched, and no link is followed, not even an
// administrator's.
TEST_F(FlowTest, NextStartRepairsWhatAnInterruptedRunLeft) {
  const char* script =
      "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Class\r\nGameDir=Dir\r\nUpdaterVersion=1\r\n"
      "[UPDATE]\r\nUpdateFile00=GAME.EXE\r\nUpdateFile01=d,C.SAV\r\n";
  for (const char* name : {"game\\sub", "game\\data", "save", "save\\other", "game\\~ks-staging",
                           "game\\~ks-staging\\movie", "game\\~ks-staging-0123456789abcdef"})
    MakeFolder(folder.Join(name));
  fake->registry["Software\\Co\\Dir"]["DataPath"] = folder.Join("save") + '\0';
  const std::string bak = kBackupSuffix;
  WriteWholeFile(folder.Join("game\\sub\\A.DAT") + bak, "old A");  // its target is missing
  WriteWholeFile(folder.Join("game\\B.DAT"), "new B");             // the replacement completed
  WriteWholeFile(folder.Join("game\\B.DAT") + bak, "old B");
  WriteWholeFile(folder.Join("save\\C.SAV") + bak, "old C");  // beside a DataFile line's target
  WriteWholeFile(folder.Join("save\\~ks0123ABCE.tmp"), "half written");
  WriteWholeFile(folder.Join("save\\other\\D.DOC") + bak, "another program's");  // no folder of the update's
  WriteWholeFile(folder.Join("save\\other\\~ks0123ABCF.tmp"), "another program's");
  WriteWholeFile(folder.Join("game\\~ks0123ABCD.tmp"), "half written");
  WriteWholeFile(folder.Join("game\\~ks-staging\\movie\\op.mpg"), "staged");  // an older updater's
  WriteWholeFile(folder.Join("game\\player.tmp"), "the player's");            // no name of ours
  WriteWholeFile(folder.Join("game\\~ks-staging.txt"), "the player's too");
  WriteWholeFile(folder.Join("game\\data\\~ks76543210.tmp"), "behind a link");
  fake->links[folder.Join("game\\data")] = kAdministratorsLink;
  Payload(script, {{"GAME.EXE", {'n'}, kTime, false}});
  fake->in_dialog = [this](FakePlatform& f) {
    EXPECT_EQ(ReadWholeFile(folder.Join("game\\sub\\A.DAT")), "old A") << "repaired before the wizard";
    f.Click(IDC_CANCEL);
  };
  EXPECT_EQ(UpdaterMain(nullptr), 0);
  EXPECT_EQ(Texts(), std::vector<std::string>{kMsgInterrupted}) << "nothing is shown for the repair";
  EXPECT_EQ(ReadWholeFile(folder.Join("game\\B.DAT")), "new B");
  EXPECT_FALSE(FileExists(folder.Join("game\\B.DAT") + bak));
  EXPECT_EQ(ReadWholeFile(folder.Join("save\\C.SAV")), "old C");
  EXPECT_FALSE(FileExists(folder.Join("save\\~ks0123ABCE.tmp")));
  EXPECT_EQ(ReadWholeFile(folder.Join("save\\other\\D.DOC") + bak), "another program's");
  EXPECT_TRUE(FileExists(folder.Join("save\\other\\~ks0123ABCF.tmp")));
  EXPECT_FALSE(FileExists(folder.Join("game\\~ks0123ABCD.tmp")));
  EXPECT_EQ(StagingFoldersIn(folder.Join("game")), 0);
  EXPECT_EQ(ReadWholeFile(folder.Join("game\\player.tmp")), "the player's");
  EXPECT_TRUE(FileExists(folder.Join("game\\~ks-staging.txt")));
  EXPECT_TRUE(FileExists(folder.Join("game\\data\\~ks76543210.tmp"))) << "never through a link";
  EXPECT_EQ(CountEntriesIn(folder.Join("game")), 6) << "SETUP.INI, sub, data, B.DAT and the player's two files";
}

// A link that a player's program left under a staging folder's name is
// removed as a link: what it leads to stays whole, and no later run copies
// through it (every run makes a staging folder of its own).
#ifndef _WIN32  // a real link, which only the native build can make here (the end-to-end cases make one under Wine)
TEST_F(FlowTest, APlantedStagingLinkIsRemovedAndNeverCopiedThrough) {
  const std::string outside = folder.Join("elsewhere");
  MakeFolder(outside);
  WriteWholeFile(outside + "\\keep", "keep");
  for (const char* name : {"~ks-staging", "~ks-staging-0123456789abcdef"}) {
    SCOPED_TRACE(name);
    ResetUpdateState();
    fake->boxes.clear();
    std::string native = folder.path().substr(2);  // C:\tmp\x is /tmp/x
    std::replace(native.begin(), native.end(), '\\', '/');
    ASSERT_EQ(symlink((native + "/elsewhere").c_str(), (native + "/game/" + name).c_str()), 0);
    fake->links[folder.Join(std::string("game\\") + name)] = kOtherLink;
    ReadyForRun(
        "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Class\r\nGameDir=Dir\r\n"
        "[UPDATE]\r\nCopyFile00=2:movie\r\n");
    fake->in_dialog = [](FakePlatform& f) {
      for (int i = 0; i < 3; ++i) f.Click(IDC_NEXT);
    };
    fake->cd_drives = "Q";
    fake->disc_files = {{"Q:\\DISC2.CHK", ""}, {"Q:\\movie\\EVIL.DLL", "planted"}};
    EXPECT_EQ(UpdaterMain(nullptr), 1);
    EXPECT_EQ(Texts(), std::vector<std::string>{});
    EXPECT_EQ(ReadWholeFile(folder.Join("game\\movie\\EVIL.DLL")), "planted") << "the folder arrives";
    EXPECT_EQ(CountEntriesIn(outside), 1) << "nothing reached where the link led, nothing was removed there";
    EXPECT_EQ(StagingFoldersIn(folder.Join("game")), 0) << "the link is gone";
    fake->links.clear();
  }
}
#endif

// A staging folder that cannot be made fails its line with the line's own
// box; nothing is copied anywhere else.
TEST_F(FlowTest, ALineWithoutAStagingFolderFails) {
  ReadyForRun(
      "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Class\r\nGameDir=Dir\r\n"
      "[UPDATE]\r\nCopyFile00=2:movie\r\n");
  fake->cd_drives = "Q";
  fake->disc_files = {{"Q:\\DISC2.CHK", ""}, {"Q:\\movie\\op.mpg", "op"}};
  fake->private_folder.FromNow();
  EXPECT_EQ(UpdaterMain(nullptr), 0);
  char failed[1024];
  FormatText(failed, sizeof failed, kMsgCopyFailed, "movie");
  EXPECT_EQ(Texts(), (std::vector<std::string>{failed, kMsgInterrupted}));
  EXPECT_TRUE(fake->shell_copies.empty());
  EXPECT_EQ(CountEntriesIn(folder.Join("game")), 1) << "SETUP.INI alone";
}

TEST_F(FlowTest, WizardIgnoresCommandsWhileBusyAndShowsTheWaitCursor) {
  ReadyForRun(
      "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Class\r\nGameDir=Dir\r\n"
      "[UPDATE]\r\nUpdateFile00=1,GAME.EXE\r\n");
  fake->in_dialog = [this](FakePlatform& f) {
    f.Click(IDC_NEXT);
    f.while_box_open = [&f, this] {
      // A nested message loop delivers these while the run's box is open.
      f.SendCommand(IDC_NEXT);
      f.SendCommand(IDC_BACK);
      f.SendCommand(IDC_CANCEL);
      EXPECT_FALSE(f.ended);
      EXPECT_EQ(f.SetCursorEvent(), 1);
      EXPECT_EQ(f.cursor, kCursorWait);
      EXPECT_EQ(C(IDC_INFO).text, kInfoRunning);
    };
    f.Click(IDC_NEXT);
    f.while_box_open = nullptr;
    EXPECT_EQ(f.SetCursorEvent(), 0);
    EXPECT_EQ(C(IDC_NEXT).text, kTextFinish);
    f.Click(IDC_NEXT);
  };
  EXPECT_EQ(UpdaterMain(nullptr), 1);
  EXPECT_EQ(Texts(), std::vector<std::string>{kMsgNothingToUpdate});
}

TEST_F(FlowTest, AgreementPageGuardsNext) {
  Payload(
      "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Class\r\nGameDir=Dir\r\nAgreementText=A.TXT\r\n"
      "[UPDATE]\r\nUpdateFile00=1,x\r\n",
      {{"A.TXT", {'t', 'e', 'r', 'm', 's'}, kTime, false}});
  fake->in_dialog = [this](FakePlatform& f) {
    EXPECT_EQ(C(IDC_AGREEMENT_TEXT).text, "terms");
    EXPECT_TRUE(C(IDC_DISAGREE).checked);
    EXPECT_FALSE(C(IDC_NEXT).enabled);
    f.Click(IDC_NEXT);
    EXPECT_NE(C(IDC_INFO).text, kInfoConfirm) << "a disabled button sends nothing";
    f.Click(IDC_AGREE);
    EXPECT_TRUE(C(IDC_NEXT).enabled && C(IDC_AGREE).checked && !C(IDC_DISAGREE).checked);
    f.Click(IDC_DISAGREE);
    EXPECT_FALSE(C(IDC_NEXT).enabled);
    f.Click(IDC_AGREE);
    f.Click(IDC_NEXT);
    EXPECT_EQ(C(IDC_INFO).text, kInfoConfirm);
    EXPECT_FALSE(C(IDC_AGREEMENT_TEXT).visible || C(IDC_AGREE).visible || C(IDC_DISAGREE).visible);
    f.Click(IDC_CANCEL);
  };
  EXPECT_EQ(UpdaterMain(nullptr), 0);
  EXPECT_EQ(fake->dialogs_run, std::vector<int>{IDD_WIZARD_AGREEMENT});
  EXPECT_EQ(Texts(), std::vector<std::string>{kMsgInterrupted});
  EXPECT_EQ(fake->boxes[0].owner, nullptr) << "the wizard has closed";
}

}  // namespace
