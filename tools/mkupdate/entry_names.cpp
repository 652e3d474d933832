#include "tools/mkupdate/entry_names.h"

#include <cstring>
#include <vector>

#include "archive/payload_archive.h"
#include "common/text.h"
#include "tools/mkupdate/host.h"

namespace fs = std::filesystem;

namespace {

// Whether `name` (up to its first dot, without trailing spaces) is one of
// the names Windows reserves for devices: CON.TXT opens the console there.
bool IsDeviceName(const std::string& name) {
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
  std::string base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = char(FoldAscii(static_cast<unsigned char>(c)));
  for (const char* device : kDevices)
    if (base == device) return true;
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) && base[3] >= '1' &&
         base[3] <= '9';
}

// Why one component of an entry name cannot be a file or folder name of its
// own, or "". `where` tells an empty component's place in the name.
std::string UnsafeComponent(const std::string& part, const char* where) {
  if (part.empty()) return where;
  if (part == "." || part == "..") return "a folder's name ('" + part + "')";
  // Windows drops trailing dots and blanks: "..." and ". ." name the folder
  // itself or the one above it there.
  if (part.find_first_not_of(". ") == std::string::npos) return "a name of dots and blanks alone";
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(part.c_str()); *p != 0; ++p) {
    // Code page 932: a lead byte takes a trail byte of 0x40 to 0x7E or 0x80
    // to 0xFC; 0x80, 0xA0 and 0xFD to 0xFF stand for nothing. A lead byte
    // before anything else would let the next byte (a "/") pass unseen.
    if (IsLeadByte(*p)) {
      if (!((p[1] >= 0x40 && p[1] <= 0x7E) || (p[1] >= 0x80 && p[1] <= 0xFC)))
        return "bytes that are no code page 932 text";
      ++p;
      continue;
    }
    if (*p == 0x80 || *p == 0xA0 || *p >= 0xFD) return "bytes that are no code page 932 text";
    if (*p == '\\') return "a backslash, which separates the folders of an entry name";
    if (*p == '/') return "a '/', a folder separator to Windows";
    if (*p == ':') return "a drive or a stream (':')";
    if (*p < 0x20 || strchr("<>\"|?*", *p) != nullptr) return "a character Windows does not allow in a file name";
  }
  if (IsDeviceName(part)) return "a name Windows keeps for a device";
  return "";
}

}  // namespace

std::vector<std::string> EntryNameComponents(const std::string& name) {
  std::vector<std::string> parts(1);
  for (const char* p = name.c_str(); *p != '\0';) {
    const char* next = NextChar(p);
    if (IsSingleByte(p, '\\')) parts.emplace_back();
    else parts.back().append(p, next);
    p = next;
  }
  return parts;
}

std::string UnsafeEntryName(const char* name) {
  if (name[0] == '\0') return "an empty name";
  std::vector<std::string> parts = EntryNameComponents(name);
  for (size_t i = 0; i < parts.size(); ++i) {
    const char* where = i == 0                  ? "a leading separator"
                        : i + 1 == parts.size() ? "a trailing separator (a folder, not a file)"
                                                : "an empty folder name (two separators in a row)";
    std::string why = UnsafeComponent(parts[i], where);
    if (!why.empty()) return why;
  }
  return "";
}

std::string EntryNameOf(const fs::path& relative, std::string* why) {
  std::string name;
  for (const fs::path& part : relative) {
    std::string converted;
    if (!ArchiveNameOf(part, &converted)) {
      *why = "the name has a character that code page 932 cannot hold";
      return "";
    }
    // A component is checked alone: a backslash in a file's own name
    // (possible outside Windows) would read as a folder in the entry name.
    if (std::string unsafe = UnsafeComponent(converted, "an empty name"); !unsafe.empty()) {
      *why = "'" + DisplayText(converted) + "' holds " + unsafe + ": no Windows file can be named so";
      return "";
    }
    name += (name.empty() ? "" : "\\") + converted;
  }
  if (name.size() >= kArchiveNameSize) {
    *why = "its path in the update, '" + DisplayText(name) + "', takes " + std::to_string(name.size()) +
           " bytes in code page 932; an entry name holds at most " + std::to_string(kArchiveNameSize - 1);
    return "";
  }
  return name;
}
