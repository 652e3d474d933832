// The process-wide state of one run of the updater: one member per value,
// each written by the subsystem that owns it. Fixed-size buffers only; a value
// longer than its buffer is cut to the buffer size less one byte.
#pragma once

#include <cstdint>

#include "platform/platform.h"

enum { kPathSize = 260, kLongTextSize = 1024 };
// A long text holds whatever the platform hands back, a temporary path among them.
static_assert(kLongTextSize >= kPlatformTextSize, "a long text holds every text of the seam");

// --- Installer configuration (SETUP.INI) -------------------------------------

enum {
  kSetupBmpEntries = 20,
  kSelectionSlots = 4,
  kInstallFileEntries = 40,
  kShortcutEntries = 10,
  kShortcutFields = 4,
  kDiskCheckFiles = 10,
};

struct SelectionSlot {
  char InstallTitle[kPathSize];
  char InstallFiles[kInstallFileEntries][kPathSize];
  int32_t FileNumbers[kInstallFileEntries];
  int HasNumberedFiles;
  uint64_t InstallSize;
};

struct InstallerConfigRecord {
  // CompanyName, GameTitle, GameDir and GameClass live in UpdateState itself.
  char GameExe[kPathSize];
  char UninstExe[kPathSize];
  char SetupBmp[kSetupBmpEntries][kPathSize];
  int32_t InstallSelects;
  SelectionSlot Selections[kSelectionSlots];  // slot 3 also holds the add-on set
  int32_t Shortcuts;
  char Shortcut[kShortcutEntries][kShortcutFields][kPathSize];
  int32_t DefaultSelect;
  char DiskCheckFile[kDiskCheckFiles][kPathSize];
  char ExecApp[2][kPathSize];
  char SelectSetupMessage[kLongTextSize];
  int UseCompanyNameForShortcutGroup;
  int ChooseSaveDataFolder;
  char SaveDataFolderNameInInstall[kPathSize];
  char SaveDataFolderName[kPathSize];
  int InstallAfterAdd;
  char UninstTitle[kPathSize];
};

// --- The update run ------------------------------------------------------------

// The wizard's position: the step that "次へ" performs next. Each press
// advances it by one; "戻る" goes back to the step before the last one.
enum WizardStep : int32_t {
  kStepShowConfirm = 0,  // on the start page
  kStepRunUpdate = 1,    // on the confirmation page (and after a stop for disk space: 2 - 2 + 1)
  kStepFinish = 2,       // on the completed page: "完了" ends the wizard
};

// The kind of an update-file line, by its letter: none, "u", "d", "o".
enum UpdateKind : int32_t {
  Plain = 0,         // always written
  IfNewer = 1,       // kept when the file on disk is newer than the entry
  DataFile = 2,      // the player's data: written only where none exists
  ExistingOnly = 3,  // written only over a file that exists
  Removal = 4,       // a "RemoveFile%02i" line: the file or folder goes
};

// Lines of a list read when the script does not count them, and the most
// a count may name.
enum { kListLines = 16, kMostListLines = 9999 };

// An update-file or removal line that applies to this installation. A path
// that ends in a separator names a folder: every entry of the update below
// it (a removal: the folder with everything in it).
struct UpdateItem {
  UpdateKind Kind;
  char Path[kPathSize];
  int32_t NameOffset;  // where the archive entry name begins in Path
  int32_t Folder;      // the path names a folder
  // A file of a folder line, the run's own: its entry (found by index, not
  // by name) and the folders on its way, which the run makes.
  int32_t FromFolderLine;
  uint32_t Entry;
};

// A list that grows as the run needs it, in one block of the platform's
// memory: records of `RecordSize` bytes, or (RecordSize 0) texts one after
// the other, each with its NUL.
struct GrowingList {
  uint8_t* Bytes;
  uint32_t Size, Room;
  int32_t Count;
};

// All or nothing: what of a copy line waits in the staging folder.
enum : int32_t { kNotStaged = 0, kStagedFile = 1, kStagedFolder = 2 };

struct DiscCopyItem {
  int32_t DiscNumber;  // 1 to 9: the disc; 0: the drive of the line before
  char Path[kPathSize];
  int32_t Staged;  // kStaged*: copied into the staging folder and not yet in place
};

