// What an interrupted run left, repaired at the next start.
//
// A run that a crash, a power cut or a failure that could not be undone
// stopped may leave, beside the files it wrote: temporary files (the
// platform's temporary names), the old version of a file that a replacement
// had moved aside (the target's name followed by the backup suffix), with or
// without the target, and the staging folder of the disc copy. Every
// koushin updater looks for them in the installation and data folders at
// its start, before the wizard opens, and shows nothing for it.
#pragma once

#include "platform/platform.h"

// The disc copy copies into a folder of InstPath that the run makes for
// itself: this prefix and 16 hex digits nobody can foretell. Updaters
// before it used the prefix alone, without the hyphen, as the folder's name.
constexpr const char* kStagingFolderPrefix = "~ks-staging-";

// Whether `name` (a folder directly in InstPath) is a staging folder's.
bool IsStagingName(const char* name);

// Whether `name` (a file's last component) is one of the platform's
// temporary names.
bool IsTemporaryName(const char* name);

// Whether `name` (a file's last component) is a backup's: a target's name
// followed by kBackupSuffix.
bool IsBackupName(const char* name);

// Where the update writes, and so where what it left is looked for: InstPath
// with its subfolders, and in DataPath only its DataFolder with its
// subfolders or, without one, the folders of the script's DataFile lines
// (those alone, not their subfolders: DataPath may be the player's
// Documents, or a drive's root). No link is ever followed. A backup whose
// target is missing is put back; a backup whose target is a file is an
// older version, and goes; temporary files go, and in InstPath the staging
// folders (a link of that name as a link). Anything that cannot be done
// stays as it is, for the next start. Reads the script's update list.
void RepairInterruptedRun();

// Removes the folder at `path` with everything in it, links as links (never
// what they lead to; a link at `path` is removed itself). True when nothing
// is left there (or nothing was).
bool RemoveTree(const char* path);

// One walk over a folder tree, the one way the updater goes through folders:
// `visit` is called with each name of the folder at `path`, `path` then
// holding that name's full path, and goes into a folder by calling
// WalkFolder again. `depth` is 1 while the folder the walk started from is
// listed.
struct TreeWalk {
  char path[kPlatformTextSize];
  int depth;
  bool ok;  // for the visitor: false once something could not be done
  void (*visit)(TreeWalk* walk, const char* name, int is_folder, LinkKind link);
  void* context;
};

// Lists the folder at walk->path for walk->visit (path restored after each
// name). False when it cannot be listed, lies deeper than kDeepestFolder
// below where the walk started, or a name does not fit.
bool WalkFolder(TreeWalk* walk);
