// The one seam between koushin and the operating system.
//
// Everything above this header calls the operating system only through `Os`,
// a table of plain function pointers. platform_win32.cpp fills it with the
// Win32 implementation (wide functions, every text converted from code page
// 932), platform_posix.cpp with the one the native build and its tests use.
// A test may point `Os` at a table of its own that wraps the real one and
// injects faults (tests/support/fake_platform.h), so the code above never
// needs a test-only branch.
//
// All texts are NUL-terminated byte strings in code page 932. Paths use the
// backslash as their separator on every platform. File times are FILETIME
// values: 100-nanosecond intervals since 1 January 1601, UTC.
#pragma once

#include <cstddef>
#include <cstdint>

typedef void* PlatformFile;    // an open file; nullptr is none
typedef void* PlatformWindow;  // a window; nullptr is none

enum : uint32_t {
  kInvalidAttributes = 0xFFFFFFFFu,
  kAttrReadOnly = 0x01,
  kAttrDirectory = 0x10,
  kAttrNormal = 0x80,
};

// Message box kinds and answers, with the values of the Win32 API.
enum : uint32_t {
  kBoxOk = 0x0,
  kBoxOkCancel = 0x1,
  kBoxIconError = 0x10,
  kAnswerOk = 1,
  kAnswerCancel = 2,
};

typedef void* RegistryKey;  // an open key of the registry; nullptr is none

// What a dialog's window tells the code above the seam, taken apart by the
// platform: the dialog has opened; a command came (a button clicked, or
// Enter, Escape or the close box, which send 1 and 2); the mouse moved over
// the dialog and the cursor is due to be set.
enum DialogEventKind { kDialogOpened, kDialogCommand, kDialogSetCursor };
struct DialogEvent {
  DialogEventKind kind;
  int command;  // the control's id, for kDialogCommand
};

// A dialog procedure above the seam. For kDialogSetCursor, true when it set
// the cursor itself (the platform then keeps the controls from setting
// theirs); otherwise the result is not used.
typedef int (*DialogProcedure)(PlatformWindow window, DialogEvent event);

enum CursorShape { kCursorArrow, kCursorWait };

// What the shell copies: a file, where existing files are replaced and
// missing folders made without asking (FOF_NOCONFIRMATION and
// FOF_NOCONFIRMMKDIR, 0x210), or a folder (or a source that cannot be
// examined), the same and without the shell's own error boxes
// (FOF_NOERRORUI too, 0x610).
enum ShellCopyKind { kShellCopyFile, kShellCopyFolder };

// Results of the shell's copy.
struct ShellCopyResult {
  int Failed;   // the operation reported a failure
  int Aborted;  // the user stopped it in the shell's window
};

// What a name of the file system is as a link (a junction, a symbolic link,
// a mount point: a reparse point that stands for another name): none; one
// whose owner is the Administrators group, SYSTEM or TrustedInstaller, which
// only an administrator can have made; or one anybody else made (or whose
// owner cannot be read).
enum LinkKind : uint32_t { kNoLink = 0, kAdministratorsLink = 1, kOtherLink = 2 };

// One name in a folder, for ListFolder: its code page 932 bytes ("" when it
// has none), whether it is a folder (a link to one counts), and what it is
// as a link.
typedef void (*FolderVisitor)(void* context, const char* name, int is_folder, LinkKind link);

// How deep a walk of a folder tree goes: a tree deeper than this is taken
// as one that cannot be checked (or put in place, or repaired) whole.
constexpr int kDeepestFolder = 32;

// The size of every text that crosses the seam towards the caller (a
// temporary file's path) and of the Win32 layer's own path buffers: a path
// of up to 1,023 bytes, or 1,023 UTF-16 units, with its NUL.
constexpr unsigned kPlatformTextSize = 1024;

// Drive types, with the Win32 values.
enum : uint32_t { kDriveCdRom = 5 };

// The names the file operations leave beside a target for a moment, so
// that what an interrupted run left is found again from the names alone: a
// temporary file is "~ks", eight characters and ".tmp" (15 bytes); the old
// file that a replacement moves aside is the target's own name followed by
// kBackupSuffix, until the new file is in place.
constexpr const char* kTemporaryPrefix = "~ks";
constexpr const char* kTemporarySuffix = ".tmp";
constexpr unsigned kTemporaryNameSize = 15;
constexpr const char* kBackupSuffix = ".ks~bak";

