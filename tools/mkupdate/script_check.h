// What the updater would do silently wrong with an UPDATE.INI: read with the
// updater's own readers and grammars, and reported in words.
#pragma once

#include <set>
#include <string>
#include <vector>

struct Finding {
  bool error;           // an error stops `build`; a warning is printed
  std::string key;      // "[SECTION] Key", code page 932
  std::string message;  // what the updater will do, code page 932 where it quotes the script
};

// `entries` holds the archive names that the update will carry, folded the
// way the updater compares them (see FoldedName).
std::vector<Finding> CheckScript(const std::string& script, const std::set<std::string>& entries);

// The folded names of the entries that an update must carry whole, never as
// a delta: the script and the agreement texts (the updater reads them before
// any file is looked at) and every file a "d" line may write (that line
// writes only where the player has no file, so there is nothing to patch).
std::set<std::string> EntriesCarriedWhole(const std::string& script, const std::set<std::string>& entries);

// Whether the script's AllOrNothing is on, read as the updater reads it.
bool ScriptIsAllOrNothing(const std::string& script);

// The entry names of the script's AgreementText and AgreementTitle, read as
// the updater reads them (the entries it loads whole at start besides the
// script).
std::vector<std::string> ScriptAgreementNames(const std::string& script);

// A name with its ASCII letters in upper case and double-byte characters as
// they are: two names the updater cannot tell apart fold to the same text.
std::string FoldedName(const std::string& name);
