#include "flow/file_update.h"

#include "archive/file_output.h"
#include "common/error_box.h"
#include "common/messages.h"
#include "common/text.h"
#include "flow/disc_copy.h"
#include "flow/line_decision.h"
#include "flow/placement.h"
#include "settings/settings_readers.h"
#include "settings/update_script.h"

// One update-file line: an item when it applies to this installation.
static void AddUpdateItem(const char* value) {
  UpdateFileLine line;
  ParseUpdateFileLine(value, &line);
  if (!LineAppliesToMode(line.HasMode, line.Mode)) return;
  UpdateItem& item = UpdateState.UpdateItems[UpdateState.UpdateItemCount++];
  item.Kind = line.Kind;
  CopyText(item.Path, sizeof item.Path, line.Path);
  item.NameOffset = line.NameOffset;
}

int ReadUpdateList() {
  UpdateState.UpdateItemCount = 0;
  return ReadScriptList("UpdateFile%02i", kLongTextSize, AddUpdateItem);
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

// A line failed: its box (when it has one), and nothing the run kept stays.
RunOutcome Fail(const char* message) {
  if (message != nullptr) ShowUpdaterError(message);
  UpdateState.RunPut->Discard();
  UpdateState.RunPut = nullptr;
  return kRunFailed;
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
  for (int i = 0; i < UpdateState.UpdateItemCount; ++i) {
    LineDecision decision;
    DecideUpdateItem(UpdateState.UpdateItems[i], overwrite_only, &decision);
    if (seat.Line != nullptr) seat.Line(seat.context, decision, i, 0);
    if (!CarryOutUpdateItem(decision)) return Fail(kMsgWriteFailed);
  }
  if (UpdateState.DiscCopyItemCount > 0 && !RunDiscCopy(seat)) return Fail(nullptr);  // its box is shown
  int placed = UpdateState.RunPut->Finish();  // a failure has shown its box and undone everything
  UpdateState.RunPut = nullptr;
  return placed ? kRunCompleted : kRunFailed;
}