struct PlatformApi {
  // --- Files -------------------------------------------------------------
  // Creates a new, empty file in the folder of `near_path` under a temporary
  // name (kTemporaryPrefix) that no file there has, opened for writing with
  // no sharing; writes that name's full path into `temp_path` (at least
  // kPlatformTextSize bytes). None on failure.
  PlatformFile (*CreateTempFileBeside)(const char* near_path, char* temp_path);
  // Opens an existing file for reading; other programs may go on reading and
  // writing it meanwhile, as the system's own profile reader allows. None on
  // failure.
  PlatformFile (*OpenFileForRead)(const char* path);
  // Writes `size` bytes; true only when all of them were written.
  int (*WriteFileBytes)(PlatformFile file, const void* data, uint32_t size);
  // Reads up to `size` bytes; true when the read itself succeeded.
  int (*ReadFileBytes)(PlatformFile file, void* data, uint32_t size, uint32_t* read);
  // Reads up to `size` bytes from `offset` (the file's position afterwards
  // is not to be relied on); true when the read itself succeeded, with the
  // count in `got` (short only at the file's end).
  int (*ReadFileAt)(PlatformFile file, uint64_t offset, void* buffer, uint32_t size, uint32_t* got);
  // The file's size; false when it cannot be told or exceeds 32 bits.
  int (*FileSize)(PlatformFile file, uint32_t* size);
  // The file's last-write time.
  int (*GetLastWriteTime)(PlatformFile file, uint64_t* time);
  // Sets creation, last-access and last-write time of a file opened for writing.
  int (*SetFileTimes)(PlatformFile file, uint64_t time);
  void (*CloseFile)(PlatformFile file);
  // Makes everything written to the file durable (the disk, not the cache).
  int (*FlushFile)(PlatformFile file);
  // Puts a written temporary file (`file`, open, at `temp_path`) in the place
  // of `to`, and closes it in every case. An existing `to` is replaced so
  // that its security descriptor, alternate streams and attributes stay;
  // a missing one is made by renaming the open file itself, so the file that
  // arrives is the very one written. With `time`, its three times are set on
  // the final file, after the move. On failure `to` is as it was and the
  // temporary file is still at `temp_path`, with one exception that loses
  // nothing: when a replacement stopped halfway and the old file could not
  // be put back, `to` is missing and the old file is at `to` + kBackupSuffix.
  int (*CommitFile)(PlatformFile file, const char* temp_path, const char* to, const uint64_t* time);
  // Opens an existing file so that CommitFile can move it into a place of
  // its own (a staged copy, a backup put back); none on failure.
  PlatformFile (*OpenFileForMove)(const char* path);
  int (*RemoveFile)(const char* path);
  // Attributes of a path (kAttr* bits), or kInvalidAttributes when nothing is there.
  uint32_t (*GetAttributes)(const char* path);
  int (*SetAttributes)(const char* path, uint32_t attributes);
  // Creates one folder level; false when it exists already or cannot be made.
  int (*CreateFolder)(const char* path);
  // Creates a new folder in `parent`, named `prefix` and 16 hex digits that
  // nobody can foretell, that only administrators and SYSTEM can enter or
  // change (a protected access list, nothing inherited from `parent`); what
  // is made in it gets the same. Writes its path into `path` (at least
  // kPlatformTextSize bytes). False when none could be made.
  int (*CreatePrivateFolder)(const char* parent, const char* prefix, char* path);
  // Gives the file at `path` the access its folder gives a file made there,
  // in place of what it brought from where it was made (a private folder).
  int (*TakeFolderAccess)(const char* path);
  // Removes an empty folder (a link to one: the link itself).
  int (*RemoveFolder)(const char* path);
  // What the last component of `path` is as a link, itself, never what it
  // leads to; kNoLink when nothing is there.
  LinkKind (*LinkAt)(const char* path);
  // Calls `visit` for every name in the folder (not "." and ".."), without
  // going into its subfolders (a walk over a tree goes no deeper than
  // kDeepestFolder). False when the folder cannot be listed.
  int (*ListFolder)(const char* folder, FolderVisitor visit, void* context);
  // Sets an existing file's last-write time to the present moment, in place:
  // its content, its other times and its attributes stay (a read-only file
  // too). False when that cannot be done; the file is then unchanged.
  int (*TouchLastWriteTime)(const char* path);

  // Whether `server` (the name in a \\server\share path) is this machine:
  // a loopback address, "localhost", or one of the machine's own names. Its
  // file server would follow links there that this process never sees.
  int (*IsThisMachine)(const char* server);

  // --- Free space ----------------------------------------------------------
  // The free space of the drive of a root such as "C:": what this process
  // may use, the volume's size and its free space for every user. False,
  // with the three places unchanged, when the system cannot tell.
  int (*FreeSpace)(const char* root, uint64_t* free_to_caller, uint64_t* total, uint64_t* total_free);

  // --- Memory --------------------------------------------------------------
  // A fixed block of `size` bytes, zero-filled when `zero` is set; none on failure.
  void* (*Alloc)(uint32_t size, int zero);
  void (*Free)(void* block);

