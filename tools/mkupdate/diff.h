// mkupdate diff: drafts the update folder that turns one release of a game's
// installation folder (OLD) into the next (NEW).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

struct DiffOptions {
  std::filesystem::path old_tree, new_tree;  // two folders that exist
  std::filesystem::path draft;               // the folder drafted: new, or empty
  std::string setup;                         // --setup UPDATE.INI, or ""
  bool quiet = false;
  bool verbose = false;
  uint64_t entry_limit = 0;  // the largest file an entry holds
};

// Drafts `draft`: NEW's files that OLD lacks or holds with other bytes, at
// their paths, and an UPDATE.INI whose [SETUP] comes from NEW's SETUP.INI
// (or the --setup script's own section, with the agreement texts it names,
// taken from beside it), with "UpdateFile00=.\" when a file is carried and
// one RemoveFile line per folder or file OLD has and NEW lacks. Prints what
// it found; refuses in one line what an update cannot express, before
// anything is written. The exit status: 0 drafted, 1 refused or failed.
int RunDiff(const DiffOptions& options);
