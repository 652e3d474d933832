#include "settings/settings_readers.h"

#include <cstring>

#include "common/error_box.h"
#include "common/messages.h"
#include "common/text.h"
#include "common/update_state.h"
#include "settings/profile_reader.h"

int ReadSetupValue(const char* key, char* dst, uint32_t size) {
  memset(dst, 0, size);
  if (ReadProfileString(UpdateState.SetupIniPath, "SETUP", key, dst, size) > 0) return 1;
  if (UpdateState.ReportMissingKeys) {
    ShowCommonErrorF(kMsgSetupKeyMissing, key);
  }
  return 0;
}

int ReadScriptList(const char* pattern, int count, uint32_t holder_size, void (*line)(const char* value)) {
  int present = 0;
  for (int n = 0; n < count; ++n) {
    char key[32], value[kLongTextSize];
    FormatText(key, sizeof key, pattern, n);
    if (!ReadScriptValue("UPDATE", key, value, holder_size)) break;  // a gap ends the list
    if (n == 0) present = 1;
    line(value);
  }
  return present;
}

int ReadScriptValue(const char* section, const char* key, char* dst, uint32_t size) {
  memset(dst, 0, size);
  uint32_t n = UpdateState.ScriptBytes != nullptr
                   ? ReadProfileBytes(reinterpret_cast<const char*>(UpdateState.ScriptBytes), UpdateState.ScriptSize,
                                      section, key, dst, size)
                   : 0;
  if (n > 0) return 1;
  if (UpdateState.ReportMissingKeys) {
    ShowCommonErrorF(kMsgScriptKeyMissing, section, key);
  }
  return 0;
}

static bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Skips white space and reads the sign; returns where the digits start.
static const char* StartOfNumber(const char* p, bool* negative) {
  while (IsSpace(*p)) ++p;
  *negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  return p;
}

int32_t ParseSettingNumber(const char* text) {
  bool negative;
  const char* p = StartOfNumber(text, &negative);
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > int64_t(1) << 32) value = int64_t(1) << 32;  // beyond either limit already
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return int32_t(value);
}

uint64_t ParseSettingSize(const char* text) {
  bool negative;
  const char* p = StartOfNumber(text, &negative);
  uint64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) value = value * 10 + uint64_t(*p - '0');  // 19 digits always fit
  return negative ? 0 - value : value;
}

int ReadSetupNumber(const char* key, int32_t* value) {
  char text[20];
  if (!ReadSetupValue(key, text, sizeof text)) return 0;
  *value = ParseSettingNumber(text);
  return 1;
}

static bool IsListTerminator(char c) { return c == '\0' || c == '\n' || c == '\r' || c == ','; }

// The next item of a list at `p`: its text from `*begin` to `*end` (before
// any cut), its prefix character or 0, and where the list goes on. False when
// the list ends there.
static bool ScanListItem(const char* p, const char** begin, const char** end, char* prefix, const char** next) {
  while (*p == ' ' || *p == '\t') ++p;
  if (IsListTerminator(*p)) {
    *next = p;
    return false;
  }
  *prefix = 0;
  if (p[1] == ':') {
    *prefix = *p;
    p += 2;
  }
  *begin = p;
  while (!IsListTerminator(*p)) ++p;
  *end = p;
  *next = *p == '\0' ? p : p + 1;
  return true;
}

int NextListToken(char* dst, const char** cursor) {
  const char *begin, *end, *next;
  char prefix;
  if (!ScanListItem(*cursor, &begin, &end, &prefix, &next)) {
    *cursor = next;
    return 0;
  }
  if (prefix != 0) UpdateState.ListPrefixNumber = (prefix >= '0' && prefix <= '9') ? prefix - '0' : 0;
  size_t n = size_t(end - begin);
  if (n > kListSlotSize - 1) n = kListSlotSize - 1;  // a longer item is cut to its slot
  memcpy(dst, begin, n);
  dst[n] = '\0';
  *cursor = next;
  return 1;
}

size_t ListItemLength(const char** cursor) {
  const char *begin, *end, *next;
  char prefix;
  bool found = ScanListItem(*cursor, &begin, &end, &prefix, &next);
  *cursor = next;
  return found ? size_t(end - begin) : 0;
}
