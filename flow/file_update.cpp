#include "flow/file_update.h"

#include <cstring>

#include "archive/file_output.h"
#include "archive/payload_archive.h"
#include "common/error_box.h"
#include "common/messages.h"
#include "common/text.h"
#include "flow/disc_copy.h"
#include "flow/line_decision.h"
#include "flow/placement.h"
#include "settings/settings_readers.h"
#include "settings/update_script.h"

namespace {

// A place for one more item at the end of the table, which grows as the
// lines need it; none when the memory cannot be had (the line is then lost,
// and the run fails on the next start of the list).
UpdateItem* NewUpdateItem() {
  if (UpdateState.UpdateItemCount == UpdateState.UpdateItemRoom) {
    int32_t room = UpdateState.UpdateItemRoom ? UpdateState.UpdateItemRoom * 2 : kListLines;
    auto* bigger = static_cast<UpdateItem*>(Os->Alloc(uint32_t(room) * uint32_t(sizeof(UpdateItem)), 1));
    if (bigger == nullptr) return nullptr;
    if (UpdateState.UpdateItems != nullptr) {
      memcpy(bigger, UpdateState.UpdateItems, sizeof(UpdateItem) * size_t(UpdateState.UpdateItemCount));
      Os->Free(UpdateState.UpdateItems);
    }
    UpdateState.UpdateItems = bigger;
    UpdateState.UpdateItemRoom = room;
  }
  UpdateItem* item = &UpdateState.UpdateItems[UpdateState.UpdateItemCount++];
  *item = {};
  return item;
}

bool g_list_lost = false;  // a line had no room in the table

void AddItem(UpdateKind kind, const char* path, int32_t name_offset) {
  UpdateItem* item = NewUpdateItem();
  if (item == nullptr) {
    g_list_lost = true;
    return;
  }
  item->Kind = kind;
  CopyText(item->Path, sizeof item->Path, path);
  item->NameOffset = name_offset;
  item->Folder = IsFolderPath(item->Path);
}

// One update-file line: an item when it applies to this installation.
void AddUpdateItem(const char* value) {
  UpdateFileLine line;
  ParseUpdateFileLine(value, &line);
  if (LineAppliesToMode(line.HasMode, line.Mode)) AddItem(line.Kind, line.Path, line.NameOffset);
}

// One removal line, "[mode,]path": an item when it applies.
void AddRemovalItem(const char* value) {
  RemovalLine line;
  ParseRemovalLine(value, &line);
  if (LineAppliesToMode(line.HasMode, line.Mode)) AddItem(Removal, line.Path, 0);
}

}  // namespace

int ReadUpdateList() {
  UpdateState.UpdateItemCount = 0;
  g_list_lost = false;
  // Removals come first: a file of the old release may have to make room
  // for a folder of the new one of the same name, or the other way round.
  int removals = ReadScriptList("RemoveFile%02i", ReadListCount("RemoveFileCount"), kLongTextSize, AddRemovalItem);
  int updates = ReadScriptList("UpdateFile%02i", ReadListCount("UpdateFileCount"), kLongTextSize, AddUpdateItem);
  return removals || updates;
}

int UpdateListIsWhole() { return !g_list_lost; }

void ReleaseUpdateList() {
  if (UpdateState.UpdateItems != nullptr) Os->Free(UpdateState.UpdateItems);
  UpdateState.UpdateItems = nullptr;
  UpdateState.UpdateItemCount = UpdateState.UpdateItemRoom = 0;
}

int ApplyUpdateItem(const UpdateItem& item, int overwrite_only) {
  LineDecision decision;
  DecideUpdateItem(item, overwrite_only, &decision);
  return CarryOutUpdateItem(decision);
}

int DiskSpaceShortfall(char drive[3], uint64_t* shortfall) {
  uint32_t required = ReadRequiredDiskSpace();
  DriveOf(UpdateState.InstPath, drive);
  if (required == 0) return 0;
  uint64_t free_bytes = 0, total = 0;
  if (!QueryFreeSpace(drive, &free_bytes, &total, nullptr) || required <= free_bytes) return 0;
  *shortfall = uint64_t(required) - free_bytes;
  return 1;
}

