#include "settings/update_script.h"

#include <cstring>

#include "common/text.h"
#include "settings/settings_readers.h"

int ReadScriptSetup() {
  UpdateState.ReportMissingKeys = 1;
  if (!ReadScriptValue("SETUP", "CompanyName", UpdateState.CompanyName, kPathSize) ||
      !ReadScriptValue("SETUP", "GameTitle", UpdateState.GameTitle, kPathSize) ||
      !ReadScriptValue("SETUP", "GameClass", UpdateState.GameClass, kPathSize) ||
      !ReadScriptValue("SETUP", "GameDir", UpdateState.GameDir, kPathSize)) {
    return 0;
  }
  UpdateState.ReportMissingKeys = 0;
  // The readers zero-fill their destination, so a missing key leaves it empty.
  ReadScriptValue("SETUP", "GameTitleA", UpdateState.GameTitleA, kPathSize);
  ReadScriptValue("SETUP", "UpdaterVersion", UpdateState.UpdaterVersion, kPathSize);
  ReadScriptValue("SETUP", "UpdaterTitle", UpdateState.UpdaterTitle, kPathSize);
  ReadScriptValue("SETUP", "DataFolder", UpdateState.DataFolder, kPathSize);
  ReadScriptValue("SETUP", "UpdateMessage", UpdateState.UpdateMessage, kLongTextSize);
  return 1;
}

void MakeNoticeText(const char* value, char* out, size_t size) {
  size_t n = 0;
  for (const char* p = value; *p != '\0' && n + 1 < size;) {
    const char* next = NextChar(p);
    if (next == p + 1 && p[0] == '\\' && p[1] == 'n') {
      out[n++] = '\r';
      p += 2;
      continue;
    }
    if (n + size_t(next - p) >= size) break;  // a double-byte character is never split
    while (p < next) out[n++] = *p++;
  }
  out[n] = '\0';
}

int32_t EntryNameOffset(const char* path) {
  int32_t offset = 0;
  for (const char* p = path; *p != '\0'; p = NextChar(p)) {
    if (IsSingleByte(p, '\\')) offset = int32_t(p - path) + 1;
  }
  return offset;
}

bool KindOfLetter(const char* field, UpdateKind* kind) {
  if (field[0] == '\0' || field[1] != '\0') return false;
  switch (field[0]) {
    case 'd':
    case 'D': *kind = DataFile; return true;
    case 'u':
    case 'U': *kind = IfNewer; return true;
    case 'o':
    case 'O': *kind = ExistingOnly; return true;
    default: return false;
  }
}

void ParseUpdateFileLine(const char* value, UpdateFileLine* line) {
  char fields[3][kListSlotSize] = {};
  const char* cursor = value;
  for (auto& field : fields) {
    if (!NextListToken(field, &cursor)) break;  // this field and the later ones stay empty
  }
  const char* a = fields[0];
  const char* b = fields[1];
  line->HasMode = a[0] >= '0' && a[0] <= '9' && a[1] == '\0';
  line->Mode = line->HasMode ? uint32_t(a[0] - '0') : 0;
  if (line->HasMode) {
    a = fields[1];
    b = fields[2];
  }
  UpdateKind kind = Plain;
  bool lettered = KindOfLetter(a, &kind);
  line->Kind = kind;
  CopyText(line->Path, sizeof line->Path, lettered ? b : a);
  line->NameOffset = EntryNameOffset(line->Path);
}

void ParseRemovalLine(const char* value, RemovalLine* line) {
  char fields[2][kListSlotSize] = {};
  const char* cursor = value;
  for (auto& field : fields) {
    if (!NextListToken(field, &cursor)) break;
  }
  line->HasMode = fields[0][0] >= '0' && fields[0][0] <= '9' && fields[0][1] == '\0';
  line->Mode = line->HasMode ? uint32_t(fields[0][0] - '0') : 0;
  CopyText(line->Path, sizeof line->Path, fields[line->HasMode ? 1 : 0]);
}

void ParseCopyLine(const char* value, CopyLine* line) {
  const char* p = value;
  line->HasMode = p[0] != '\0' && p[1] == ',';
  line->Mode = line->HasMode ? p[0] - '0' : 0;
  if (line->HasMode) p += 2;
  line->DiscNumber = 0;
  if (p[0] != '\0' && p[1] == ':') {
    line->DiscNumber = p[0] - '0';
    p += 2;
  }
  CopyText(line->Path, sizeof line->Path, p);
}

int ReadListCount(const char* key) {
  char value[kPathSize];
  if (!ReadScriptValue("UPDATE", key, value, sizeof value)) return kListLines;
  int32_t count = ParseSettingNumber(value);
  return count <= 0 || count > kMostListLines ? kListLines : count;
}

bool IsFolderPath(const char* path) {
  int32_t name = EntryNameOffset(path);
  return name > 0 && path[name] == '\0';
}

uint32_t ReadRequiredDiskSpace() {
  char value[kPathSize];
  if (!ReadScriptValue("UPDATE", "RequiredDiskSpace", value, sizeof value)) return 0;
  return uint32_t(ParseSettingNumber(value));
}

int ReadOverwriteOnly() {
  char value[kPathSize];
  return ReadScriptValue("UPDATE", "OverwriteOnly", value, sizeof value) && ParseSettingNumber(value) != 0;
}

int ReadAllOrNothing() {
  char value[kPathSize];
  return ReadScriptValue("UPDATE", "AllOrNothing", value, sizeof value) && ParseSettingNumber(value) != 0;
}
