#include "flow/disc_copy.h"

#include <cstring>

#include "archive/file_output.h"
#include "common/error_box.h"
#include "common/messages.h"
#include "common/text.h"
#include "common/update_state.h"
#include "flow/line_decision.h"
#include "flow/placement.h"
#include "flow/recovery.h"
#include "settings/settings_readers.h"
#include "settings/update_script.h"

namespace {

int FailCopy(const char* path) {
  ShowUpdaterErrorF(kMsgCopyFailed, path);
  return 0;
}

}  // namespace

// One copy line: an item when it applies to this installation.
static void AddDiscCopyItem(const char* value) {
  CopyLine line;
  ParseCopyLine(value, &line);
  if (!LineAppliesToMode(line.HasMode, uint32_t(line.Mode))) return;
  DiscCopyItem& item = UpdateState.DiscCopyItems[UpdateState.DiscCopyItemCount++];
  item.DiscNumber = line.DiscNumber;
  CopyText(item.Path, sizeof item.Path, line.Path);
}

int ReadDiscCopyList() {
  UpdateState.DiscCopyItemCount = 0;
  return ReadScriptList("CopyFile%02i", kListLines, kPathSize, AddDiscCopyItem);
}

// The first CD-ROM drive, from A to Z, that holds the disc's check file.
// An empty drive must answer "nothing there", never with the system's
// "no disk" box, so those boxes are off while the drives are probed.
static int ProbeDrives(int disc, char* root) {
  uint32_t previous = Os->QuietDriveErrors();
  int found = 0;
  for (char letter = 'A'; letter <= 'Z' && !found; ++letter) {
    char drive[3] = {letter, ':', '\0'};
    if (Os->DriveType(drive) != kDriveCdRom) continue;
    char probe[kPathSize];
    CopyText(probe, sizeof probe, drive);
    if (!AppendPathComponent(probe, sizeof probe, UpdateState.InstallerConfig.DiskCheckFile[disc])) continue;
    if (Os->GetAttributes(probe) != kInvalidAttributes) {
      CopyText(root, 3, drive);
      found = 1;
    }
  }
  Os->RestoreDriveErrors(previous);
  return found;
}

void DiscPromptText(int disc, char* out, size_t size) {
  FormatText(out, size, kMsgInsertDisc, UpdateState.GameTitle, disc);
}

int FindDiscDrive(int disc, const RunSeat& seat, char* root) {
  for (;;) {
    if (ProbeDrives(disc, root)) return 1;
    if (!seat.AskForDisc(seat.context, disc)) return 0;
  }
}

namespace {

// Makes every missing folder between InstPath and `path`'s own folder, as
// the shell did when it copied in place ("missing folders are made").
void MakeFoldersTo(const char* path) {
  ForEachFolderOnTheWay(
      UpdateState.InstPath, path, [](void*, const char* folder) { Os->CreateFolder(folder); },  // it may well exist
      nullptr);
}

}  // namespace

// Puts the staged file `staged` in the place of `target`, as a replacement
// puts any file in place: the old file stays until the new one is there. A
// new file takes the access its folder gives, not the staging folder's.
bool PlaceFile(const char* staged, const char* target) {
  MakeFoldersTo(target);
  uint32_t attributes = Os->GetAttributes(target);
  if (attributes != kInvalidAttributes && (attributes & kAttrReadOnly)) Os->SetAttributes(target, kAttrNormal);
  PlatformFile file = Os->OpenFileForMove(staged);
  if (file == nullptr || !Os->CommitFile(file, staged, target, nullptr)) return false;
  return attributes != kInvalidAttributes || Os->TakeFolderAccess(target);
}

namespace {

// The target beside the staged tree, and the caller's visitor.
struct StagedTarget {
  char target[kLongTextSize];
  const StagedTreeVisitor* visitor;
};

void VisitStaged(TreeWalk* walk, const char* name, int is_folder, LinkKind link) {
  StagedTarget* t = static_cast<StagedTarget*>(walk->context);
  if (!walk->ok) return;
  size_t length = strlen(t->target);
  // Only what the shell copied is put in place: a link that appeared in the
  // staging folder is not.
  walk->ok = link == kNoLink && AppendPathComponent(t->target, sizeof t->target, name);
  if (walk->ok && is_folder) {
    t->visitor->folder(t->visitor->context, t->target);
    walk->ok = WalkFolder(walk) && walk->ok;
  } else if (walk->ok) {
    walk->ok = t->visitor->file(t->visitor->context, walk->path, t->target);
  }
  t->target[length] = '\0';
}

}  // namespace

bool WalkStagedTree(const char* staged, const char* target, const StagedTreeVisitor& visitor) {
  StagedTarget t = {};
  CopyText(t.target, sizeof t.target, target);
  t.visitor = &visitor;
  TreeWalk walk = {};
  CopyText(walk.path, sizeof walk.path, staged);
  walk.ok = true;
  walk.visit = VisitStaged;
  walk.context = &t;
  visitor.folder(visitor.context, t.target);
  return WalkFolder(&walk) && walk.ok;
}

