// All or nothing: an update whose script says AllOrNothing changes the
// installation only once every line has succeeded.
//
// While UpdateState.Deferring, the update files are written beside their
// targets (UpdateState.Pending), the copy lines are copied into the staging
// folder, one folder a line, and existing DataFile targets wait for their
// touch. When the last line is done, a journal (kJournalName in InstPath:
// versioned, with a checksum) lists every file to put in place, its target,
// whether an old file was there and its attributes, the folders to make and
// the staging folder; it is flushed to the disk before the first file moves.
// Each old file then moves aside under its backup name and the new one takes
// its place. A file that cannot be put in place rolls everything back, with
// the line's own message; when all are in place the journal goes, then the
// old files.
//
// A crash between the journal and its removal is rolled back at the next
// start (RecoverFromJournal), before anything else of the run is repaired.
#pragma once

#include "platform/platform.h"

constexpr const char* kJournalName = "~ks-journal.dat";

// Puts everything that was deferred in place, or, when a file cannot be put
// in place, shows the line's message and rolls everything back (false).
int PlaceDeferred();

// A failure before anything was put in place: removes the files written
// beside their targets, the staging folder and the folders the run made.
void DiscardDeferred();

// At the start: an unfinished journal is rolled back (every old file put
// back, every new one removed, the folders made and the staging folder
// removed) and the player is told so in one box. False when the journal
// could not be carried out whole: it stays for the next start, and nothing
// else may be repaired meanwhile.
int RecoverFromJournal();
