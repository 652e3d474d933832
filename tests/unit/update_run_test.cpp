// The update run without a window: RunUpdate with a seat of recorders, as
// mkupdate plan and the benchmarks call it. What the run reports, asks and
// returns is read here directly; no dialog is opened and none is ended.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "archive/archive_writer.h"
#include "archive/payload_archive.h"
#include "common/messages.h"
#include "common/text.h"
#include "common/update_state.h"
#include "flow/file_update.h"
#include "flow/updater_main.h"
#include "tests/support/test_files.h"

namespace {

constexpr uint64_t kTime = 133000000000000000ull;

// Everything the run told its seat, in order, as short texts.
struct Recorder {
  std::vector<std::string> events;
  std::vector<int> disc_answers;  // to the disc prompt, in order; 0 once they run out
  std::function<void()> on_disc_prompt;
};

const char* const kVerbs[] = {"new", "replace", "keep", "skip", "copy", "fail"};

RunSeat SeatOf(Recorder* r) {
  return {r,
          nullptr,
          [](void* c) { static_cast<Recorder*>(c)->events.push_back("begin"); },
          [](void* c, const char* text) { static_cast<Recorder*>(c)->events.push_back(std::string("info: ") + text); },
          [](void* c, const LineDecision& d, int line, int copy) {
            static_cast<Recorder*>(c)->events.push_back(std::string(copy ? "copy " : "file ") + std::to_string(line) +
                                                        ": " + kVerbs[d.Verb]);
          },
          [](void* c, int disc) {
            Recorder* r = static_cast<Recorder*>(c);
            r->events.push_back("disc " + std::to_string(disc) + "?");
            if (r->on_disc_prompt) r->on_disc_prompt();
            if (r->disc_answers.empty()) return 0;
            int answer = r->disc_answers.front();
            r->disc_answers.erase(r->disc_answers.begin());
            return answer;
          }};
}

class UpdateRunTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    MakeGameFolder();
    WriteWholeFile(folder.Join("game\\GAME.EXE"), "old");
  }
  void TearDown() override {
    CleanUpTemporary();
    PlatformTest::TearDown();
  }
  // The state the start-up leaves for the run: the script and the
  // installation read, with the update's files.
  void Ready(const std::string& update_section) {
    std::string script =
        "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Class\r\nGameDir=Dir\r\n"
        "[UPDATE]\r\n" +
        update_section;
    std::string error;
    payload_ = BuildArchive({{"UPDATE.INI", std::vector<uint8_t>(script.begin(), script.end()), kTime, true},
                             {"GAME.EXE", {'n', 'e', 'w'}, kTime, false}},
                            {}, &error);
    UpdateState.PayloadArchive = {payload_.data(), uint32_t(payload_.size())};
    ASSERT_NE(OpenPayloadArchive(), nullptr);
    CopyText(UpdateState.InstPath, kPathSize, folder.Join("game").c_str());
    ASSERT_TRUE(ReadUpdateScript());
    ASSERT_TRUE(ReadInstallation());
    fake->cd_drives = "Q";
  }
  std::vector<uint8_t> payload_;
};

std::string Copying(const char* path) {
  char text[1024];
  FormatText(text, sizeof text, kInfoCopying, path);
  return std::string("info: ") + text;
}

