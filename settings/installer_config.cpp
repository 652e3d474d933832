#include "settings/installer_config.h"

#include <cstring>

#include "common/error_box.h"
#include "common/messages.h"
#include "common/text.h"
#include "common/update_state.h"
#include "settings/settings_readers.h"

namespace {

InstallerConfigRecord& Config() { return UpdateState.InstallerConfig; }

void ShowKeyError(const char* key) { ShowCommonErrorF(kMsgSetupKeyError, key); }

// A text key into its field; a missing one takes `fallback` when given.
int ReadText(const char* key, char* field, uint32_t size, const char* fallback = nullptr) {
  if (ReadSetupValue(key, field, size)) return 1;
  if (fallback) CopyText(field, size, fallback);
  return 0;
}

// Splits `value` into a table of `entries` slots of 260 bytes. Items past the
// table are ignored; when fewer came, the slot after the last is emptied.
// With `numbers`, each item records the prefix number in force after it.
// Returns the number of items.
int SplitList(const char* value, char (*table)[kPathSize], int entries, int32_t* numbers, int* has_numbered) {
  const char* cursor = value;
  int count = 0;
  while (count < entries && NextListToken(table[count], &cursor)) {
    if (numbers) {
      numbers[count] = UpdateState.ListPrefixNumber;
      if (numbers[count] != 0) *has_numbered = 1;
    }
    ++count;
  }
  if (count < entries) table[count][0] = '\0';
  return count;
}

// A numbered file list of a selection slot: read, required, and split with
// the prefix numbers starting again at 0.
int ReadFileList(const char* key, SelectionSlot* slot) {
  char value[kLongTextSize];
  if (!ReadSetupValue(key, value, sizeof value)) return 0;
  UpdateState.ListPrefixNumber = 0;
  slot->HasNumberedFiles = 0;
  if (SplitList(value, slot->InstallFiles, kInstallFileEntries, slot->FileNumbers, &slot->HasNumberedFiles) == 0) {
    ShowKeyError(key);  // "SETUP.INI : InstallFiles0 エラー", "SETUP.INI : InstallAddFiles エラー"
    return 0;
  }
  return 1;
}

uint64_t ReadSize(const char* key) {
  char value[20];
  return ReadSetupValue(key, value, sizeof value) ? ParseSettingSize(value) : 0;
}

int ReadFlag(const char* key) {
  int32_t value = 0;
  return ReadSetupNumber(key, &value) && value != 0;
}

// One "Shortcut%i" entry: fields 1 and 2 required, 3 and 4 optional, where a
// run of commas (and blanks) stands for one empty field.
int ReadShortcut(int index) {
  char key[32], value[kPathSize];
  FormatText(key, sizeof key, "Shortcut%i", index);
  if (!ReadSetupValue(key, value, sizeof value)) return 0;
  char(*fields)[kPathSize] = Config().Shortcut[index];
  for (int f = 0; f < kShortcutFields; ++f) fields[f][0] = '\0';
  const char* cursor = value;
  if (!NextListToken(fields[0], &cursor) || !NextListToken(fields[1], &cursor)) {
    ShowKeyError(key);
    return 0;
  }
  for (int f = 2; f < kShortcutFields; ++f) {
    if (NextListToken(fields[f], &cursor)) continue;
    if (*cursor != ',') break;  // the end of the value: the entry is complete
    while (*cursor == ',' || *cursor == ' ' || *cursor == '\t') ++cursor;
  }
  return 1;
}

}  // namespace

