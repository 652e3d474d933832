// A platform table for tests: it passes every call to the real platform of
// the build and can inject the faults that a real system rarely produces
// (failed allocations, writes and time stamps, a free-space query that
// fails, a chosen free-space figure). It records every message box.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

struct RecordedBox {
  PlatformWindow owner;
  std::string text;
  std::string caption;
  uint32_t kind;
};

// One control of the fake wizard dialog.
struct FakeControl {
  std::string text;
  bool enabled = true;
  bool visible = true;
  bool checked = false;
};

struct FakeShellCopy {
  std::string from, to;
  bool from_ends_in_two_nuls, to_ends_in_two_nuls;
  ShellCopyKind kind;
};

// A fault of one operation, counted over its calls: the call numbered
// `fail_at` (from 1) fails, and with `persist` every call after it as well;
// 0 is never. `calls` counts every call, failed or not.
struct Fault {
  int fail_at = 0;
  bool persist = false;
  int calls = 0;
  // Every call from the next one on fails, until Clear().
  void FromNow() {
    fail_at = calls + 1;
    persist = true;
  }
  // The call after `n` more that succeed fails, and every one after it.
  void AfterNext(int n) {
    fail_at = calls + n + 1;
    persist = true;
  }
  void Clear() {
    fail_at = 0;
    persist = false;
  }
  // Counts a call; true when this one is to fail.
  bool Hit() {
    ++calls;
    return fail_at > 0 && (calls == fail_at || (persist && calls > fail_at));
  }
};

// Thrown by the fake when the run is to stop dead, as a crash or a power
// cut stops it: nothing after that operation happens.
struct FakeCrash {};

struct FakePlatform {
  // The operation that changes a file or a folder (a temporary file made, a
  // write, a flush, a commit, a delete, a folder made or removed, attributes
  // or times set, a file opened to be moved, a shell copy) numbered
  // `crash_at` (from 1) throws FakeCrash before it happens; 0 is never.
  // `file_operations` counts them all.
  int crash_at = 0;
  int file_operations = 0;
  // The files open now; after a crash, CloseLeftoverFiles closes them, as
  // the system closes the files of a process that died.
  std::vector<PlatformFile> open_files;
  void CloseLeftoverFiles();
  // Faults, one for each operation that can fail.
  Fault alloc;
  Fault write;  // WriteFileBytes writes half, then fails
  Fault set_times;
  Fault flush;
  Fault commit;          // the finished file cannot take the destination's place
  Fault touch;           // a file's last-write time cannot be set in place
  Fault private_folder;  // no private folder can be made
  Fault free_space;      // the system cannot tell a drive's free space
  // When set, the free-space query reports these figures for every root.
  bool fixed_free_space = false;
  uint64_t free_bytes = 0;
  uint64_t total_bytes = 0;
  // Answers of message boxes, in order; kAnswerOk once they run out.
  std::vector<int> answers;
  // Called when a box opens (after it is recorded), as a nested message loop
  // would deliver messages meanwhile.
  std::function<void()> while_box_open;

  // The program's surroundings.
  std::vector<uint8_t> payload;
  bool has_payload = false;
  std::vector<uint8_t> checksum;  // resource UPDATE/103
  bool has_checksum = false;
  // The registry: subkey -> value name -> the bytes an ANSI query delivers.
  std::map<std::string, std::map<std::string, std::string>> registry;
  // Top-level windows: class ("" for the dialog class) and title.
  std::vector<std::pair<std::string, std::string>> windows;
  std::vector<std::string> brought_to_front;
  // Attributes reported for these paths instead of the real ones (a disc).
  std::map<std::string, uint32_t> attributes;
  // Paths reported as links (of an administrator or of anybody else)
  // instead of what the file system says, by LinkAt and ListFolder.
  std::map<std::string, LinkKind> links;
  // Drive letters that are CD-ROM drives.
  std::string cd_drives;
  // Whether the system's "no disk" boxes are off, and how many drive types
  // or paths on a CD-ROM drive were asked for while they were on.
  bool drive_errors_quiet = false;
  int loud_drive_probes = 0;
  // The files of the discs, by path ("Q:\\movie\\op.mpg"), with their
  // content: a successful shell copy writes those it covers, as the shell
  // would, and GetAttributes reports them (and their folders).
  std::map<std::string, std::string> disc_files;
  ShellCopyResult shell_result = {0, 0};
  Fault shell_copy;  // the copy that fails, with this result:
  ShellCopyResult shell_fail_result = {1, 0};
  std::vector<FakeShellCopy> shell_copies;

  // The wizard: RunDialog sends the initialisation, then calls `in_dialog`,
  // which plays the user (through SendCommand), and returns the result that
  // was given to EndWizardDialog (-1 when none was).
  std::function<void(FakePlatform&)> in_dialog;
  std::vector<int> dialogs_run;
  std::map<int, FakeControl> controls;
  std::string caption;
  int focus = 0;
  CursorShape cursor = kCursorArrow;
  bool ended = false;
  intptr_t end_result = -1;
  DialogProcedure procedure = nullptr;
  // Sends a command of control `id` as a click would (a disabled button
  // sends none, as the dialog manager does).
  void Click(int id);
  void SendCommand(int id);
  // Tells the wizard the cursor is due, as the mouse over it would; returns
  // whether it set the cursor itself.
  int SetCursorEvent();

  // What happened.
  std::vector<std::string> files_created;  // files moved into place under their final names
  std::vector<std::string> temp_files;     // temporary files made beside them
  std::vector<std::string> files_removed;
  std::vector<std::string> file_calls;  // "flush" and "commit", in order
  std::vector<RecordedBox> boxes;
  std::vector<std::string> roots_asked;  // roots given to the free-space query
  int allocs = 0;
  int frees = 0;
  // Bytes of the blocks given out and not yet freed, and the most there
  // were at once (Reset clears neither: tests take them before and after).
  uint64_t live_bytes = 0;
  uint64_t peak_live_bytes = 0;
  std::map<void*, uint32_t> live_blocks;
  // The clock: each reading advances it by `clock_step` milliseconds.
  uint32_t clock = 0;
  uint32_t clock_step = 0;
  int refreshes = 0;  // RefreshWindow calls
};

// Points Os at a fake that starts with no faults, and returns it.
FakePlatform& InstallFakePlatform();
// Points Os back at the native platform.
void RemoveFakePlatform();