void SetCopiedAttributes(ShellCopyKind kind, const char* target) {
  Os->SetAttributes(kind == kShellCopyFile ? target : UpdateState.InstPath, kAttrNormal);
}

int PlaceCopiedLine(ShellCopyKind kind, const char* staged, const char* target) {
  if (kind == kShellCopyFile) {
    if (!PlaceFile(staged, target)) return 0;
  } else {
    // Every file of the staged folder in the same place under the target
    // folder, the missing folders made.
    StagedTreeVisitor place = {[](void*, const char* folder) { Os->CreateFolder(folder); },  // it may well exist
                               [](void*, const char* from, const char* to) { return PlaceFile(from, to); }, nullptr};
    if (!WalkStagedTree(staged, target, place)) return 0;
  }
  SetCopiedAttributes(kind, target);
  return 1;
}

namespace {

// Copies one line's source into its folder of the staging folder with the
// shell, then hands what arrived to the run's put: a copy that fails or is
// aborted leaves nothing of its line in the installation. 1 when the line is
// done, 0 when it failed, -1 when the player stopped the copy in the shell's
// window.
int CopyStaged(PlatformWindow owner, DiscCopyItem& item, int line, const LineDecision& decision) {
  char folder[kLongTextSize] = {}, staged[kLongTextSize] = {};
  // The line's own folder, made now in the run's private folder: nothing
  // the shell merges into can have been prepared by anybody else.
  if (!MakeStagingFolder() || !StagingFolderOf(line, folder, sizeof folder) || !Os->CreateFolder(folder)) return 0;
  // Both lists end in two NULs: the buffers were zero-filled, and the joins
  // add the second.
  ShellCopyKind kind = decision.Why == kWhyCopyFile ? kShellCopyFile : kShellCopyFolder;
  CopyText(staged, sizeof staged, folder);
  if (kind == kShellCopyFile && !AppendPathComponent(staged, sizeof staged, item.Path)) return 0;
  ShellCopyResult result = Os->ShellCopy(owner, decision.Source, staged, kind);
  int done = result.Aborted ? -1 : result.Failed ? 0 : 1;
  // A folder arrived under its last name.
  if (done == 1 && kind == kShellCopyFolder)
    done = AppendPathComponent(staged, sizeof staged, decision.Target + decision.RelativeAt);
  if (done == 1 && !CurrentPut()->Copied(item, kind, staged, decision.Target)) done = 0;
  if (done != 1) RemoveTree(folder);  // torn files of the copy, never to be put in place
  return done;
}

}  // namespace

int MakeStagingFolder() {
  return UpdateState.StagingFolder[0] != '\0' ||
         Os->CreatePrivateFolder(UpdateState.InstPath, kStagingFolderPrefix, UpdateState.StagingFolder);
}

void RemoveStagingFolder() {
  if (UpdateState.StagingFolder[0] != '\0') RemoveTree(UpdateState.StagingFolder);
  UpdateState.StagingFolder[0] = '\0';
}

bool StagingFolderOf(int line, char* out, size_t size) {
  char name[8];
  if (UpdateState.StagingFolder[0] == '\0' || CopyText(out, size, UpdateState.StagingFolder) + 1 >= size) return false;
  FormatText(name, sizeof name, "%02i", line);
  return line < 0 || AppendPathComponent(out, size, name);
}

int RunDiscCopy(const RunSeat& seat) {
  char disc_root[3] = "";
  for (int i = 0; i < UpdateState.DiscCopyItemCount; ++i) {
    DiscCopyItem& item = UpdateState.DiscCopyItems[i];
    LineDecision decision;
    if (!CheckCopyLine(item, &decision)) {
      if (seat.Line != nullptr) seat.Line(seat.context, decision, i, 1);
      return FailCopy(item.Path);
    }
    if (item.DiscNumber != 0 && !FindDiscDrive(item.DiscNumber, seat, disc_root)) return 0;  // the player gave up
    DecideCopySource(item, disc_root, &decision);
    if (seat.Line != nullptr) seat.Line(seat.context, decision, i, 1);
    // A source that cannot be examined is still handed to the shell, as a
    // folder: only the shell can tell that it is not there.
    if (decision.Verb == kVerbFail && decision.Why != kWhyNotOnDisc) return FailCopy(item.Path);
    char text[kLongTextSize];
    FormatText(text, sizeof text, kInfoCopying, item.Path);
    seat.Progress(seat.context, text);
    int done = CopyStaged(seat.owner, item, i, decision);
    if (done < 0) return 0;  // stopped in the shell's window: no box
    if (done == 0) return FailCopy(item.Path);
  }
  return 1;
}
