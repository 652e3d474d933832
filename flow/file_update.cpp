#include "flow/file_update.h"

#include "archive/file_output.h"
#include "common/error_box.h"
#include "common/messages.h"
#include "common/text.h"
#include "flow/disc_copy.h"
#include "flow/line_decision.h"
#include "flow/placement.h"
#include "flow/wizard.h"
#include "resources/resource_ids.h"
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

// False when the space is short: the wizard then waits with "戻る" and "中止".
static int EnoughDiskSpace(PlatformWindow window) {
  char drive[3];
  uint64_t shortfall = 0;
  if (!DiskSpaceShortfall(drive, &shortfall)) return 1;
  SetInfoText(window, kInfoDiskShort, drive, shortfall);
  SetWizardButtons(window, 1, 0, 1);
  return 0;
}

static void EndRun(PlatformWindow window, const char* message) {
  ShowUpdaterError(message);
  DiscardDeferred();
  Os->EndWizardDialog(window, -1);
}

void RunFileUpdate(PlatformWindow window) {
  UpdateState.UpdateCompleted = 0;
  if (!EnoughDiskSpace(window)) return;
  SetInfoText(window, "%s", kInfoRunning);
  SetWizardButtons(window, 0, 0, 0);
  Os->SetCursorShape(kCursorWait);
  int overwrite_only = ReadOverwriteOnly();
  UpdateState.AllOrNothing = ReadAllOrNothing();
  UpdateState.Deferring = UpdateState.AllOrNothing;
  int has_update_list = ReadUpdateList();
  int has_copy_list = ReadDiscCopyList();
  if (!has_update_list && !has_copy_list) {
    EndRun(window, kMsgNoLists);
    return;
  }
  if (UpdateState.UpdateItemCount == 0 && UpdateState.DiscCopyItemCount == 0) {
    ShowUpdaterError(kMsgNothingToUpdate);  // then completed, as after a run
  } else {
    for (int i = 0; i < UpdateState.UpdateItemCount; ++i) {
      if (!ApplyUpdateItem(UpdateState.UpdateItems[i], overwrite_only)) {
        EndRun(window, kMsgWriteFailed);
        return;
      }
    }
    if (UpdateState.DiscCopyItemCount > 0 && !RunDiscCopy(window)) {
      DiscardDeferred();
      return;
    }
    if (UpdateState.Deferring && !PlaceDeferred(window)) return;
  }
  UpdateState.Deferring = 0;
  SetInfoText(window, "%s", kInfoCompleted);
  Os->SetItemText(window, IDC_NEXT, kTextFinish);
  Os->EnableItem(window, IDC_NEXT, 1);
  Os->FocusItem(window, IDC_NEXT);
  Os->SetCursorShape(kCursorArrow);
  UpdateState.UpdateCompleted = 1;
}
