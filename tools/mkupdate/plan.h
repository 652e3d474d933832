// mkupdate plan: what an update would do to one installation, decided by
// the updater's own code against folders of this machine, before any player
// runs it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct PlanOptions {
  std::string update;          // the update executable (or a raw archive)
  std::filesystem::path inst;  // the installation folder (InstPath)
  std::filesystem::path data;  // the data folder (DataPath), or empty
  std::string inst_path;       // InstPath as the player's record names it, or "" (made from `inst`)
  std::string data_path;       // DataPath as the record names it, or ""
  unsigned mode = 0;           // InstMode
  std::vector<std::pair<int, std::filesystem::path>> discs;    // --disc N=DIR
  std::vector<std::pair<char, std::filesystem::path>> drives;  // --drive L=DIR: a CD-ROM drive
  bool json = false;
};

// Prints the plan; the exit status: 0 when the update would complete, 1
// when it would not (or cannot be read), 2 for options that do not fit.
int RunPlan(const PlanOptions& options);
