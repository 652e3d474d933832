// The project's own reader of INI ("profile") files, used on every platform
// in place of GetPrivateProfileStringA, so that values arrive byte for byte in
// code page 932 whatever the code page of the system.
//
// The format, as the platform's reader understands it:
//  - Lines end at a line feed or a carriage return; blanks (space, tab, the
//    other ASCII white-space bytes, Ctrl-Z) at both ends of a line are
//    dropped, and empty lines are skipped. A UTF-8 byte-order mark at the
//    start of the file is skipped.
//  - "[name]" opens a section: the name is everything between the "[" and the
//    last "]" of the line, blanks included. Lines before the first section
//    belong to a section with the empty name.
//  - Any other line is a key: the name is the text before the first "=",
//    without blanks at its end; the value is the text after it, without
//    blanks at its start. A line without "=" is a key without value. Lines
//    that start with ";" are comments in effect: no key of a program's own
//    starts with ";".
//  - A section given twice: only the first one is searched. A key given twice
//    in it: the first one counts.
//  - A NUL byte ends the value at that point.
//  - A value that begins and ends with the same quotation mark (" or '), and
//    is longer than that one mark, loses both marks.
//  - Section and key names compare without regard to the case of ASCII
//    letters; blanks around the requested names are ignored.
#pragma once

#include <cstdint>

// Copies the value of `key` in `section` of the file at `path` into `dst` of
// `size` bytes, cut to size - 1 bytes, and NUL-terminates it. Returns the
// number of bytes copied: 0 for a missing file, section or key, and for an
// empty value (`dst` is then empty).
uint32_t ReadProfileString(const char* path, const char* section, const char* key, char* dst, uint32_t size);

// The same lookup on a file's bytes already in memory.
uint32_t ReadProfileBytes(const char* bytes, uint32_t length, const char* section, const char* key, char* dst,
                          uint32_t size);
