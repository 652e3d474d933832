// The readers through which every setting is read: two key readers with one
// report of missing keys (on while UpdateState.ReportMissingKeys is set), a
// reader of decimal numbers, and the list tokenizer.
#pragma once

#include <cstddef>
#include <cstdint>

// Section "SETUP" of SETUP.INI (UpdateState.SetupIniPath). The destination
// is zero-filled first; true when a non-empty value was read.
int ReadSetupValue(const char* key, char* dst, uint32_t size);
// Any section of UPDATE.INI, from the payload's own bytes
// (UpdateState.ScriptBytes); nothing is read before the start-up holds them.
int ReadScriptValue(const char* section, const char* key, char* dst, uint32_t size);
// The numbered lines of section "UPDATE" (`pattern` with the numbers 0 to
// `count` - 1, such as "UpdateFile%02i"), each read into a holder of
// `holder_size` bytes (at most kLongTextSize) and handed to `line`, up to the
// first one missing. True when the line numbered 0 was there.
int ReadScriptList(const char* pattern, int count, uint32_t holder_size, void (*line)(const char* value));
// A decimal number from section "SETUP" of SETUP.INI; `value` is left as it
// was when the key is missing.
int ReadSetupNumber(const char* key, int32_t* value);

// Decimal conversions of the settings: leading white space, one optional
// sign, digits up to the first other byte; no digit gives 0. The signed form
// clamps to the signed 32-bit range; the size form is unsigned 64-bit, where
// a minus negates modulo 2^64.
int32_t ParseSettingNumber(const char* text);
uint64_t ParseSettingSize(const char* text);

enum { kListSlotSize = 260 };

// Splits a comma-separated list: places the next item, NUL-terminated, in
// `dst` (a slot of kListSlotSize bytes; a longer item is cut to fit) and
// advances `*cursor`. Leading blanks are dropped; a digit-or-other byte
// followed by a colon is a prefix whose number goes to
// UpdateState.ListPrefixNumber. False, with nothing written, when the list
// ends: at its end, at a line break, or at an empty item.
int NextListToken(char* dst, const char** cursor);
// For tools that check a list: the length of the next item as the list
// spells it, before its slot cuts it (0 when the list ends), the cursor
// advanced as NextListToken advances it. The prefix number is left alone.
size_t ListItemLength(const char** cursor);