// All or nothing: an update file written beside its target, to be put in
// place when every line has succeeded.
// Kept in UpdateState.Pending as this record followed by two texts: the
// temporary file and its target.
struct PendingFile {
  uint64_t Time;  // the entry's, set again once in place
  int32_t HasTime;
  int32_t DataBase;  // the target lies under DataPath (a "d" line), else under InstPath
  int32_t Replaced;  // a later line's file for the same target took its place
};

// --- The whole state ------------------------------------------------------------

struct Put;  // flow/placement.h

struct PayloadImage {
  const uint8_t* Bytes;  // the resource, read in place; never freed
  uint32_t Size;
};

struct UpdateStateData {
  // Payload archive
  PayloadImage PayloadArchive;
  uint8_t* ArchiveDirectory;  // header copy + decoded entries, or none

  // The script is read from its bytes in the payload: it is never written to
  // a file, where any program of the user could rewrite it (or turn the
  // elevated program's write or delete of a known name towards another file).
  const uint8_t* ScriptBytes;
  uint32_t ScriptSize;
  char SetupIniPath[kPathSize];

  // The script's SETUP section; the first four are replaced by SETUP.INI
  char CompanyName[kPathSize];
  char GameTitle[kPathSize];
  char GameClass[kPathSize];
  char GameDir[kPathSize];
  char GameTitleA[kPathSize];
  char UpdaterVersion[kPathSize];
  char UpdaterTitle[kPathSize];
  char DataFolder[kPathSize];
  char UpdateMessage[kLongTextSize];
  char* AgreementTextBlock;   // NUL-terminated text, or none
  char* AgreementTitleBlock;  // NUL-terminated text, or none

  // The installation record
  char InstPath[kPathSize];
  char DataPath[kPathSize];
  uint32_t InstMode;

  // Settings readers
  int ReportMissingKeys;
  int32_t ListPrefixNumber;
  InstallerConfigRecord InstallerConfig;

  // Presentation
  char UpdaterCaption[kLongTextSize];
  PlatformWindow WizardWindow;
  WizardStep WizardPage;
  int WizardBusy;
  int UpdateCompleted;  // the run has completed: the wizard shows "完了"

  // The run
  UpdateItem* UpdateItems;  // the removal lines, then the update-file lines
  int32_t UpdateItemCount;
  int32_t UpdateItemRoom;
  DiscCopyItem DiscCopyItems[kListLines];
  int32_t DiscCopyItemCount;

  // All or nothing (the script's AllOrNothing): the run changes nothing in
  // the installation; what it would change is kept here until every line
  // has succeeded (flow/placement.h, the staged put).
  int AllOrNothing;
  const Put* RunPut;  // how the run in progress makes its changes; none outside a run
  // The disc copy's staging folder: made by this run, private, under
  // InstPath (flow/disc_copy.h); "" while there is none.
  char StagingFolder[kLongTextSize];
  GrowingList Pending;          // PendingFile records
  GrowingList FoldersMade;      // texts: the folders the run made, in order
  GrowingList PendingTouches;   // texts: existing DataFile targets, touched at the end
  GrowingList PendingWritable;  // texts: read-only files kept by the time rule
  GrowingList PendingRemovals;  // texts: the targets of removal lines, a folder's with its separator
};

extern UpdateStateData UpdateState;

// Appends `size` bytes to `list`, growing its block as needed (the room
// doubles, so appending n bytes copies fewer than 2n). False, with the list
// as it was, when the memory cannot be had or the list would pass 1 GiB.
int AppendToList(GrowingList* list, const void* bytes, uint32_t size);
// Appends `text` with its NUL as one item.
int AppendTextToList(GrowingList* list, const char* text);
// Steps through a list of texts: the text at `*at` (start with 0), or none
// at the end; `*at` moves past it.
const char* NextTextOfList(const GrowingList& list, uint32_t* at);
// Empties a list and gives its block back.
void ClearList(GrowingList* list);

// Puts UpdateState into its program-start state: everything empty, the
// caption "UPDATE", missing keys reported.
void ResetUpdateState();
