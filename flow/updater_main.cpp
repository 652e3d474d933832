#include "flow/updater_main.h"

#include <cstring>

#include "archive/file_output.h"
#include "archive/payload_archive.h"
#include "archive/payload_checksum.h"
#include "common/bytes.h"
#include "common/error_box.h"
#include "common/messages.h"
#include "common/text.h"
#include "common/update_state.h"
#include "flow/file_update.h"
#include "flow/placement.h"
#include "flow/recovery.h"
#include "flow/wizard.h"
#include "platform/link_guard.h"
#include "resources/resource_ids.h"
#include "settings/installer_config.h"
#include "settings/settings_readers.h"
#include "settings/update_script.h"

void CleanUpTemporary() {
  ClosePayloadArchive();
  ReleaseUpdateList();
  ReleaseArchiveEntry(UpdateState.ScriptBytes);
  UpdateState.ScriptBytes = nullptr;
}

namespace {

int Stop() {
  CleanUpTemporary();
  return 0;
}

// The script's bytes, straight from the payload. Nothing is written:
// a copy in the user's temporary folder would serve nothing, and an elevated
// program writing and deleting a known name there can be steered by a
// junction to any file on the disk. A payload without the script shows
// "Can't Find File in Resource !!" here, as before.
int LoadScript() {
  uint32_t size = 0;
  UpdateState.ScriptBytes = LoadArchiveEntry(kScriptEntryName, &size);
  UpdateState.ScriptSize = size;
  return UpdateState.ScriptBytes != nullptr;
}

// An agreement text or title: an archive entry named by a script key, as a
// text ending in two zero bytes. None when the key is missing; false after a
// message.
int LoadAgreementBlock(const char* key, char** block) {
  char name[kPathSize];
  ReadScriptValue("SETUP", key, name, sizeof name);
  if (name[0] == '\0') return 1;
  uint32_t size = 0;
  const uint8_t* bytes = LoadArchiveEntry(name, &size);
  if (bytes == nullptr) {
    ShowUpdaterErrorF(kMsgAgreementNotFound, name);
    return 0;
  }
  char* copy = size <= 0xFFFFFFFDu ? static_cast<char*>(Os->Alloc(size + 2, 1)) : nullptr;
  if (copy != nullptr) memcpy(copy, bytes, size);
  ReleaseArchiveEntry(bytes);
  if (copy == nullptr) {
    ShowUpdaterError(kMsgNoMemory);
    return 0;
  }
  *block = copy;
  return 1;
}

// Whether `path` is a share of this machine (\\localhost\C$\Games\X, the
// machine's own name or address) or any administrative share (C$, ADMIN$):
// the file server would follow links there on its own side, where no check
// of this process reaches.
bool IsShareOfThisMachine(const char* path) {
  if (!IsPathSeparator(path) || !IsPathSeparator(path + 1)) return false;
  char server[kPathSize], share[kPathSize];
  const char* p = path + 2;
  size_t n = 0;
  for (; *p != '\0' && !IsPathSeparator(p) && n + 1 < sizeof server; ++p) server[n++] = *p;
  server[n] = '\0';
  n = 0;
  if (IsPathSeparator(p)) ++p;
  for (; *p != '\0' && !IsPathSeparator(p) && n + 1 < sizeof share; ++p) share[n++] = *p;
  share[n] = '\0';
  return (n > 0 && share[n - 1] == '$') || Os->IsThisMachine(server);
}

// The installation record under HKEY_CURRENT_USER, found by the script's
// CompanyName and GameDir. An InstPath that is not absolute counts as
// missing: the elevated updater must not write wherever it was started. So
// does a base folder on a share of this very machine.
int ReadInstallRecord() {
  char subkey[kLongTextSize];
  FormatText(subkey, sizeof subkey, "Software\\%s\\%s", UpdateState.CompanyName, UpdateState.GameDir);
  RegistryKey key = Os->OpenUserKey(subkey);
  if (key == nullptr) return 0;
  int found = Os->QueryValue(key, "InstPath", UpdateState.InstPath, kPathSize) && IsAbsolutePath(UpdateState.InstPath);
  if (found) {
    if (!Os->QueryValue(key, "DataPath", UpdateState.DataPath, kPathSize)) UpdateState.DataPath[0] = '\0';
    ResolveDataPath();
    uint8_t mode[4] = {};
    found = Os->QueryValue(key, "InstMode", mode, sizeof mode) && !IsShareOfThisMachine(UpdateState.InstPath) &&
            !IsShareOfThisMachine(UpdateState.DataPath);
    UpdateState.InstMode = ReadLe32(mode);  // the layout of REG_DWORD
  }
  Os->CloseKey(key);
  return found;
}

// While the game's window is there, ask the player to quit it. False when
// the player gave up; the game is then brought to the front.
int WaitForGameToClose(const char* title) {
  for (;;) {
    PlatformWindow game = Os->FindTopWindow(UpdateState.GameClass, title);
    if (game == nullptr) return 1;
    char message[kLongTextSize];
    FormatText(message, sizeof message, kMsgGameRunning, title);
    if (Os->ShowMessageBox(nullptr, message, UpdateState.UpdaterCaption, kBoxOkCancel) != kAnswerOk) {
      Os->BringToFront(game);
      return 0;
    }
  }
}

// Before the archive is opened: when the update carries a checksum record,
// the whole image must match it, so a damaged download never gets as far as
// decoding, let alone writing. An update without the record is taken as it is.
bool PayloadIsIntact(void* instance) {
  const uint8_t* record = nullptr;
  uint32_t record_size = 0;
  if (!Os->LoadUpdateResource(instance, IDR_PAYLOAD_CHECKSUM, &record, &record_size)) return true;
  return PayloadMatchesChecksum(UpdateState.PayloadArchive.Bytes, UpdateState.PayloadArchive.Size, record, record_size);
}

}  // namespace