namespace {


// --- The player's view of a long run ------------------------------------------
// A run of many files or many bytes tells the player, a few times a second
// at most, which file it writes and how much of the whole is done; a short
// one shows "アップデートを実行しています" alone, as it always has.

constexpr int32_t kLongRunFiles = kListLines;
constexpr uint64_t kLongRunBytes = 32u << 20;
constexpr uint32_t kProgressSpacing = 250;  // milliseconds

struct Progress {
  const RunSeat* seat;  // none outside a long run
  uint64_t total, done;
  int32_t files, files_done;
  const char* file;  // the one being written, under its base folder
  uint32_t shown_at;
  bool shown;
};
Progress g_progress;

// A line failed: its box (when it has one), and nothing the run kept stays.
RunOutcome Fail(const char* message) {
  g_progress.seat = nullptr;
  if (message != nullptr) ShowUpdaterError(message);
  UpdateState.RunPut->Discard();
  UpdateState.RunPut = nullptr;
  return kRunFailed;
}

// What the lines will write, at most: every file of every line, before
// anything is decided.
void MeasureRun(const RunSeat& seat) {
  g_progress = {};
  uint64_t bytes = 0;
  int32_t files = 0;
  uint32_t entries = ArchiveEntryCount();
  for (int i = 0; i < UpdateState.UpdateItemCount; ++i) {
    const UpdateItem& line = UpdateState.UpdateItems[i];
    ArchiveEntryInfo info{};
    uint32_t index = 0;
    if (line.Kind == Removal) continue;
    if (!line.Folder) {
      ++files;
      if (FindArchiveEntry(line.Path, &index, &info) || FindArchiveEntry(line.Path + line.NameOffset, &index, &info))
        bytes += info.Size;
      continue;
    }
    for (uint32_t e = 0; e < entries; ++e) {
      UpdateItem file;
      if (FileOfFolderLine(line, e, &file) && GetArchiveEntryInfo(e, &info)) {
        ++files;
        bytes += info.Size;
      }
    }
  }
  if (files <= kLongRunFiles && bytes < kLongRunBytes) return;
  g_progress.seat = &seat;
  g_progress.total = bytes;
  g_progress.files = files;
}

void ShowProgress(uint64_t file_done) {
  Progress& p = g_progress;
  if (p.seat == nullptr || p.file == nullptr || p.seat->Progress == nullptr) return;
  uint32_t now = Os->Milliseconds();
  if (p.shown && now - p.shown_at < kProgressSpacing) return;
  uint64_t share = p.total > 0 ? (p.done + file_done) * 100 / p.total
                               : uint64_t(p.files_done) * 100 / uint64_t(p.files > 0 ? p.files : 1);
  char text[kLongTextSize];
  FormatText(text, sizeof text, kInfoRunningFile, p.file, uint32_t(share > 100 ? 100 : share));
  p.seat->Progress(p.seat->context, text);
  p.shown = true;
  p.shown_at = now;
}

// One file (or removal) of line `line`: decided, told, carried out.
bool CarryOutLine(const RunSeat& seat, const UpdateItem& item, int line, int overwrite_only) {
  LineDecision decision;
  DecideUpdateItem(item, overwrite_only, &decision);
  if (seat.Line != nullptr) seat.Line(seat.context, decision, line, 0);
  bool writes = decision.Why == kWhyWritten;
  if (writes) {
    g_progress.file = decision.Target + decision.RelativeAt;
    ShowProgress(0);
  }
  bool ok = CarryOutUpdateItem(decision) != 0;
  if (item.Kind != Removal) ++g_progress.files_done;
  if (writes) g_progress.done += decision.Bytes;
  g_progress.file = nullptr;
  return ok;
}

}  // namespace

RunOutcome RunUpdate(const RunSeat& seat) {
  char drive[3];
  uint64_t shortfall = 0;
  if (DiskSpaceShortfall(drive, &shortfall)) {
    char text[kLongTextSize];
    FormatText(text, sizeof text, kInfoDiskShort, drive, shortfall);
    seat.Progress(seat.context, text);
    return kRunShortOfSpace;
  }
  seat.Begin(seat.context);
  int overwrite_only = ReadOverwriteOnly();
  UpdateState.AllOrNothing = ReadAllOrNothing();
  UpdateState.RunPut = PutFor(UpdateState.AllOrNothing);  // every change of this run goes through it
  int has_update_list = ReadUpdateList();
  int has_copy_list = ReadDiscCopyList();
  if (!has_update_list && !has_copy_list) return Fail(kMsgNoLists);
  if (UpdateState.UpdateItemCount == 0 && UpdateState.DiscCopyItemCount == 0) {
    ShowUpdaterError(kMsgNothingToUpdate);
    UpdateState.RunPut = nullptr;
    return kRunNothingToUpdate;
  }
  if (!UpdateListIsWhole()) return Fail(kMsgNoMemory);
  MeasureRun(seat);
  for (int i = 0; i < UpdateState.UpdateItemCount; ++i) {
    const UpdateItem& line = UpdateState.UpdateItems[i];
    // A folder line is each file of the update below its folder, in the
    // archive's order; one that finds none fails as a missing entry.
    bool folder_line = line.Folder && line.Kind != Removal;
    uint32_t entries = folder_line ? ArchiveEntryCount() : 0;
    int files = 0;
    for (uint32_t e = 0; e < entries; ++e) {
      UpdateItem file;
      if (!FileOfFolderLine(line, e, &file)) continue;
      ++files;
      if (!CarryOutLine(seat, file, i, overwrite_only)) return Fail(kMsgWriteFailed);
    }
    if (files == 0 && !CarryOutLine(seat, line, i, overwrite_only)) return Fail(kMsgWriteFailed);
  }
  g_progress.seat = nullptr;  // the disc copy says what it copies itself
  if (UpdateState.DiscCopyItemCount > 0 && !RunDiscCopy(seat)) return Fail(nullptr);  // its box is shown
  int placed = UpdateState.RunPut->Finish();  // a failure has shown its box and undone everything
  UpdateState.RunPut = nullptr;
  return placed ? kRunCompleted : kRunFailed;
}

void RunWriting(uint64_t done, uint64_t) { ShowProgress(done); }
