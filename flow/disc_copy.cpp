#include "flow/disc_copy.h"

#include <cstring>

#include "archive/file_output.h"
#include "common/error_box.h"
#include "common/messages.h"
#include "common/text.h"
#include "common/update_state.h"
#include "flow/wizard.h"
#include "settings/settings_readers.h"
#include "settings/update_script.h"

namespace {

int FailCopy(PlatformWindow window, const char* path) {
  ShowUpdaterErrorF(kMsgCopyFailed, path);
  Os->EndWizardDialog(window, -1);
  return 0;
}

}  // namespace

// One copy line: an item when it applies to this installation.
static void AddDiscCopyItem(const char* value) {
  CopyLine line;
  ParseCopyLine(value, &line);
  if (line.HasMode && uint32_t(line.Mode) != UpdateState.InstMode) return;
  DiscCopyItem& item = UpdateState.DiscCopyItems[UpdateState.DiscCopyItemCount++];
  item.DiscNumber = line.DiscNumber;
  CopyText(item.Path, sizeof item.Path, line.Path);
}

int ReadDiscCopyList() {
  UpdateState.DiscCopyItemCount = 0;
  return ReadScriptList("CopyFile%02i", kPathSize, AddDiscCopyItem);
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

int FindDiscDrive(int disc, PlatformWindow window, char* root) {
  for (;;) {
    if (ProbeDrives(disc, root)) return 1;
    char message[kLongTextSize];
    FormatText(message, sizeof message, kMsgInsertDisc, UpdateState.GameTitle, disc);
    if (Os->ShowMessageBox(window, message, UpdateState.UpdaterCaption, kBoxOkCancel) != kAnswerOk) return 0;
  }
}

int RunDiscCopy(PlatformWindow window) {
  char disc_root[3] = "";
  for (int i = 0; i < UpdateState.DiscCopyItemCount; ++i) {
    const DiscCopyItem& item = UpdateState.DiscCopyItems[i];
    // The copy lands under InstPath by the line's path: it must stay there.
    if (!PathStaysInside(item.Path)) return FailCopy(window, item.Path);
    if (item.DiscNumber != 0) {
      // Only 1 to 9 name a disc; a line whose disc character is no digit
      // would index past the check files, so it fails as a copy.
      if (item.DiscNumber < 1 || item.DiscNumber > 9) return FailCopy(window, item.Path);
      if (!FindDiscDrive(item.DiscNumber, window, disc_root)) {
        Os->EndWizardDialog(window, -1);
        return 0;
      }
    }
    // A line without a disc number before any line with one has no drive to
    // copy from; it never copies from the root of the current drive.
    if (disc_root[0] == '\0') return FailCopy(window, item.Path);
    // Paths of up to 259 bytes, with the second NUL of the list after them.
    char source[kPathSize + 1] = {}, destination[kPathSize + 1] = {};
    CopyText(source, sizeof source, disc_root);
    CopyText(destination, sizeof destination, UpdateState.InstPath);
    if (!AppendPathComponent(source, sizeof source, item.Path)) return FailCopy(window, item.Path);
    uint32_t attributes = Os->GetAttributes(source);
    ShellCopyKind kind = kShellCopyFolder;  // a folder, or a source that cannot be examined
    if (attributes != kInvalidAttributes && !(attributes & kAttrDirectory)) {
      if (!AppendPathComponent(destination, sizeof destination, item.Path)) return FailCopy(window, item.Path);
      kind = kShellCopyFile;
    }
    SetInfoText(window, kInfoCopying, item.Path);
    // Both lists end in two NULs: the buffers were zero-filled.
    ShellCopyResult result = Os->ShellCopy(window, source, destination, kind);
    if (result.Aborted) {
      Os->EndWizardDialog(window, -1);
      return 0;
    }
    if (result.Failed) return FailCopy(window, item.Path);
    Os->SetAttributes(destination, kAttrNormal);
  }
  return 1;
}
