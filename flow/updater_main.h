// The program's entry: one run of the updater from start to end.
#pragma once

// Runs the start-up sequence and the wizard; returns the exit code: 1 when
// the wizard ended with "完了" after a completed update, 0 otherwise.
int UpdaterMain(void* instance);

// Frees the archive directory and the script's bytes and deletes the
// temporary UPDATE.INI; runs once, as the last action on every path.
void CleanUpTemporary();
