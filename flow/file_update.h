// The update run: the free-space test, the update-file lines written from the
// payload by their kind, then the copy lines from the game's discs.
#pragma once

#include "common/update_state.h"
#include "platform/platform.h"

// Called by the wizard's "次へ" on the confirmation page, with WizardBusy
// set. Leaves the wizard stopped for disk space, completed ("完了"), or
// ended with -1 after a failure.
void RunFileUpdate(PlatformWindow window);

// Fills UpdateState.UpdateItems with the lines that apply to this
// installation; true when "UpdateFile00" was present.
int ReadUpdateList();

// Writes or keeps the target file of one line; false on failure. With
// `overwrite_only` a line whose target does not exist as a file is passed over.
int ApplyUpdateItem(const UpdateItem& item, int overwrite_only);

// The required free space (RequiredDiskSpace) against the free space of the
// drive of InstPath, named in `drive`: true, with the bytes missing, when it
// is short. A drive that cannot tell its free space is not held against the
// run: the writes themselves fail cleanly on a full disk.
int DiskSpaceShortfall(char drive[3], uint64_t* shortfall);
