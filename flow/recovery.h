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

// The folder under InstPath into which the disc copy copies before it puts
// the files in place.
constexpr const char* kStagingFolderName = "~ks-staging";

// Whether `name` (a file's last component) is one of the platform's
// temporary names.
bool IsTemporaryName(const char* name);

// In InstPath and in DataPath (its DataFolder only, when the script names
// one), with their subfolders (never through a link that no administrator
// made): a backup whose target is missing is put back; a
// backup whose target is a file is an older version, and goes; temporary
// files and the staging folder go. Anything that cannot be done stays as it
// is, for the next start.
void RepairInterruptedRun();

// Removes the folder at `path` with everything in it, links inside it as
// links (never what they lead to), `depth` levels below the folder a walk
// started from. True when nothing is left there (or nothing was).
bool RemoveTree(const char* path, int depth = 0);
