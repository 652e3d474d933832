#include "settings/profile_reader.h"

#include <cstring>

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

bool SameName(Span a, Span b) {
  if (a.end - a.begin != b.end - b.begin) return false;
  for (const char *p = a.begin, *q = b.begin; p < a.end; ++p, ++q) {
    if (FoldAscii(static_cast<unsigned char>(*p)) != FoldAscii(static_cast<unsigned char>(*q))) return false;
  }
  return true;
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
