// The elevated updater follows no link that a non-administrator made.
//
// A program of the player's, unelevated, can put junctions and symbolic
// links in any folder the player can write (a game installed outside Program
// Files, a folder named by the record under HKEY_CURRENT_USER) and so point
// a write of the updater, made as administrator, anywhere on the disk.
// Windows' RedirectionGuard refuses such links to the whole process where it
// exists (EnableRedirectionGuard, in the entry); this table is the second
// line, and the only one elsewhere: before each operation that writes,
// replaces, makes, changes or deletes a name, every component of its path
// that is a link must be one an administrator made (platform.h, LinkKind).
// A removal takes a name away itself (a link as a link, never what it leads
// to), so for it only the components before the last count. Otherwise the
// operation fails as one the system refused, and its caller
// shows its own message ("ファイルの書き込みに失敗しました", or the copy's). Links
// an administrator made (the system's own, or one made from an elevated
// prompt to move a large folder to another drive) are followed as before.
#pragma once

#include "platform/platform.h"

// Whether some component of `path` (from the first one after a drive's root
// or a share's name, to the last) is a link that no administrator made.
bool PathHasForeignLink(const char* path);

// Points Os at a table that passes every call to the table in use and runs
// the check before each file operation that changes something. Calling it
// again changes nothing.
void GuardAgainstForeignLinks();
