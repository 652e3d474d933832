// The program's entry: one run of the updater from start to end.
#pragma once

// Runs the start-up sequence and the wizard; returns the exit code: 1 when
// the wizard ended with "完了" after a completed update, 0 otherwise.
int UpdaterMain(void* instance);

// Frees the archive directory and the script's bytes (the script is read
// from the payload in place; no file of it is ever written); runs once, as
// the last action on every path.
void CleanUpTemporary();

// The start-up's steps that mkupdate's plan shares. Each is false after the
// boxes of its failure.
// The script from the open payload: its section SETUP (the first missing
// key reported) and the agreement texts it names.
int ReadUpdateScript();
// Once InstPath, DataPath and InstMode are known: UpdateMessage's notice,
// SETUP.INI found and loaded, the caption made.
int ReadInstallation();
// The data folder as the game finds it: an empty or relative DataPath is
// taken under InstPath.
void ResolveDataPath();