// The data folder as the game finds it, started from its own folder: an
// empty or relative DataPath is taken under InstPath, never under the working
// folder of this process, which depends on how the updater was started. A
// join that does not fit leaves DataPath empty: its lines then fail as writes
// that cannot be made.
void ResolveDataPath() {
  if (IsAbsolutePath(UpdateState.DataPath)) return;
  char joined[kPathSize];
  CopyText(joined, sizeof joined, UpdateState.InstPath);
  bool fits = UpdateState.DataPath[0] == '\0' || AppendPathComponent(joined, sizeof joined, UpdateState.DataPath);
  CopyText(UpdateState.DataPath, kPathSize, fits ? joined : "");
}

int ReadUpdateScript() {
  if (!LoadScript()) return 0;
  if (!ReadScriptSetup()) return 0;  // reports the first missing key
  return LoadAgreementBlock("AgreementText", &UpdateState.AgreementTextBlock) &&
         LoadAgreementBlock("AgreementTitle", &UpdateState.AgreementTitleBlock);
}

int ReadInstallation() {
  if (UpdateState.UpdateMessage[0] != '\0') {
    char notice[kLongTextSize];
    MakeNoticeText(UpdateState.UpdateMessage, notice, sizeof notice);
    ShowUpdaterError(notice);
  }
  CopyText(UpdateState.SetupIniPath, kPathSize, UpdateState.InstPath);
  if (!AppendPathComponent(UpdateState.SetupIniPath, kPathSize, "SETUP.INI") ||
      Os->GetAttributes(UpdateState.SetupIniPath) == kInvalidAttributes) {
    ShowUpdaterError(kMsgNoSetupIni);
    return 0;
  }
  if (!LoadInstallerConfig()) return 0;
  if (UpdateState.UpdaterTitle[0] != '\0') {
    CopyText(UpdateState.UpdaterCaption, kLongTextSize, UpdateState.UpdaterTitle);
  } else {
    FormatText(UpdateState.UpdaterCaption, kLongTextSize, kTextDefaultCaption, UpdateState.GameTitle,
               UpdateState.UpdaterVersion);
  }
  return 1;
}

int UpdaterMain(void* instance) {
  GuardAgainstForeignLinks();
  Os->InitComponents();
  const uint8_t* bytes = nullptr;
  uint32_t size = 0;
  if (!Os->LoadUpdateResource(instance, IDR_PAYLOAD, &bytes, &size) || size == 0) return Stop();
  UpdateState.PayloadArchive = {bytes, size};
  if (!PayloadIsIntact(instance) || OpenPayloadArchive() == nullptr) {
    ShowUpdaterError(kMsgResourceReadError);
    return Stop();
  }
  if (!ReadUpdateScript()) return Stop();
  if (!ReadInstallRecord()) {
    ShowUpdaterErrorF(kMsgNotInstalled, UpdateState.GameTitle);
    return Stop();
  }
  if (!ReadInstallation()) return Stop();
  if (PlatformWindow other = Os->FindTopWindow(nullptr, UpdateState.UpdaterCaption)) {
    Os->BringToFront(other);  // another copy is running: its window comes forward
    return Stop();
  }
  if (!WaitForGameToClose(UpdateState.GameTitle)) return Stop();
  if (UpdateState.GameTitleA[0] != '\0' && !WaitForGameToClose(UpdateState.GameTitleA)) return Stop();

  // No other copy runs and the game is closed: what an interrupted run left
  // is nobody's now.
  if (RecoverFromJournal()) RepairInterruptedRun();

  int id = UpdateState.AgreementTextBlock != nullptr ? IDD_WIZARD_AGREEMENT : IDD_WIZARD;
  intptr_t result = Os->RunDialog(id, WizardProc);
  UpdateState.WizardWindow = nullptr;
  if (result == kWizardDone) {
    CleanUpTemporary();
    return 1;
  }
  ShowUpdaterError(kMsgInterrupted);
  return Stop();
}
