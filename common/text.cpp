#include "common/text.h"

#include <cstring>

const char* NextChar(const char* p) {
  if (*p == '\0') return p;
  if (IsLeadByte(static_cast<unsigned char>(*p)) && p[1] != '\0') return p + 2;
  return p + 1;
}

size_t CopyText(char* dst, size_t size, const char* src) {
  if (size == 0) return 0;
  size_t n = strlen(src);
  if (n > size - 1) n = size - 1;
  memcpy(dst, src, n);
  dst[n] = '\0';
  return n;
}

bool AppendText(char* dst, size_t size, const char* src) {
  size_t have = strnlen(dst, size);
  size_t add = strlen(src);
  if (have >= size || add >= size - have) return false;
  memcpy(dst + have, src, add + 1);
  return true;
}

bool PathStaysInside(const char* path) {
  bool at_start = true;
  int dots = 0, others = 0;  // of the current component
  for (const char* p = path;; p = NextChar(p)) {
    bool separator = IsPathSeparator(p);
    if (separator || *p == '\0') {
      if (separator && at_start) return false;
      if (dots >= 2 && others == 0) return false;
      if (*p == '\0') return true;
      dots = others = 0;
      continue;
    }
    at_start = false;
    if (IsSingleByte(p, ':')) return false;
    if (IsSingleByte(p, '.')) ++dots;
    else if (!IsSingleByte(p, ' ')) ++others;
  }
}

bool IsAbsolutePath(const char* path) {
  unsigned char first = static_cast<unsigned char>(path[0]);
  if (((first | 0x20) >= 'a' && (first | 0x20) <= 'z') && path[1] == ':') return IsPathSeparator(path + 2);
  if (!IsPathSeparator(path) || !IsPathSeparator(path + 1)) return false;
  // \\server\share: two names, neither empty, the server's not "." or "?".
  const char* p = path + 2;
  const char* server = p;
  while (*p != '\0' && !IsPathSeparator(p)) p = NextChar(p);
  size_t server_size = size_t(p - server);
  if (server_size == 0 || *p == '\0') return false;
  if (server_size == 1 && (server[0] == '.' || server[0] == '?')) return false;
  const char* share = NextChar(p);
  return *share != '\0' && !IsPathSeparator(share);
}

const char* LastPathComponent(const char* path) {
  const char* last = path;
  for (const char* p = path; *p != '\0'; p = NextChar(p))
    if (IsPathSeparator(p) && p[1] != '\0') last = p + 1;
  return last;
}

void ForEachFolderOnTheWay(const char* base, const char* path, void (*visit)(void* context, const char* folder),
                           void* context) {
  char partial[1024];
  size_t start = strlen(base);
  for (const char* p = path + start; *p != '\0'; p = NextChar(p)) {
    if (!IsPathSeparator(p) || p == path + start) continue;
    size_t length = size_t(p - path);
    if (length >= sizeof partial) return;
    memcpy(partial, path, length);
    partial[length] = '\0';
    visit(context, partial);
  }
}

bool TextStartsWithNoCase(const char* text, const char* prefix) {
  const unsigned char* x = reinterpret_cast<const unsigned char*>(prefix);
  const unsigned char* y = reinterpret_cast<const unsigned char*>(text);
  for (;;) {
    if (*x == 0) return true;
    if (IsLeadByte(*x) && x[1] != 0) {
      if (x[0] != y[0] || x[1] != y[1]) return false;
      x += 2;
      y += 2;
      continue;
    }
    if (FoldAscii(*x) != FoldAscii(*y)) return false;
    ++x;
    ++y;
  }
}

bool TextEqualNoCase(const char* a, const char* b) {
  return TextStartsWithNoCase(a, b) && a[strlen(b)] == '\0';
}

namespace {

// Output with the cut-to-size rule: bytes beyond the capacity are dropped.
struct Sink {
  char* out;
  size_t size;
  size_t used;
  void Put(char c) {
    if (used + 1 < size) out[used++] = c;
  }
  void Pad(char c, int count) {
    while (count-- > 0) Put(c);
  }
};

}  // namespace

