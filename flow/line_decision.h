// What each line of the script does to the installation, decided before
// anything of it is written. Every rule of an update-file line and of a copy
// line lives here: the run acts on the decision (flow/file_update.cpp,
// flow/disc_copy.cpp), and mkupdate's plan reports it without acting, so
// the two can never disagree on a rule.
#pragma once

#include <cstdint>

#include "common/update_state.h"

// What happens to a line's target.
enum LineVerb : int32_t {
  kVerbNew,      // written from the update where no file was
  kVerbReplace,  // written from the update over the file there
  kVerbKeep,     // the file there stays as it is
  kVerbSkip,     // the line does nothing
  kVerbCopy,     // copied from a disc
  kVerbFail,     // the run stops at this line
  kVerbRemove,   // the file or folder there goes
};

// Why, one reason per rule.
enum LineWhy : int32_t {
  kWhyWritten,        // new or replace
  kWhyOutside,        // fail: the target would leave its base folder
  kWhyNoBase,         // fail: the base folder's path did not fit
  kWhyTooLong,        // fail: the target is longer than 259 bytes
  kWhyNoTarget,       // skip: OverwriteOnly or "o", and no file there
  kWhyPlayersData,    // keep: a "d" line's file exists, the player's own
  kWhyNewer,          // keep: a "u" line's file is newer than the entry
  kWhyNoEntry,        // fail: the update carries no such entry (a box)
  kWhyNoSpace,        // fail: the entry is larger than the free space (a box)
  kWhyFolderInPlace,  // fail: a folder stands where the file goes
  kWhyNoFolder,       // fail: the target's folder does not exist
  kWhyForeignLink,    // fail: a link on the target's path that no administrator made
  kWhyCopyFile,       // copy: a file of the disc
  kWhyCopyFolder,     // copy: a folder of the disc, into InstPath under its last name
  kWhyBadDisc,        // fail: the disc character is no digit 1 to 9
  kWhyNoDiscYet,      // fail: a line without a disc number before any with one
  kWhyNotOnDisc,      // fail: the source cannot be examined on the disc
  kWhyRemoved,        // remove: a removal line's file or folder is there
  kWhyGone,           // skip: a removal line's file or folder is not there
  kWhyOtherKind,      // fail: a removal line names a file and finds a folder, or the other way round
  kWhyHoldsData,      // fail: a removal line would take a DataFile line's file away
  kWhyEmptyFolder,    // fail: a folder line names a folder that holds no file of the update (a box)
  kWhyPatched,        // replace: a delta's file holds the previous release's bytes, which the delta makes new
  kWhyAlreadyNew,     // keep: a delta's file already holds the new release's bytes
  kWhyOtherRelease,   // fail: a delta's file is missing or neither release's (a box)
};

struct LineDecision {
  LineVerb Verb;
  LineWhy Why;
  int DataBase;                // the base folder is DataPath (a "d" line)
  char Target[kPathSize + 1];  // the full target, with a second NUL
  int32_t RelativeAt;          // where the target's part under its base folder begins
  char Folder[kPathSize + 1];  // the data folder the line makes first, or ""
  int32_t MakesFolders;        // a folder line's file: the folders on its way are made
  uint32_t EntryIndex;         // the archive entry, for kWhyWritten
  uint32_t Bytes;              // its size
  uint64_t EntryTime;          // its time stamp
  uint32_t TargetAttributes;   // what was at the target, or kInvalidAttributes
  uint64_t TargetTime;         // its last-write time, when it was read
  uint64_t FreeBytes;          // for kWhyNoSpace: the drive's free space
  char Root[3];                // the drive of the target, for kWhyNoSpace
  // Copy lines
  char Source[kPathSize + 1];  // the disc's root joined with the line's path
};

// The decision for an update-file line of this installation (one that
// ReadUpdateList put in the table), against the installation as it is now.
void DecideUpdateItem(const UpdateItem& item, int overwrite_only, LineDecision* decision);

// The file of folder line `line` that entry `entry` gives, as an item of its
// own: false when the entry does not lie below the line's folder, or is the
// script or a text the script shows (never written by a folder line).
bool FileOfFolderLine(const UpdateItem& line, uint32_t entry, UpdateItem* file);

// Where an update-file line writes, before anything is looked at: its base
// folder (DataPath for a "d" line, InstPath otherwise) joined with DataFolder
// (decision->Folder, the one level the line makes) and then with the line's
// path (decision->Target). False, with the verb and the reason, when the
// line has no such target.
bool TargetOfUpdateItem(const UpdateItem& item, LineDecision* decision);

// Calls `visit` with the target of each DataFile line of the table that
// ReadUpdateList filled, until it returns true; true when one did.
bool AnyDataFileTarget(bool (*visit)(void* context, char* target), void* context);

// Whether a line with (`has_mode`, `mode`) applies to this installation.
bool LineAppliesToMode(int has_mode, uint32_t mode);

// The archive part of an update-file line: entry `name` written to `path`
// (already in decision->Target), `keep_newer` for "u". Fills the verb, the
// reason and the entry's figures.
void DecideEntryWrite(const char* name, int keep_newer, LineDecision* decision);

// Acts on a decision of DecideUpdateItem: makes the data folder, writes the
// entry, touches a kept data file, or shows the box of a failure that has
// one. False when the line failed.
int CarryOutUpdateItem(const LineDecision& decision);

// Writes the named entry to `path` with the entry's time stamp, after the
// free-space check; with `keep_newer_file` set an existing file whose
// last-write time is later than the entry's is left alone. Returns 1 when
// written or kept, 0 on failure (after the entry's own box, where it has one).
int ExtractArchiveEntry(const char* name, const char* path, int keep_newer_file);

// The checks of a copy line that come before its disc is looked for: the
// line stays inside InstPath and names a disc 1 to 9 (or none). False, with
// the decision's reason, when the line fails.
bool CheckCopyLine(const DiscCopyItem& item, LineDecision* decision);

// The rest of a copy line, once `disc_root` ("" when no disc has been found
// in this run) holds its disc: the source, the target, file or folder.
void DecideCopySource(const DiscCopyItem& item, const char* disc_root, LineDecision* decision);
