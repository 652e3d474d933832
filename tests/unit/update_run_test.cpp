// The update run without a window: RunUpdate with a seat of recorders, as
// mkupdate plan and the benchmarks call it. What the run reports, asks and
// returns is read here directly; no dialog is opened and none is ended.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "archive/archive_writer.h"
#include "archive/payload_archive.h"
#include "archive/payload_checksum.h"
#include "common/messages.h"
#include "common/text.h"
#include "common/update_state.h"
#include "flow/file_update.h"
#include "flow/recovery.h"
#include "flow/updater_main.h"
#include "tests/support/test_files.h"
#include "tools/mkupdate/delta_maker.h"

namespace {

constexpr uint64_t kTime = 133000000000000000ull;

// Everything the run told its seat, in order, as short texts.
struct Recorder {
  std::vector<std::string> events;
  std::vector<int> disc_answers;  // to the disc prompt, in order; 0 once they run out
  std::function<void()> on_disc_prompt;
};

const char* const kVerbs[] = {"new", "replace", "keep", "skip", "copy", "fail", "remove"};

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
  void Ready(const std::string& update_section, const std::map<std::string, std::string>& files = {},
             const std::vector<ArchiveInput>& more = {}) {
    std::string script =
        "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Class\r\nGameDir=Dir\r\n"
        "AgreementTitle=TITLE.TXT\r\n[UPDATE]\r\n" +
        update_section;
    std::vector<ArchiveInput> entries = {
        {"UPDATE.INI", std::vector<uint8_t>(script.begin(), script.end()), kTime, true},
        {"GAME.EXE", {'n', 'e', 'w'}, kTime, false},
        {"TITLE.TXT", {'h', 'i'}, kTime, false}};  // shown on the first page, never written
    for (const auto& [name, bytes] : files)
      entries.push_back({name, std::vector<uint8_t>(bytes.begin(), bytes.end()), kTime, true});
    entries.insert(entries.end(), more.begin(), more.end());
    std::string error;
    payload_ = BuildArchive(entries, {}, &error);
    ASSERT_FALSE(payload_.empty()) << error;
    UpdateState.PayloadArchive = {payload_.data(), uint32_t(payload_.size())};
    ASSERT_NE(OpenPayloadArchive(), nullptr);
    CopyText(UpdateState.InstPath, kPathSize, folder.Join("game").c_str());
    ASSERT_TRUE(ReadUpdateScript());
    ASSERT_TRUE(ReadInstallation());
    fake->cd_drives = "Q";
  }
  // Before each case of a table: no state, no box, an empty game folder.
  void StartOver() {
    CleanUpTemporary();
    ResetUpdateState();
    fake->boxes.clear();
    NativePlatform()->SetAttributes(folder.Join("game").c_str(), kAttrNormal);
    RemoveTree(folder.Join("game").c_str());
    MakeFolder(folder.Join("game"));
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

// A run of many files tells the player which file it writes and how far
// it has got, never more often than a few times a second; a run of a few
// files shows what it always showed.
TEST_F(UpdateRunTest, ALongRunShowsItsProgressSpacedOut) {
  std::string lines = "UpdateFileCount=40\r\n";
  std::map<std::string, std::string> files;
  for (int i = 0; i < 40; ++i) {
    char line[64], name[16];
    snprintf(name, sizeof name, "F%02i.DAT", i);
    snprintf(line, sizeof line, "UpdateFile%02i=%s\r\n", i, name);
    lines += line;
    files[name] = std::string(1000, 'x');
  }
  auto progress = [](const Recorder& r) {
    std::vector<std::string> shown;
    for (const std::string& e : r.events)
      if (e.rfind("info: ", 0) == 0) shown.push_back(e.substr(6));
    return shown;
  };
  auto text = [](const char* file, unsigned share) {
    char t[1024];
    FormatText(t, sizeof t, kInfoRunningFile, file, share);
    return std::string(t);
  };
  // No time passes: the first file alone is shown.
  fake->clock_step = 0;
  Ready(lines, files);
  Recorder still;
  EXPECT_EQ(RunUpdate(SeatOf(&still)), kRunCompleted);
  EXPECT_EQ(progress(still), std::vector<std::string>{text("F00.DAT", 0)});
  // A second between readings: every file at its start and as it is
  // written, the share never going back, up to the whole.
  CleanUpTemporary();
  ResetUpdateState();
  fake->clock_step = 1000;
  Ready(lines, files);
  Recorder r;
  EXPECT_EQ(RunUpdate(SeatOf(&r)), kRunCompleted);
  std::vector<std::string> shown = progress(r);
  ASSERT_GE(shown.size(), 40u);
  EXPECT_EQ(shown.front(), text("F00.DAT", 0));
  EXPECT_EQ(shown.back(), text("F39.DAT", 100));
  unsigned last = 0;
  for (const std::string& t : shown) {
    unsigned share = unsigned(atoi(t.substr(t.rfind('(') + 1).c_str()));
    EXPECT_GE(share, last) << t;
    last = share;
  }
  // Sixteen files: as before, nothing but the run's own lines.
  CleanUpTemporary();
  ResetUpdateState();
  Ready("UpdateFile00=GAME.EXE\r\n");
  Recorder short_run;
  EXPECT_EQ(RunUpdate(SeatOf(&short_run)), kRunCompleted);
  EXPECT_TRUE(progress(short_run).empty());
}

// The game folder as it stands: each file with its content, each folder as
// its path and a separator.
void ListTree(const std::string& folder, const std::string& under, std::map<std::string, std::string>* tree) {
  struct Walk {
    const std::string& folder;
    const std::string& under;
    std::map<std::string, std::string>* tree;
  } walk = {folder, under, tree};
  NativePlatform()->ListFolder(
      folder.c_str(),
      [](void* c, const char* name, int is_folder, LinkKind) {
        Walk* w = static_cast<Walk*>(c);
        std::string relative = w->under + name;
        if (is_folder) {
          (*w->tree)[relative + "\\"] = "";
          ListTree(w->folder + "\\" + name, relative + "\\", w->tree);
        } else {
          (*w->tree)[relative] = ReadWholeFile(w->folder + "\\" + name);
        }
      },
      &walk);
}

// Updates of every shape, with either put: what the installation holds
// afterwards, file by file. Each case would catch a fault of its own: a
// file line that finds its entry by its last component alone (two files of
// one name), a folder line that writes the script, misses a new folder or
// leaves the folder, a list cut at 16 lines, a removal that leaves its file
// or takes the player's, an all-or-nothing run that keeps a removal or a
// new folder after it failed.
TEST_F(UpdateRunTest, UpdatesOfEveryShapeLeaveTheInstallationAsTheyShould) {
  const std::map<std::string, std::string> kBefore = {
      {"GAME.EXE", "old"},  {"SETUP.INI", kSetupIni},      {"bg\\", ""},          {"bg\\001.bmp", "old bg"},
      {"ev\\", ""},        {"ev\\001.bmp", "old ev"},   {"old.dat", "gone soon"}, {"olddir\\", ""},
      {"olddir\\a", "a"},  {"olddir\\sub\\", ""},      {"olddir\\sub\\b", "b"}};
  const std::map<std::string, std::string> kTree = {{"bg\\001.bmp", "new bg"},
                                                    {"ev\\001.bmp", "new ev"},
                                                    {"voice\\deep\\01.ogg", "voice"}};
  // The installation after: kBefore with these changes ("-" : gone).
  using Changes = std::map<std::string, std::string>;
  std::string twenty;
  std::map<std::string, std::string> twenty_files;
  Changes sixteen_written, twenty_written;
  for (int i = 0; i < 20; ++i) {
    char line[64], name[16];
    snprintf(line, sizeof line, "UpdateFile%02i=F%02i.DAT\r\n", i, i);
    snprintf(name, sizeof name, "F%02i.DAT", i);
    twenty += line;
    twenty_files[name] = name;
    twenty_written[name] = name;
    if (i < 16) sixteen_written[name] = name;
  }
  const struct {
    const char* what;
    std::string update;
    std::map<std::string, std::string> files;
    RunOutcome outcome;
    Changes after;           // with either put
    Changes after_direct;    // without all or nothing, when it differs
    // All or nothing cannot do it (the run fails, nothing changed): a file
    // that becomes a folder stays until the end, in the folder's way.
    bool staged_fails = false;
  } kCases[] = {
      {"two files of one name, each found by its whole path",
       "UpdateFile00=bg\\001.bmp\r\nUpdateFile01=ev\\001.bmp\r\n",
       kTree,
       kRunCompleted,
       {{"bg\\001.bmp", "new bg"}, {"ev\\001.bmp", "new ev"}},
       {}},
      {"a flat update's line finds its entry by the last component, as always",
       "UpdateFile00=bg\\GAME.EXE\r\n",
       {},
       kRunCompleted,
       {{"bg\\GAME.EXE", "new"}},
       {}},
      {"the whole update: every file, its new folders made, never the script or a text it shows",
       "UpdateFile00=.\\\r\n",
       kTree,
       kRunCompleted,
       {{"GAME.EXE", "new"},
        {"bg\\001.bmp", "new bg"},
        {"ev\\001.bmp", "new ev"},
        {"voice\\", ""},
        {"voice\\deep\\", ""},
        {"voice\\deep\\01.ogg", "voice"}},
       {}},
      {"one folder of the update", "UpdateFile00=ev\\\r\n", kTree, kRunCompleted, {{"ev\\001.bmp", "new ev"}}, {}},
      {"a folder line that finds no file fails", "UpdateFile00=GAME.EXE\r\nUpdateFile01=movies\\\r\n", kTree,
       kRunFailed, {}, {{"GAME.EXE", "new"}}},
      {"without a count, sixteen lines are read", twenty, twenty_files, kRunCompleted, sixteen_written, {}},
      {"twenty lines counted", "UpdateFileCount=20\r\n" + twenty, twenty_files, kRunCompleted, twenty_written, {}},
      {"removals: a file, a folder with everything in it, one already gone",
       "RemoveFile00=old.dat\r\nRemoveFile01=olddir\\\r\nRemoveFile02=never.dat\r\n",
       {},
       kRunCompleted,
       {{"old.dat", "-"}, {"olddir\\", "-"}, {"olddir\\a", "-"}, {"olddir\\sub\\", "-"}, {"olddir\\sub\\b", "-"}},
       {}},
      {"a folder removed and written again holds the new files alone",
       "RemoveFile00=bg\\\r\nUpdateFile00=bg\\\r\n",
       {{"bg\\002.bmp", "two"}},
       kRunCompleted,
       {{"bg\\001.bmp", "-"}, {"bg\\002.bmp", "two"}},
       {}},
      {"a file that becomes a folder",
       "RemoveFile00=old.dat\r\nUpdateFile00=.\\\r\n",
       {{"old.dat\\inside", "in"}},
       kRunCompleted,
       {{"GAME.EXE", "new"}, {"old.dat", "-"}, {"old.dat\\", ""}, {"old.dat\\inside", "in"}},
       {},
       true},
      {"a removal fails on a folder where it names a file, and the whole run is taken back",
       "RemoveFile00=old.dat\r\nRemoveFile01=bg\r\nUpdateFile00=GAME.EXE\r\n",
       {},
       kRunFailed,
       {},
       {{"old.dat", "-"}}},
      {"all or nothing takes removals and new folders back when a later line fails",
       "RemoveFile00=old.dat\r\nRemoveFile01=olddir\\\r\nUpdateFile00=.\\\r\nUpdateFile01=MISSING.DAT\r\n",
       kTree,
       kRunFailed,
       {},
       {{"old.dat", "-"},
        {"olddir\\", "-"},
        {"olddir\\a", "-"},
        {"olddir\\sub\\", "-"},
        {"olddir\\sub\\b", "-"},
        {"GAME.EXE", "new"},
        {"bg\\001.bmp", "new bg"},
        {"ev\\001.bmp", "new ev"},
        {"voice\\", ""},
        {"voice\\deep\\", ""},
        {"voice\\deep\\01.ogg", "voice"}}},
      {"the installation folder itself is never removed", "RemoveFile00=.\\\r\n", {}, kRunFailed, {}, {}},
  };
  for (const auto& c : kCases) {
    for (const char* all_or_nothing : {"0", "1"}) {
      SCOPED_TRACE(std::string(c.what) + ", AllOrNothing=" + all_or_nothing);
      StartOver();
      for (const auto& [path, bytes] : kBefore) {
        if (path.back() == '\\') MakeFolder(folder.Join("game\\" + path.substr(0, path.size() - 1)));
        else WriteWholeFile(folder.Join("game\\" + path), bytes);
      }
      Ready(std::string("AllOrNothing=") + all_or_nothing + "\r\n" + c.update, c.files);
      Recorder r;
      bool staged = std::string(all_or_nothing) == "1";
      RunOutcome outcome = staged && c.staged_fails ? kRunFailed : c.outcome;
      EXPECT_EQ(RunUpdate(SeatOf(&r)), outcome);
      std::map<std::string, std::string> expected = kBefore;
      const Changes& changes = staged && c.staged_fails ? Changes{} : !staged && outcome == kRunFailed ? c.after_direct : c.after;
      for (const auto& [path, bytes] : changes) {
        if (bytes == "-") expected.erase(path);
        else expected[path] = bytes;
      }
      std::map<std::string, std::string> tree;
      ListTree(folder.Join("game"), "", &tree);
      EXPECT_EQ(tree, expected);
    }
  }
}

// Files carried as deltas against the previous release, by what the player
// has: the previous release is patched, the new release left alone (a run
// after an interrupted one), anything else (another version, a file gone)
// stops the run with the box naming the file; all or nothing then leaves
// the installation as it was, lines before it included. Each case would
// catch a fault: a delta applied to a file it was not made from, a second
// run that fails on its own earlier work, a wrong file reported as done.
TEST_F(UpdateRunTest, DeltasPatchThePreviousReleaseAndStopOnAnyOther) {
  std::string old_release(40000, '\0'), new_release;
  uint32_t seed = 12345;
  for (char& c : old_release) c = char((seed = seed * 1103515245 + 12345) >> 24);
  new_release = old_release;
  for (size_t at : {100u, 9000u, 25000u}) new_release.replace(at, 8, "RELEASE2");
  ArchiveInput delta{"MOVIE.DAT", std::vector<uint8_t>(new_release.begin(), new_release.end()), kTime, true};
  std::vector<uint8_t> old_bytes(old_release.begin(), old_release.end());
  ASSERT_TRUE(MakeDeltaPatch(old_bytes, delta.data, &delta.delta_patch));
  delta.has_delta = true;
  delta.delta_old_size = old_bytes.size();
  delta.delta_old_hash = Xxh64(old_bytes.data(), old_bytes.size(), 0);
  std::string other = old_release;
  other[20000] ^= 1;
  char box[1024];
  FormatText(box, sizeof box, kMsgOtherRelease, "Title", "MOVIE.DAT");

  const struct {
    const char* what;
    const char* before;  // MOVIE.DAT before the run; nullptr: none
    RunOutcome outcome;
    bool boxed;
  } kCases[] = {
      {"the previous release is patched", old_release.c_str(), kRunCompleted, false},
      {"the new release is left alone", new_release.c_str(), kRunCompleted, false},
      {"another version stops the run", other.c_str(), kRunFailed, true},
      {"a missing file stops the run", nullptr, kRunFailed, true},
  };
  for (const auto& c : kCases) {
    for (const char* all_or_nothing : {"0", "1"}) {
      SCOPED_TRACE(std::string(c.what) + ", AllOrNothing=" + all_or_nothing);
      StartOver();
      WriteWholeFile(folder.Join("game\\GAME.EXE"), "old");
      WriteWholeFile(folder.Join("game\\SETUP.INI"), kSetupIni);
      std::string movie = folder.Join("game\\MOVIE.DAT");
      std::string before = c.before == nullptr ? "" : c.before == other.c_str() ? other
                                                   : c.before == new_release.c_str() ? new_release : old_release;
      if (c.before != nullptr) WriteWholeFile(movie, before);
      Ready(std::string("AllOrNothing=") + all_or_nothing + "\r\nUpdateFile00=GAME.EXE\r\nUpdateFile01=MOVIE.DAT\r\n",
            {}, {delta});
      Recorder r;
      EXPECT_EQ(RunUpdate(SeatOf(&r)), c.outcome);
      bool staged = std::string(all_or_nothing) == "1";
      if (c.outcome == kRunCompleted) {
        EXPECT_EQ(ReadWholeFile(folder.Join("game\\GAME.EXE")), "new");
        EXPECT_TRUE(ReadWholeFile(movie) == new_release);
      } else {
        EXPECT_EQ(ReadWholeFile(folder.Join("game\\GAME.EXE")), staged ? "old" : "new");
        EXPECT_EQ(Os->GetAttributes(movie.c_str()) != kInvalidAttributes, c.before != nullptr);
        if (c.before != nullptr) EXPECT_TRUE(ReadWholeFile(movie) == before);
      }
      // The file's own box, then the run's failed-write box as after any failed line.
      ASSERT_EQ(fake->boxes.size(), c.boxed ? 2u : 0u);
      if (c.boxed) EXPECT_EQ(fake->boxes[0].text, box);
      if (c.boxed) EXPECT_EQ(fake->boxes[1].text, kMsgWriteFailed);
    }
  }
}

}  // namespace
