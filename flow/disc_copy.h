// The disc copy step: the copy lines of the script, copied from the game's
// CD-ROM discs, each recognised by its check file in SETUP.INI.
#pragma once

#include <cstddef>

#include "flow/file_update.h"
#include "platform/platform.h"

// Fills UpdateState.DiscCopyItems with the lines that apply to this
// installation; true when "CopyFile00" was present.
int ReadDiscCopyList();

// Copies every item in order, each line reported to the seat as it is
// decided; false when a line failed (after its box) or the player stopped
// (at the disc prompt, or in the shell's window: no box).
int RunDiscCopy(const RunSeat& seat);

// The root ("Q:") of the first CD-ROM drive, from A to Z, that holds disc
// `disc`, asking the seat for it until it is found; false when the seat
// gave up.
int FindDiscDrive(int disc, const RunSeat& seat, char* root);

// The text that asks the player for disc `disc`, into `out`.
void DiscPromptText(int disc, char* out, size_t size);

// The run's staging folder (UpdateState.StagingFolder): made in InstPath the
// first time a line needs it, private to administrators, under a name
// nobody can foretell (Os->CreatePrivateFolder), so that no program of the
// player's can have prepared anything in it; never one that existed
// before. False when none can be made: the line then fails.
int MakeStagingFolder();

// Puts a copy line's staged copy in place at once: a file at `staged` in
// the place of `target` (its attributes then normal), or every file of the
// staged folder `staged` in the same place under the folder `target`, the
// missing folders made (InstPath's attributes then normal). False when a
// file could not be put in place.
int PlaceCopiedLine(ShellCopyKind kind, const char* staged, const char* target);

// What a copy line leaves once in place: a file's attributes normal, or for
// a folder, InstPath's.
void SetCopiedAttributes(ShellCopyKind kind, const char* target);

// Removes the run's staging folder with everything in it, if there is one.
void RemoveStagingFolder();

// The run's staging folder (`line` -1), or the folder of copy line `line`
// in it, into `out`; false when there is none or it does not fit.
bool StagingFolderOf(int line, char* out, size_t size);

// What WalkStagedTree calls: `folder` with the target of each folder of the
// staged tree (the top one first), `file` with each staged file and its
// target (false stops the walk).
struct StagedTreeVisitor {
  void (*folder)(void* context, const char* target);
  bool (*file)(void* context, const char* staged, const char* target);
  void* context;
};

// Walks the staged tree at `staged` beside the tree `target` it goes to.
// False when a name cannot be put in place (one without a code page 932
// form, a link that appeared in the staging folder), the tree is deeper than
// kDeepestFolder, or `file` said so.
bool WalkStagedTree(const char* staged, const char* target, const StagedTreeVisitor& visitor);
