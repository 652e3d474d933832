// What mkupdate needs of the machine it runs on, beyond the standard library:
// file names in code page 932 and file times as FILETIME values.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// The name of a file as the archive stores it (code page 932); false when it
// has a character that code page 932 cannot hold.
bool ArchiveNameOf(const std::filesystem::path& path, std::string* name);
// A text of the command line (the system's own code page on Windows, UTF-8
// elsewhere) in code page 932; false when it has a character that code page
// 932 cannot hold.
bool Cp932OfArgument(const std::string& text, std::string* out);
// The path of a file named by code page 932 bytes, inside `folder`; false
// when the name does not convert.
bool HostPathOf(const std::filesystem::path& folder, const std::string& name, std::filesystem::path* path);

// A code page 932 text as UTF-8, for messages on the terminal.
std::string DisplayText(const std::string& cp932);
// Whether standard error is a terminal (for the progress display).
bool ErrorIsTerminal();

// 1 January 1970 as a FILETIME: 100-nanosecond intervals since 1601.
constexpr int64_t kUnixEpochAsFileTime = 116444736000000000ll;

// The last-write time of a file; 0 when it cannot be read.
uint64_t FileTimeOf(const std::filesystem::path& path);
bool SetFileTimeOf(const std::filesystem::path& path, uint64_t time);

// Whether `path` is a symbolic link that loops or leads to nothing, and the
// words for one. A folder walk stops at such a link: it cannot say what the
// link stands for.
bool IsBrokenLink(const std::filesystem::path& path);
inline constexpr char kBrokenLink[] = "a link that loops or leads nowhere";

// Writes `size` bytes as the file `path`: to a new temporary file beside it,
// flushed to the disk, closed with its errors checked, given the last-write
// time `time` when one is given, and renamed into place. Any failure (a full
// disk among them) leaves what was at `path` as it was and no temporary file.
bool WriteFileInPlace(const std::filesystem::path& path, const uint8_t* data, size_t size,
                      const uint64_t* time = nullptr);
