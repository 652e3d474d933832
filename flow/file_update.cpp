#include "flow/file_update.h"

#include "archive/file_output.h"
#include "archive/payload_archive.h"
#include "common/error_box.h"
#include "common/messages.h"
#include "common/text.h"
#include "flow/disc_copy.h"
#include "flow/placement.h"
#include "flow/wizard.h"
#include "resources/resource_ids.h"
#include "settings/settings_readers.h"
#include "settings/update_script.h"

// One update-file line: an item when it applies to this installation.
static void AddUpdateItem(const char* value) {
  UpdateFileLine line;
  ParseUpdateFileLine(value, &line);
  if (line.HasMode && line.Mode != UpdateState.InstMode) return;
  UpdateItem& item = UpdateState.UpdateItems[UpdateState.UpdateItemCount++];
  item.Kind = line.Kind;
  CopyText(item.Path, sizeof item.Path, line.Path);
  item.NameOffset = line.NameOffset;
}

int ReadUpdateList() {
  UpdateState.UpdateItemCount = 0;
  return ReadScriptList("UpdateFile%02i", kLongTextSize, AddUpdateItem);
}

// Whether a file (not a folder) is at `path`.
static bool FileExistsAt(const char* path) {
  uint32_t attributes = Os->GetAttributes(path);
  return attributes != kInvalidAttributes && !(attributes & kAttrDirectory);
}

// A DataFile target that exists is the player's own: it keeps its content
// whatever happens, and takes the run's time as its last-write time where
// that can be set. Only a target that does not exist is written from the
// archive (a folder in its place fails as any write would).
static int KeepDataFile(const char* target) {
  if (!FileExistsAt(target)) return 0;
  if (UpdateState.Deferring) {
    // All or nothing: touched only once everything else is in place.
    if (UpdateState.PendingTouchCount < kListLines)
      CopyText(UpdateState.PendingTouches[UpdateState.PendingTouchCount++], kPathSize + 1, target);
    return 1;
  }
  Os->TouchLastWriteTime(target);  // not examined: the file stays as it was
  return 1;
}

int ApplyUpdateItem(const UpdateItem& item, int overwrite_only) {
  // A target stays inside its base folder: a path with "..", a drive or a
  // leading separator fails as a write that cannot be made.
  if (!PathStaysInside(UpdateState.DataFolder) || !PathStaysInside(item.Path)) return 0;
  // A target of up to 259 bytes, with the second NUL of the join after it.
  char target[kPathSize + 1];
  CopyText(target, sizeof target, item.Kind == DataFile ? UpdateState.DataPath : UpdateState.InstPath);
  if (target[0] == '\0') return 0;  // a data folder whose path did not fit
  if (!AppendPathComponent(target, sizeof target, UpdateState.DataFolder)) return 0;
  // This one level only; it may well exist. All or nothing: one that is
  // made goes again should the run fail.
  if (Os->CreateFolder(target) && UpdateState.Deferring && UpdateState.FoldersMadeCount < 2)
    CopyText(UpdateState.FoldersMade[UpdateState.FoldersMadeCount++], kPathSize + 1, target);
  if (!AppendPathComponent(target, sizeof target, item.Path)) return 0;
  if ((overwrite_only || item.Kind == ExistingOnly) && !FileExistsAt(target)) return 1;
  if (item.Kind == DataFile && KeepDataFile(target)) return 1;
  return ExtractArchiveEntry(item.Path + item.NameOffset, target, item.Kind == IfNewer);
}

// The required free space on the drive of InstPath. False when it is short:
// the wizard then waits with "戻る" and "中止". A drive that cannot tell its
// free space is not held against the run: the writes themselves fail
// cleanly on a full disk.
static int EnoughDiskSpace(PlatformWindow window) {
  uint32_t required = ReadRequiredDiskSpace();
  if (required == 0) return 1;
  char drive[3];
  DriveOf(UpdateState.InstPath, drive);
  uint64_t free_bytes = 0, total = 0;
  if (!QueryFreeSpace(drive, &free_bytes, &total, nullptr) || required <= free_bytes) return 1;
  SetInfoText(window, kInfoDiskShort, drive, uint64_t(required) - free_bytes);
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