  // --- Message boxes ---------------------------------------------------------
  // A modal box with the given owner (or none), text, caption and kind;
  // returns the button pressed (kAnswer*).
  int (*ShowMessageBox)(PlatformWindow owner, const char* text, const char* caption, uint32_t kind);

  // --- The program ---------------------------------------------------------
  // Initialises the component library for this thread; the result is ignored.
  void (*InitComponents)();
  // The bytes of resource UPDATE/`id` of the module `instance`, addressable
  // and read-only for the whole run; false when it is missing or cannot be
  // loaded. An empty resource is found, with size 0.
  int (*LoadUpdateResource)(void* instance, int id, const uint8_t** bytes, uint32_t* size);

  // --- The installation record ---------------------------------------------
  // Opens a key under HKEY_CURRENT_USER for reading; none on failure.
  RegistryKey (*OpenUserKey)(const char* subkey);
  // Reads a value as the ANSI query does: a string value arrives as its code
  // page 932 bytes with their terminator, any other type as its raw bytes;
  // false when the value is missing or its data does not fit `size` bytes.
  int (*QueryValue)(RegistryKey key, const char* name, void* data, uint32_t size);
  void (*CloseKey)(RegistryKey key);

  // --- Windows -------------------------------------------------------------
  // A top-level window of the class (none: the dialog class) titled `title`,
  // both compared without regard to case; or none.
  PlatformWindow (*FindTopWindow)(const char* class_name, const char* title);
  // Shows a window and brings it to the front.
  void (*BringToFront)(PlatformWindow window);
  // Runs dialog template `id` modally with no owner; returns the value given
  // to EndWizardDialog, or -1 when the dialog cannot be created.
  intptr_t (*RunDialog)(int id, DialogProcedure procedure);
  void (*EndWizardDialog)(PlatformWindow dialog, intptr_t result);
  void (*SetCaption)(PlatformWindow window, const char* text);
  // The operations on a dialog's control by id do nothing when it has none.
  void (*SetItemText)(PlatformWindow dialog, int id, const char* text);
  void (*EnableItem)(PlatformWindow dialog, int id, int enable);
  void (*ShowItem)(PlatformWindow dialog, int id, int show);
  // Checks radio button `id` and clears the others from `first` to `last`.
  void (*CheckRadio)(PlatformWindow dialog, int first, int last, int id);
  void (*FocusItem)(PlatformWindow dialog, int id);
  void (*SetCursorShape)(CursorShape shape);
  // During a long run inside a dialog's command: paints what changed and
  // handles the messages waiting, so that the window shows the run's
  // progress and answers the system (its buttons are disabled meanwhile).
  void (*RefreshWindow)(PlatformWindow window);
  // A millisecond clock for spacing progress reports; it may wrap.
  uint32_t (*Milliseconds)();

  // --- Drives and the shell's copy -----------------------------------------
  // The type of the drive of a root such as "Q:".
  uint32_t (*DriveType)(const char* root);
  // While drives are probed: a drive without a disc answers "nothing there"
  // instead of raising the system's "no disk" box. Returns what to give
  // RestoreDriveErrors afterwards.
  uint32_t (*QuietDriveErrors)();
  void (*RestoreDriveErrors)(uint32_t previous);
  // Copies one file or folder tree (a list of one path, ended by two NULs) to
  // `to` with the shell's file operation and its progress window, owned by
  // `owner`.
  ShellCopyResult (*ShellCopy)(PlatformWindow owner, const char* from, const char* to, ShellCopyKind kind);
};

// The table in use: the native implementation, or a test's; the updater's
// start puts the check of links in front of it (platform/link_guard.h).
extern const PlatformApi* Os;

// The native implementation of this build.
const PlatformApi* NativePlatform();

// A private folder's name (CreatePrivateFolder): `prefix` and 8 random
// bytes as 16 lowercase hex digits, into `name` of `size` bytes.
inline void PrivateFolderName(const char* prefix, const uint8_t random[8], char* name, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  size_t n = 0;
  while (prefix[n] != '\0' && n + 1 < size) name[n] = prefix[n], ++n;
  for (int i = 0; i < 8 && n + 2 < size; ++i) {
    name[n++] = kDigits[random[i] >> 4];
    name[n++] = kDigits[random[i] & 15];
  }
  name[n] = '\0';
}

// The bytes of `clusters` clusters as the older cluster-based query of
// free space counts them: sectors per cluster times bytes per sector is a
// 32-bit product, as that query defines it; the clusters multiply in 64 bits.
inline uint64_t ClusterBytes(uint32_t clusters, uint32_t sectors_per_cluster, uint32_t bytes_per_sector) {
  return uint64_t(clusters) * uint32_t(sectors_per_cluster * bytes_per_sector);
}
