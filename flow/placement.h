// How the run's changes reach the installation, and all or nothing.
//
// The run writes every change through one put, chosen when it starts: the
// direct put makes each change as the line is carried out; the staged put
// (the script's AllOrNothing) changes nothing of the installation until
// every line has succeeded. It keeps the update files written beside their
// targets (UpdateState.Pending), the copy lines copied into the staging
// folder, one folder a line, and the existing DataFile targets waiting for
// their touch, the removal lines' targets. When the last line is done, a journal (kJournalName in
// InstPath: versioned, with a checksum) lists every file to put in place,
// its target, whether an old file was there and its attributes, each file
// that a removal takes away (moved aside under a temporary name, which the
// next start's repair removes once the journal is gone), the folders to make
// and the staging folder; it is flushed to the disk before the
// first file moves. Each old file then moves aside under its backup name
// and the new one takes its place. A file that cannot be put in place rolls
// everything back, with the line's own message; when all are in place the
// journal goes, then the old files.
//
// A crash between the journal and its removal is rolled back at the next
// start (RecoverFromJournal), before anything else of the run is repaired.
// Nothing outside this file knows which put is in use.
#pragma once

#include "common/update_state.h"
#include "platform/platform.h"

constexpr const char* kJournalName = "~ks-journal.dat";

struct Put {
  // A written and flushed temporary file `temp`, open as `file`, for
  // `target` under its base folder (`data_base`: DataPath, else InstPath):
  // put in its place, or kept beside it. Closes `file` in every case;
  // false, with the temporary file gone, when that failed.
  int (*File)(PlatformFile file, const char* temp, const char* target, const uint64_t* time, int data_base);
  // `target` is read-only and its line writes it or (`kept`) keeps it by
  // the time rule: it loses the attribute either way.
  void (*MakeWritable)(const char* target, int kept);
  // The player's data file `target` takes the run's time.
  void (*Touch)(const char* target);
  // The run has just made the folder `folder` (the data folder, or one on
  // the way to a folder line's file).
  void (*FolderMade)(const char* folder);
  // A removal line's `target` goes: a file (its attributes `attributes`),
  // or a folder with everything in it. False when it could not.
  int (*Remove)(const char* target, int folder, uint32_t attributes);
  // Copy line `item` arrived whole in its staging folder: a file at `staged`
  // for `target`, or a folder (`staged` holds it under its last name) for
  // the folder `target`. False when it could not be put in place.
  int (*Copied)(DiscCopyItem& item, ShellCopyKind kind, const char* staged, const char* target);
  // Every line is done: what was kept goes in place. False when a file could
  // not, after the line's message, with everything rolled back.
  int (*Finish)();
  // A failure before Finish: everything kept goes, and the folders made.
  void (*Discard)();
};

// The put of a run: staged for all or nothing, direct otherwise.
const Put* PutFor(int all_or_nothing);

// The put of the run in progress (UpdateState.RunPut), or the direct one
// outside a run.
const Put* CurrentPut();

// At the start: an unfinished journal is rolled back (every old file put
// back, every new one removed, the folders made and the staging folder
// removed) and the player is told so in one box. False when the journal
// could not be carried out whole: it stays for the next start, and nothing
// else may be repaired meanwhile.
int RecoverFromJournal();
