// Archive entry names as paths: a file's path relative to the update folder,
// its components joined by backslashes, in code page 932, at most 259 bytes
// (the Name field of 260 bytes). A name without a backslash is a file at the
// root, as every archive made before folders were carried has.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// The entry name of the file at `relative` (a path relative to the folder
// packed, as the walk gives it); "" and the reason in `why` when it has
// none: a component without a code page 932 form, one that no Windows file
// can be named, or a name longer than 259 bytes.
std::string EntryNameOf(const std::filesystem::path& relative, std::string* why);

// Why an entry name cannot be written inside a folder as the file it names,
// or "" when it can: the name must be a relative path of components joined
// by single backslashes, none of them empty, dots alone ("." or ".."), a
// drive or a stream (":"), a device's name, or holding "/" or a character
// Windows does not allow. The same names are refused on every system, so
// that an archive extracts alike on Linux and Windows.
std::string UnsafeEntryName(const char* name);

// The components of an entry name, split at its backslashes (a trail byte
// 0x5C of a double-byte character is none).
std::vector<std::string> EntryNameComponents(const std::string& name);