size_t FormatTextV(char* out, size_t size, const char* format, va_list args) {
  Sink sink{out, size, 0};
  if (size == 0) return 0;
  for (const char* f = format; *f != '\0'; ++f) {
    if (*f != '%') {
      sink.Put(*f);
      continue;
    }
    ++f;
    bool left = false;
    bool zero = false;
    for (;; ++f) {
      if (*f == '-') left = true;
      else if (*f == '0') zero = true;
      else break;
    }
    int width = 0;
    while (*f >= '0' && *f <= '9') width = width * 10 + (*f++ - '0');
    bool wide = false;
    if (f[0] == 'l' && f[1] == 'l') {
      wide = true;
      f += 2;
    } else if (f[0] == 'I' && f[1] == '6' && f[2] == '4') {
      wide = true;
      f += 3;
    } else if (f[0] == 'l') {
      ++f;
    }
    char digits[24];
    int count = 0;
    const char* text = nullptr;
    bool negative = false;
    switch (*f) {
      case '\0':
        --f;  // a lone '%' at the end: stop at the NUL on the next round
        continue;
      case '%': sink.Put('%'); continue;
      case 'c': {
        char c = static_cast<char>(va_arg(args, int));
        if (!left) sink.Pad(' ', width - 1);
        sink.Put(c);
        if (left) sink.Pad(' ', width - 1);
        continue;
      }
      case 's':
        text = va_arg(args, const char*);
        if (text == nullptr) text = "(null)";
        break;
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X': {
        uint64_t value;
        if (*f == 'd' || *f == 'i') {
          int64_t v = wide ? va_arg(args, int64_t) : va_arg(args, int32_t);
          negative = v < 0;
          value = negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        } else {
          value = wide ? va_arg(args, uint64_t) : va_arg(args, uint32_t);
        }
        unsigned base = (*f == 'x' || *f == 'X') ? 16 : 10;
        const char* set = (*f == 'X') ? "0123456789ABCDEF" : "0123456789abcdef";
        do {
          digits[count++] = set[value % base];
          value /= base;
        } while (value != 0);
        break;
      }
      default:  // an unknown conversion is copied as it stands
        sink.Put(*f);
        continue;
    }
    if (text != nullptr) {
      int len = static_cast<int>(strlen(text));
      if (!left) sink.Pad(' ', width - len);
      for (int i = 0; i < len; ++i) sink.Put(text[i]);
      if (left) sink.Pad(' ', width - len);
      continue;
    }
    int len = count + (negative ? 1 : 0);
    if (!left && !zero) sink.Pad(' ', width - len);
    if (negative) sink.Put('-');
    if (!left && zero) sink.Pad('0', width - len);
    while (count > 0) sink.Put(digits[--count]);
    if (left) sink.Pad(' ', width - len);
  }
  out[sink.used] = '\0';
  return sink.used;
}

size_t FormatText(char* out, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  size_t n = FormatTextV(out, size, format, args);
  va_end(args);
  return n;
}

// Whether the path's last character, walked in code page 932, is a separator:
// the trail byte 0x5C of a double-byte character does not count.
static bool EndsInSeparator(const char* path) {
  const char* last = nullptr;
  for (const char* p = path; *p != '\0'; p = NextChar(p)) last = p;
  return last != nullptr && IsPathSeparator(last);
}

int AppendPathComponent(char* path, size_t size, const char* component) {
  size_t have = strnlen(path, size);
  if (have == size) return 0;
  size_t sep = (have > 0 && !EndsInSeparator(path)) ? 1 : 0;
  size_t add = strlen(component);
  if (have + sep + add + 2 > size) return 0;  // the text, its NUL and the second NUL
  char* end = path + have;
  if (sep) *end++ = '\\';
  memcpy(end, component, add);
  end[add] = '\0';
  end[add + 1] = '\0';
  return 1;
}
