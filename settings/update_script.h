// The update script UPDATE.INI: section "SETUP" (who the update is for and
// how it presents itself) and the line grammars of section "UPDATE".
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/update_state.h"

// Reads the script's section "SETUP" into UpdateState as the start-up does:
// CompanyName, GameTitle, GameClass and GameDir with missing keys reported
// (the first missing one ends the reading: false), then ReportMissingKeys
// off and the optional keys, each emptied before its read.
int ReadScriptSetup();

// The notice text of UpdateMessage: each one-byte backslash directly followed
// by "n" becomes one carriage return; double-byte characters are copied
// whole, so a trail byte 0x5C never counts as a backslash.
void MakeNoticeText(const char* value, char* out, size_t size);

// One "UpdateFile%02i" line, read by the update-file grammar.
struct UpdateFileLine {
  int HasMode;  // the line names an install mode
  uint32_t Mode;
  UpdateKind Kind;
  char Path[kPathSize];
  int32_t NameOffset;  // where the archive entry name begins in Path
};
void ParseUpdateFileLine(const char* value, UpdateFileLine* line);

// One "RemoveFile%02i" line: "[mode,]path", split as an update-file line
// is (a one-character first field is the mode); a second field after the
// path is ignored.
struct RemovalLine {
  int HasMode;
  uint32_t Mode;
  char Path[kPathSize];
};
void ParseRemovalLine(const char* value, RemovalLine* line);

// The kind a one-letter field names ("d", "u", "o", either case); false for
// any other field, which is then the path of a Plain line.
bool KindOfLetter(const char* field, UpdateKind* kind);

// Where the last component of a path begins: one past its last backslash
// that is a character of its own in code page 932 ("/" is no separator).
int32_t EntryNameOffset(const char* path);

// One "CopyFile%02i" line, examined by position.
struct CopyLine {
  int HasMode;
  int32_t Mode;        // the mode character's code minus the code of "0"
  int32_t DiscNumber;  // likewise; 0 when the line names no disc
  char Path[kPathSize];
};
void ParseCopyLine(const char* value, CopyLine* line);

// How many lines of a numbered list are read: the count key of section
// "UPDATE" (such as "UpdateFileCount"), 1 to kMostListLines; missing, no
// number or any other number: kListLines, as for a script that counts
// nothing (mkupdate check warns of it).
int ReadListCount(const char* key);

// Whether a line's path names a folder: it ends in a separator that is a
// character of its own. ".\" names the update's (or the base folder's) root.
bool IsFolderPath(const char* path);

// RequiredDiskSpace of section "UPDATE" as a byte count: the signed 32-bit
// number taken as unsigned. 0 when missing, 0 or no number: no test.
uint32_t ReadRequiredDiskSpace();
// OverwriteOnly of section "UPDATE": on when present and not 0.
int ReadOverwriteOnly();
// AllOrNothing of section "UPDATE", read as OverwriteOnly is.
int ReadAllOrNothing();
