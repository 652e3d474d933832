// Byte-string helpers shared by every subsystem. Texts are NUL-terminated
// strings in code page 932 (Shift-JIS); a lead byte and the byte after it form
// one character wherever a text is scanned character by character.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// A lead byte of code page 932: 0x81 to 0x9F or 0xE0 to 0xFC. Judged by this
// rule alone, never by the code page of the system the program runs on.
inline bool IsLeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// An ASCII letter in upper case; every other byte as it is.
inline unsigned char FoldAscii(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

// The next character of a code page 932 text: two bytes on for a lead byte
// (one when the text ends after it), one otherwise; never past the NUL.
const char* NextChar(const char* p);

// Whether the character starting at `p` is the single-byte character `c`,
// never the trail byte of a double-byte character (表 ends in 0x5C, "\\").
inline bool IsSingleByte(const char* p, char c) { return *p == c && NextChar(p) == p + 1; }

// Whether the character starting at `p` separates folders: "\\" or "/".
inline bool IsPathSeparator(const char* p) { return IsSingleByte(p, '\\') || IsSingleByte(p, '/'); }

// Copies `src` into `dst` of `size` bytes, cut to size - 1 bytes (the
// system's rule for every fixed buffer). Returns the bytes copied.
size_t CopyText(char* dst, size_t size, const char* src);

// Appends `src` to the text in `dst` of `size` bytes; false, with `dst`
// unchanged, when the result would not fit.
bool AppendText(char* dst, size_t size, const char* src);

// Whether a relative path stays inside the folder it is joined to: false
// for a path that starts with a separator (the root of a drive, or a
// network share), names a drive or a stream (any ':'), or has a component
// of dots alone beyond one ("..", and "..." which the system reads alike).
// Separators are '\\' and '/' where they are characters of their own, never
// the trail byte of a double-byte character. An empty path stays inside.
bool PathStaysInside(const char* path);

// Appends `component` to the path in `path` (a buffer of `size` bytes) after
// exactly one separator, then a second NUL, so that the result is also a
// one-item path list. Returns 0, with `path` unchanged, when the result and
// both NULs would not fit.
int AppendPathComponent(char* path, size_t size, const char* component);

// Whether a path names its place whatever the working folder is: a drive
// letter, a colon and a separator (C:\Games), or a share of a server
// (\\server\share, with or without more after it). Not C:Games (the drive's
// current folder), \Games (the current drive's root), or a device path
// (\\.\ or \\?\).
bool IsAbsolutePath(const char* path);

// The last component of a path (after its last separator that is not its
// last character), or the whole path when it has no separator.
const char* LastPathComponent(const char* path);

// Whether `text` begins with `prefix`, ASCII letters compared without
// regard to case as TextEqualNoCase does (never a double-byte character's
// second byte).
bool TextStartsWithNoCase(const char* text, const char* prefix);

// Calls `visit` with each folder on the way from `base` (a leading part of
// `path`) to `path`'s own folder, nearest `base` first: for C:\G and
// C:\G\a\b\f.dat, C:\G\a and C:\G\a\b. A folder whose path does not fit
// 1,024 bytes ends the walk.
void ForEachFolderOnTheWay(const char* base, const char* path, void (*visit)(void* context, const char* folder),
                           void* context);

// The drive of a path for the free-space query: its first two characters
// (such as "C:"), fewer when the path is shorter.
inline void DriveOf(const char* path, char root[3]) {
  root[0] = path[0];
  root[1] = path[0] != '\0' ? path[1] : '\0';
  root[2] = '\0';
}

// Equality of two names as the archive compares its entry names: ASCII
// letters without regard to case; both bytes of a double-byte character
// compared exactly, so a trail byte is never case-folded. (The profile
// reader compares section and key names as the system's reader does:
// settings/profile_reader.cpp.)
bool TextEqualNoCase(const char* a, const char* b);

// Formats like the platform's wsprintfA into `out` of `size` bytes (the result
// is cut to size - 1 bytes). Understands %s, %c, %d, %i, %u, %x, %X and %%,
// flags '-' and '0', a width, and the size prefixes "l", "ll" and "I64".
// Returns the bytes written, without the NUL.
size_t FormatText(char* out, size_t size, const char* format, ...);
size_t FormatTextV(char* out, size_t size, const char* format, va_list args);