TEST_F(UpdateRunTest, EachOutcomeWithWhatTheRunReportedOnTheWay) {
  const struct {
    const char* what;
    const char* update;
    bool disc_in;  // the disc is in its drive from the start
    std::vector<int> disc_answers;
    RunOutcome outcome;
    std::vector<std::string> events;
    std::vector<std::string> boxes;
    const char* game_exe;
  } kCases[] = {
      {"completed",
       "UpdateFile00=GAME.EXE\r\nCopyFile00=2:MOVIE.DAT\r\n",
       true,
       {},
       kRunCompleted,
       {"begin", "file 0: replace", "copy 0: copy", Copying("MOVIE.DAT")},
       {},
       "new"},
      {"nothing applies",
       "UpdateFile00=9,GAME.EXE\r\n",
       true,
       {},
       kRunNothingToUpdate,
       {"begin"},
       {kMsgNothingToUpdate},
       "old"},
      {"no lists", "OverwriteOnly=0\r\n", true, {}, kRunFailed, {"begin"}, {kMsgNoLists}, "old"},
      {"a line fails",
       "UpdateFile00=GAME.EXE\r\nUpdateFile01=MISSING.DAT\r\n",
       true,
       {},
       kRunFailed,
       {"begin", "file 0: replace", "file 1: fail"},
       {kMsgNoEntry, kMsgWriteFailed},
       "new"},
      {"the disc asked for and given up",
       "UpdateFile00=GAME.EXE\r\nCopyFile00=2:MOVIE.DAT\r\n",
       false,
       {},
       kRunFailed,
       {"begin", "file 0: replace", "disc 2?"},
       {},
       "new"},
      {"the disc asked for and put in",
       "AllOrNothing=1\r\nUpdateFile00=GAME.EXE\r\nCopyFile00=2:MOVIE.DAT\r\n",
       false,
       {1},
       kRunCompleted,
       {"begin", "file 0: replace", "disc 2?", "copy 0: copy", Copying("MOVIE.DAT")},
       {},
       "new"},
      {"all or nothing, the disc given up",
       "AllOrNothing=1\r\nUpdateFile00=GAME.EXE\r\nCopyFile00=2:MOVIE.DAT\r\n",
       false,
       {},
       kRunFailed,
       {"begin", "file 0: replace", "disc 2?"},
       {},
       "old"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    CleanUpTemporary();
    ResetUpdateState();
    fake->boxes.clear();
    WriteWholeFile(folder.Join("game\\GAME.EXE"), "old");
    Ready(c.update);
    fake->disc_files = {{"Q:\\MOVIE.DAT", "movie"}};
    if (c.disc_in) fake->disc_files["Q:\\DISC2.CHK"] = "";
    Recorder r;
    r.disc_answers = c.disc_answers;
    r.on_disc_prompt = [this] { fake->disc_files["Q:\\DISC2.CHK"] = ""; };  // put in while asked
    EXPECT_EQ(RunUpdate(SeatOf(&r)), c.outcome);
    EXPECT_EQ(r.events, c.events);
    EXPECT_EQ(Texts(), c.boxes);
    EXPECT_EQ(ReadWholeFile(folder.Join("game\\GAME.EXE")), c.game_exe);
    EXPECT_TRUE(fake->dialogs_run.empty() && !fake->ended) << "no window opened or ended";
  }
}

TEST_F(UpdateRunTest, ShortOfSpaceSaysSoAndChangesNothing) {
  Ready("RequiredDiskSpace=1000\r\nUpdateFile00=GAME.EXE\r\n");
  fake->fixed_free_space = true;
  fake->free_bytes = 10;
  Recorder r;
  EXPECT_EQ(RunUpdate(SeatOf(&r)), kRunShortOfSpace);
  char text[1024];
  FormatText(text, sizeof text, kInfoDiskShort, folder.Join("").substr(0, 2).c_str(), uint64_t(990));
  EXPECT_EQ(r.events, std::vector<std::string>{std::string("info: ") + text}) << "not begun";
  EXPECT_TRUE(Texts().empty());
  EXPECT_EQ(ReadWholeFile(folder.Join("game\\GAME.EXE")), "old");
}

// Both puts make the same changes: a read-only file that the time rule keeps
// loses the attribute with all or nothing as without it (it once kept it
// there), and keeps its content and its time.
TEST_F(UpdateRunTest, BothPutsLeaveTheSameInstallation) {
  for (const char* all_or_nothing : {"0", "1"}) {
    SCOPED_TRACE(std::string("AllOrNothing=") + all_or_nothing);
    CleanUpTemporary();
    ResetUpdateState();
    const uint64_t newer = kTime + 10000000;
    NativePlatform()->SetAttributes(folder.Join("game\\GAME.EXE").c_str(), kAttrNormal);
    WriteWholeFile(folder.Join("game\\GAME.EXE"), "newer", newer);
    MakeReadOnly(folder.Join("game\\GAME.EXE"));
    Ready(std::string("AllOrNothing=") + all_or_nothing + "\r\nUpdateFile00=u,GAME.EXE\r\nUpdateFile01=NEW.DAT\r\n");
    Recorder r;
    EXPECT_EQ(RunUpdate(SeatOf(&r)), kRunFailed) << "NEW.DAT is no entry: the run fails after the kept line";
    EXPECT_EQ((NativePlatform()->GetAttributes(folder.Join("game\\GAME.EXE").c_str()) & kAttrReadOnly) != 0,
              std::string(all_or_nothing) == "1")
        << "a failed run: all or nothing changed nothing, the direct put had cleared it";
    CleanUpTemporary();
    ResetUpdateState();
    Ready(std::string("AllOrNothing=") + all_or_nothing + "\r\nUpdateFile00=u,GAME.EXE\r\n");
    EXPECT_EQ(RunUpdate(SeatOf(&r)), kRunCompleted);
    EXPECT_EQ(ReadWholeFile(folder.Join("game\\GAME.EXE")), "newer");
    EXPECT_EQ(LastWriteTime(folder.Join("game\\GAME.EXE")), newer);
    EXPECT_EQ(NativePlatform()->GetAttributes(folder.Join("game\\GAME.EXE").c_str()) & kAttrReadOnly, 0u);
  }
}

}  // namespace
