#include "settings/profile_reader.h"

#include <cstring>

#include "common/cp932_twins.h"
#include "common/text.h"
#include "common/update_state.h"
#include "platform/platform.h"

namespace {

// Larger files are no INI file of this system and are read as missing.
constexpr uint32_t kMostProfileBytes = 16u << 20;

bool IsBlank(unsigned char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == 0x1A; }

// A span of bytes of the file: [begin, end).
struct Span {
  const char* begin;
  const char* end;
};

Span Trim(Span s) {
  while (s.begin < s.end && IsBlank(static_cast<unsigned char>(*s.begin))) ++s.begin;
  while (s.end > s.begin && IsBlank(static_cast<unsigned char>(s.end[-1]))) --s.end;
  return s;
}

Span TrimText(const char* text) { return Trim({text, text + strlen(text)}); }

// One double-byte character by what it stands for: a code that code page
// 932 holds for a character with a smaller code too (a Roman numeral of the
// NEC and IBM rows, a kanji of both extensions) becomes that smaller code.
uint32_t CharacterOf(uint32_t code) {
  size_t low = 0, high = sizeof kCp932Twins / sizeof kCp932Twins[0];
  while (low < high) {
    size_t middle = (low + high) / 2;
    if (kCp932Twins[middle].Code == code) return kCp932Twins[middle].SameAs;
    if (kCp932Twins[middle].Code < code) low = middle + 1;
    else high = middle;
  }
  return code;
}

// Whether two names are one to the system's own profile reader, which takes
// both to Unicode and compares them: ASCII letters without regard to case;
// a double-byte character by what it stands for, its trail byte never a
// letter of its own (ア, 83 41, is not ヂ, 83 61); no other letter folded
// (Ａ is not ａ).
bool SameName(Span a, Span b) {
  const char *p = a.begin, *q = b.begin;
  while (p < a.end && q < b.end) {
    unsigned char x = static_cast<unsigned char>(*p), y = static_cast<unsigned char>(*q);
    bool wide_x = IsLeadByte(x) && p + 1 < a.end, wide_y = IsLeadByte(y) && q + 1 < b.end;
    if (wide_x != wide_y) return false;
    if (wide_x) {
      uint32_t cx = uint32_t(x) << 8 | static_cast<unsigned char>(p[1]);
      uint32_t cy = uint32_t(y) << 8 | static_cast<unsigned char>(q[1]);
      if (CharacterOf(cx) != CharacterOf(cy)) return false;
      p += 2;
      q += 2;
    } else {
      if (FoldAscii(x) != FoldAscii(y)) return false;
      ++p;
      ++q;
    }
  }
  return p == a.end && q == b.end;
}

// Finds the value of the key in the first section of that name.
bool FindValue(Span file, Span section, Span key, Span* value) {
  bool in_first_match = section.begin == section.end;  // lines before any section
  const char* p = file.begin;
  while (p < file.end) {
    const char* end = p;
    while (end < file.end && *end != '\n' && *end != '\r') ++end;
    Span line = Trim({p, end});
    p = end < file.end ? end + 1 : end;
    if (line.begin == line.end) continue;
    if (*line.begin == '[') {
      const char* close = line.end;
      while (close > line.begin && *(close - 1) != ']') --close;
      if (close > line.begin + 1) {        // a "]" after the "["
        if (in_first_match) return false;  // the key was not in the first such section
        Span name = {line.begin + 1, close - 1};
        in_first_match = SameName(name, section);
        continue;
      }
      // no "]": an ordinary line
    }
    if (!in_first_match) continue;
    const char* equals = static_cast<const char*>(memchr(line.begin, '=', size_t(line.end - line.begin)));
    Span name = Trim({line.begin, equals ? equals : line.end});
    if (!SameName(name, key)) continue;
    *value = equals ? Trim({equals + 1, line.end}) : Span{line.end, line.end};
    return true;
  }
  return false;
}

}  // namespace

uint32_t ReadProfileString(const char* path, const char* section, const char* key, char* dst, uint32_t size) {
  if (size == 0) return 0;
  dst[0] = '\0';
  PlatformFile file = Os->OpenFileForRead(path);
  if (file == nullptr) return 0;
  uint32_t length = 0, got = 0;
  char* bytes = nullptr;
  if (Os->FileSize(file, &length) && length <= kMostProfileBytes) {
    bytes = static_cast<char*>(Os->Alloc(length + 1, 0));
    if (bytes != nullptr && !Os->ReadFileBytes(file, bytes, length, &got)) got = 0;
  }
  Os->CloseFile(file);
  if (bytes == nullptr) return 0;

  uint32_t copied = ReadProfileBytes(bytes, got, section, key, dst, size);
  Os->Free(bytes);
  return copied;
}

uint32_t ReadProfileBytes(const char* bytes, uint32_t length, const char* section, const char* key, char* dst,
                          uint32_t size) {
  if (size == 0) return 0;
  dst[0] = '\0';
  Span text = {bytes, bytes + length};
  if (length >= 3 && memcmp(bytes, "\xEF\xBB\xBF", 3) == 0) text.begin += 3;
  Span value;
  if (!FindValue(text, TrimText(section), TrimText(key), &value)) return 0;
  // A NUL byte in the file ends the value there, as it ends any text.
  if (const void* nul = memchr(value.begin, '\0', size_t(value.end - value.begin)))
    value.end = static_cast<const char*>(nul);
  size_t n = size_t(value.end - value.begin);
  if (n >= 2 && (*value.begin == '"' || *value.begin == '\'') && value.end[-1] == *value.begin) {
    ++value.begin;
    --value.end;
    n -= 2;
  }
  if (n > size - 1) n = size - 1;
  memcpy(dst, value.begin, n);
  dst[n] = '\0';
  return uint32_t(n);
}
