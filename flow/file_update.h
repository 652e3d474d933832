// The update run: the free-space test, the update-file lines written from the
// payload by their kind, then the copy lines from the game's discs.
//
// The run never paints a window and never ends one. It reports what it does
// and asks what it must through a RunSeat that its caller fills, and returns
// its outcome: the wizard (flow/wizard.h) shows the reports in its Info text
// and alone decides, from the outcome, what becomes of the dialog; mkupdate
// plan prints them; the tests record them.
#pragma once

#include "common/update_state.h"
#include "flow/line_decision.h"
#include "platform/platform.h"

// What the run tells its caller, and asks of it.
struct RunSeat {
  void* context;
  PlatformWindow owner;  // owns the shell's copy window, or none
  // The free space is there: the run is about to change the installation.
  void (*Begin)(void* context);
  // A text on where the run is: the free space it lacks, a line being
  // copied from a disc.
  void (*Progress)(void* context, const char* text);
  // Each line as decided, just before the run acts on it: update-file line
  // `line` of the lines that apply (`copy` 0), or copy line `line` (`copy`
  // 1) once its disc is found. May be none.
  void (*Line)(void* context, const LineDecision& decision, int line, int copy);
  // Disc `disc` is in no CD-ROM drive: true to look again, false to stop.
  int (*AskForDisc)(void* context, int disc);
};

enum RunOutcome : int32_t {
  kRunShortOfSpace,     // RequiredDiskSpace is not free: nothing was done
  kRunCompleted,        // every line is done
  kRunNothingToUpdate,  // no line applies to this installation (after its box)
  kRunFailed,           // a line failed (after its box, if it has one) or the player stopped the run
};

// The whole run, once.
RunOutcome RunUpdate(const RunSeat& seat);

// Fills UpdateState.UpdateItems with the lines that apply to this
// installation: the removal lines ("RemoveFile%02i"), then the update-file
// lines, each list as long as its count key says (16 without one); true
// when "UpdateFile00" or "RemoveFile00" was present.
int ReadUpdateList();
// False when the last ReadUpdateList lost a line for want of memory.
int UpdateListIsWhole();
// The file being written has `done` of its `total` bytes on the disk: the
// progress of a long run, shown to the player a few times a second at most.
void RunWriting(uint64_t done, uint64_t total);

// Gives the table of lines back (at the end of the program).
void ReleaseUpdateList();

// Writes or keeps the target file of one line; false on failure. With
// `overwrite_only` a line whose target does not exist as a file is passed over.
int ApplyUpdateItem(const UpdateItem& item, int overwrite_only);

// The required free space (RequiredDiskSpace) against the free space of the
// drive of InstPath, named in `drive`: true, with the bytes missing, when it
// is short. A drive that cannot tell its free space is not held against the
// run: the writes themselves fail cleanly on a full disk.
int DiskSpaceShortfall(char drive[3], uint64_t* shortfall);