int LoadInstallerConfig() {
  InstallerConfigRecord& c = Config();
  // Steps 1 to 10: required keys, reported only if the caller left the
  // report on (the start-up has turned it off).
  if (!ReadText("CompanyName", UpdateState.CompanyName, kPathSize) ||
      !ReadText("GameTitle", UpdateState.GameTitle, kPathSize) ||
      !ReadText("GameDir", UpdateState.GameDir, kPathSize) || !ReadText("GameExe", c.GameExe, kPathSize) ||
      !ReadText("UninstExe", c.UninstExe, kPathSize)) {
    return 0;
  }
  char value[kLongTextSize];
  if (!ReadSetupValue("SetupBmp", value, sizeof value)) return 0;
  if (SplitList(value, c.SetupBmp, kSetupBmpEntries, nullptr, nullptr) == 0) {
    ShowCommonError(kMsgSetupBmpError);
    return 0;
  }
  if (!ReadSetupNumber("InstallSelects", &c.InstallSelects)) return 0;
  if (c.InstallSelects > kSelectionSlots) {
    ShowCommonError(kMsgInstallSelectOver);
    return 0;
  }
  char key[32];
  for (int j = 0; j < c.InstallSelects; ++j) {
    SelectionSlot& slot = c.Selections[j];
    FormatText(key, sizeof key, "InstallTitle%i", j);
    if (!ReadText(key, slot.InstallTitle, kPathSize)) return 0;
    FormatText(key, sizeof key, "InstallFiles%i", j);
    if (!ReadFileList(key, &slot)) return 0;
  }
  if (!ReadSetupNumber("Shortcuts", &c.Shortcuts)) return 0;
  if (c.Shortcuts > kShortcutEntries) {
    ShowCommonError(kMsgShortcutsOver);
    return 0;
  }
  for (int a = 0; a < c.Shortcuts; ++a) {
    if (!ReadShortcut(a)) return 0;
  }

  // Steps 11 to 25: optional keys with their defaults.
  UpdateState.ReportMissingKeys = 0;
  ReadText("GameClass", UpdateState.GameClass, kPathSize, UpdateState.GameTitle);
  c.DefaultSelect = 0;
  ReadSetupNumber("DefaultSelect", &c.DefaultSelect);
  for (int j = 0; j < c.InstallSelects; ++j) {
    FormatText(key, sizeof key, "InstallSize%i", j);
    c.Selections[j].InstallSize = ReadSize(key);
  }
  for (int i = 0; i < kDiskCheckFiles; ++i) {
    FormatText(key, sizeof key, "DiskCheckFile%i", i);
    ReadText(key, c.DiskCheckFile[i], kPathSize);
  }
  char exec_app[kPathSize];
  c.ExecApp[0][0] = c.ExecApp[1][0] = '\0';
  if (ReadSetupValue("ExecApp", exec_app, sizeof exec_app)) {
    const char* cursor = exec_app;
    if (!NextListToken(c.ExecApp[0], &cursor) || !NextListToken(c.ExecApp[1], &cursor)) {
      ShowKeyError("ExecApp");
      return 0;
    }
  }
  ReadText("SelectSetupMessage", c.SelectSetupMessage, kLongTextSize, kTextSelectSetupMessage);
  c.UseCompanyNameForShortcutGroup = ReadFlag("UseCompanyNameForShortcutGroup");
  c.ChooseSaveDataFolder = ReadFlag("ChooseSaveDataFolder");
  ReadText("SaveDataFolderNameInInstall", c.SaveDataFolderNameInInstall, kPathSize, "savedata");
  ReadText("SaveDataFolderName", c.SaveDataFolderName, kPathSize, UpdateState.GameDir);
  // Read in its place among the keys, as the installer reads it, though
  // nothing depends on it: the updater never offers to give up the save
  // data, and a missing or odd value shows no message. Kept so that the
  // order of reads stays the installer's own.
  int32_t unused = 0;
  ReadSetupNumber("CancelSaveData", &unused);
  c.InstallAfterAdd = ReadFlag("InstallAfterAdd");
  if (c.InstallAfterAdd) {
    // The add-on set lives in selection slot 3, in place of its file list,
    // numbers and size; its title stays.
    UpdateState.ReportMissingKeys = 1;
    if (!ReadFileList("InstallAddFiles", &c.Selections[3])) return 0;
    UpdateState.ReportMissingKeys = 0;
    c.Selections[3].InstallSize = ReadSize("InstallAddSize");
  }
  ReadText("UninstTitle", c.UninstTitle, kPathSize, UpdateState.GameTitle);
  return 1;
}
