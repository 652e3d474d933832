// mkupdate plan. The updater's own start-up steps and its very run
// (RunUpdate) against a stand-in of the player's machine: the installation,
// data and disc folders given, seen through the platform seam as Windows
// would show them (names without regard to ASCII case, in code page 932).
// Every change the run makes lands in an overlay kept here, which later
// lines see as the run would see the disk; nothing of this machine is ever
// written.
#include "tools/mkupdate/plan.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <set>

#include "archive/payload_archive.h"
#include "common/messages.h"
#include "common/text.h"
#include "common/update_state.h"
#include "flow/disc_copy.h"
#include "flow/file_update.h"
#include "flow/line_decision.h"
#include "flow/updater_main.h"
#include "platform/link_guard.h"
#include "platform/platform.h"
#include "settings/settings_readers.h"
#include "settings/update_script.h"
#include "tools/mkupdate/host.h"
#include "tools/mkupdate/script_check.h"
#include "tools/mkupdate/update_file.h"

namespace fs = std::filesystem;

namespace {

// --- The stand-in machine --------------------------------------------------

// A Windows folder of the stand-in and the folder of this machine it shows.
struct Mount {
  std::string windows;  // code page 932, without a trailing separator
  fs::path host;
  std::string base;  // "inst", "data", or "" for a disc
};

// What the run left at a path of the stand-in, over what this machine has.
struct Laid {
  bool folder = false;
  uint64_t size = 0;
  uint64_t time = 0;
  bool gone = false;       // removed (or moved away) by the run
  bool read_only = false;  // for a file
  bool wrote = false;      // bytes the run brought: a file written, or copied from a disc
  std::string path;        // the Windows path, as the run named it
};

struct Machine {
  std::vector<Mount> mounts;
  std::map<std::string, Laid> laid;      // by FoldedName of the Windows path
  std::map<std::string, uint64_t> used;  // bytes written, by drive root ("C:")
  std::set<char> cd_drives;
  std::vector<std::string> boxes;  // code page 932
  unsigned names = 0;              // temporary and private names made
  std::string error;               // a disc's folder that cannot be read, for the plan's own message
  uint64_t copied = 0;             // bytes the shell's copy has laid, for every line
};
Machine g_machine;

// The components of a Windows path after `from`, split at separators that
// are characters of their own in code page 932.
std::vector<std::string> Components(const char* from) {
  std::vector<std::string> parts(1);
  for (const char* p = from; *p != '\0'; p = NextChar(p)) {
    if (IsPathSeparator(p)) {
      if (!parts.back().empty()) parts.emplace_back();
      continue;
    }
    parts.back().append(p, size_t(NextChar(p) - p));
  }
  if (parts.back().empty()) parts.pop_back();
  return parts;
}

// Whether `path` is `prefix` or lies under it, without regard to ASCII case.
const char* Under(const char* path, const std::string& prefix) {
  size_t n = prefix.size();
  if (strlen(path) < n) return nullptr;
  std::string head(path, n);
  if (!TextEqualNoCase(head.c_str(), prefix.c_str())) return nullptr;
  if (path[n] == '\0') return path + n;
  return IsPathSeparator(path + n) ? path + n + 1 : nullptr;
}

// The mount that holds `path` (the one with the longest prefix), and where
// the rest of the path begins.
const Mount* MountOf(const char* path, const char** rest) {
  const Mount* best = nullptr;
  for (const Mount& m : g_machine.mounts) {
    const char* r = Under(path, m.windows);
    if (r != nullptr && (best == nullptr || m.windows.size() > best->windows.size())) {
      best = &m;
      *rest = r;
    }
  }
  return best;
}

// A Windows path looked up on this machine.
struct Found {
  const Mount* mount = nullptr;
  fs::path host;          // as far as it exists
  bool exists = false;    // the whole path exists on this machine
  std::string relative;   // under the mount, with the names as they are on disk where they exist
  std::string case_note;  // a name that matched only without regard to case, as it is on disk
};

Found Look(const char* path) {
  Found f;
  const char* rest = nullptr;
  f.mount = MountOf(path, &rest);
  if (f.mount == nullptr) return f;
  f.host = f.mount->host;
  f.exists = true;
  for (const std::string& part : Components(rest)) {
    std::string name = part;
    if (f.exists) {
      std::error_code ec;
      bool exact = false, folded = false;
      fs::path match;
      std::string match_name;
      if (fs::is_directory(f.host, ec)) {
        for (fs::directory_iterator it(f.host, ec), end; !ec && it != end; it.increment(ec)) {
          const fs::directory_entry& entry = *it;
          std::string candidate;
          if (!ArchiveNameOf(entry.path(), &candidate)) continue;
          if (candidate == part) {
            exact = true;
            match = entry.path();
            match_name = candidate;
            break;
          }
          if (!folded && TextEqualNoCase(candidate.c_str(), part.c_str())) {
            folded = true;
            match = entry.path();
            match_name = candidate;
          }
        }
      }
      if (exact || folded) {
        f.host = match;
        name = match_name;
        if (!exact) f.case_note = match_name;
      } else {
        f.exists = false;
      }
    }
    f.relative += (f.relative.empty() ? "" : "\\") + name;
  }
  return f;
}

// The folder part of a Windows path ("" for none), without its separator.
std::string FolderOf(const std::string& path) {
  const char* name = LastPathComponent(path.c_str());
  return name == path.c_str() ? std::string() : path.substr(0, size_t(name - path.c_str()) - 1);
}

// What is at `path` now: what the run laid there, or nothing when the run
// removed it or a folder above it, or what this machine has.
Laid StateOf(const char* path) {
  auto it = g_machine.laid.find(FoldedName(path));
  if (it != g_machine.laid.end()) return it->second;
  for (std::string up = FolderOf(path); !up.empty(); up = FolderOf(up)) {
    auto above = g_machine.laid.find(FoldedName(up));
    if (above != g_machine.laid.end() && (above->second.gone || !above->second.folder)) return {.gone = true};
  }
  Laid state;
  state.path = path;
  Found f = Look(path);
  std::error_code ec;
  fs::file_status status = f.exists ? fs::status(f.host, ec) : fs::file_status();
  if (!f.exists || ec || !fs::exists(status)) {
    state.gone = true;
    return state;
  }
  state.folder = fs::is_directory(status);
  if (!state.folder) {
    state.size = fs::file_size(f.host, ec);
    state.time = FileTimeOf(f.host);
    state.read_only = (status.permissions() & fs::perms::owner_write) == fs::perms::none;
  }
  return state;
}

bool Exists(const char* path) { return !StateOf(path).gone; }

// Lays `state` at `path` for the rest of the run.
void Lay(const std::string& path, Laid state) {
  state.path = path;
  g_machine.laid[FoldedName(path)] = state;
}

uint32_t PlanGetAttributes(const char* path) {
  Laid state = StateOf(path);
  if (state.gone) return kInvalidAttributes;
  if (state.folder) return kAttrDirectory;
  return state.read_only ? kAttrReadOnly : kAttrNormal;
}

// An open file of the stand-in: one of this machine, one the run laid, or
// one the run is writing or moving.
struct PlanFile {
  FILE* file = nullptr;
  fs::path host;
  Laid laid;  // a file the run laid, read
  bool laid_file = false;
  std::string path;  // a file the run writes
};

PlatformFile PlanOpenFileForRead(const char* path) {
  Laid state = StateOf(path);
  if (state.gone || state.folder) return nullptr;
  if (g_machine.laid.count(FoldedName(path))) {  // what the run laid, not this machine's file
    PlanFile* f = new PlanFile;
    f->laid = state;
    f->laid_file = true;
    return f;
  }
  Found f = Look(path);
  std::error_code ec;
  if (!f.exists || !fs::is_regular_file(f.host, ec)) return nullptr;
#ifdef _WIN32
  FILE* file = _wfopen(f.host.c_str(), L"rb");
#else
  FILE* file = fopen(f.host.c_str(), "rb");
#endif
  if (file == nullptr) return nullptr;
  PlanFile* open = new PlanFile;
  open->file = file;
  open->host = f.host;
  return open;
}

int PlanReadFileBytes(PlatformFile handle, void* data, uint32_t size, uint32_t* read) {
  PlanFile* f = static_cast<PlanFile*>(handle);
  *read = f->file != nullptr ? uint32_t(fread(data, 1, size, f->file)) : 0;
  return f->file == nullptr || !ferror(f->file);
}

// Reads at an offset of this machine's file (a delta's old file, hashed and
// patched from the installation's own bytes). A file the run laid earlier
// keeps no bytes here, so it cannot be read.
int PlanReadFileAt(PlatformFile handle, uint64_t offset, void* data, uint32_t size, uint32_t* got) {
  PlanFile* f = static_cast<PlanFile*>(handle);
  *got = 0;
  if (f->file == nullptr) return 0;
#ifdef _WIN32
  if (_fseeki64(f->file, int64_t(offset), SEEK_SET) != 0) return 0;
#else
  if (fseeko(f->file, off_t(offset), SEEK_SET) != 0) return 0;
#endif
  *got = uint32_t(fread(data, 1, size, f->file));
  return !ferror(f->file);
}

int PlanFileSize(PlatformFile handle, uint32_t* size) {
  PlanFile* f = static_cast<PlanFile*>(handle);
  std::error_code ec;
  uint64_t n = f->laid_file ? f->laid.size : fs::file_size(f->host, ec);
  if (ec || n > 0xFFFFFFFFu) return 0;
  *size = uint32_t(n);
  return 1;
}

int PlanGetLastWriteTime(PlatformFile handle, uint64_t* time) {
  PlanFile* f = static_cast<PlanFile*>(handle);
  *time = f->laid_file ? f->laid.time : FileTimeOf(f->host);
  return 1;
}

void PlanCloseFile(PlatformFile handle) {
  PlanFile* f = static_cast<PlanFile*>(handle);
  if (f->file != nullptr) fclose(f->file);
  delete f;
}

// The free space of the folder behind a drive root, less what earlier lines wrote there.
int PlanFreeSpace(const char* root, uint64_t* free_to_caller, uint64_t* total, uint64_t* total_free) {
  for (const Mount& m : g_machine.mounts) {
    char drive[3];
    DriveOf(m.windows.c_str(), drive);
    if (m.base.empty() || !TextEqualNoCase(drive, root)) continue;
    std::error_code ec;
    fs::space_info space = fs::space(m.host, ec);
    if (ec) return 0;
    uint64_t used = g_machine.used[FoldedName(root)];
    *free_to_caller = space.available > used ? space.available - used : 0;
    *total = space.capacity;
    *total_free = *free_to_caller;
    return 1;
  }
  return 0;
}

// Every box is one the player would see; the disc prompt is answered as a
// player without that disc answers it.
int PlanShowMessageBox(PlatformWindow, const char* text, const char*, uint32_t kind) {
  g_machine.boxes.push_back(text);
  return (kind & kBoxOkCancel) ? kAnswerCancel : kAnswerOk;
}

uint32_t PlanDriveType(const char* root) {
  return root[1] == ':' && g_machine.cd_drives.count(char(FoldAscii(uint8_t(root[0])))) ? uint32_t(kDriveCdRom) : 3u;
}
uint32_t NoDriveErrors() { return 0; }
void RestoreNothing(uint32_t) {}

// --- The slots that change something: into the overlay --------------------------

PlanFile* FileOf(PlatformFile handle) { return static_cast<PlanFile*>(handle); }

PlatformFile PlanCreateTempFileBeside(const char* near_path, char* temp_path) {
  std::string folder = FolderOf(near_path);
  for (;;) {
    char name[32];
    FormatText(name, sizeof name, "%s%08X%s", kTemporaryPrefix, ++g_machine.names, kTemporarySuffix);
    std::string path = folder.empty() ? std::string(name) : folder + "\\" + name;
    if (Exists(path.c_str())) continue;
    if (path.size() >= kPlatformTextSize) return nullptr;
    Lay(path, {.wrote = true});
    CopyText(temp_path, kPlatformTextSize, path.c_str());
    PlanFile* f = new PlanFile;
    f->path = path;
    return f;
  }
}

int PlanWriteFileBytes(PlatformFile handle, const void*, uint32_t size) {
  PlanFile* f = FileOf(handle);
  auto it = g_machine.laid.find(FoldedName(f->path));
  if (f->path.empty() || it == g_machine.laid.end()) return 0;
  it->second.size += size;
  char root[3];
  DriveOf(f->path.c_str(), root);
  g_machine.used[FoldedName(root)] += size;
  return 1;
}

int PlanSetFileTimes(PlatformFile handle, uint64_t time) {
  auto it = g_machine.laid.find(FoldedName(FileOf(handle)->path));
  if (it == g_machine.laid.end()) return 0;
  it->second.time = time;
  return 1;
}

int PlanFlushFile(PlatformFile) { return 1; }

// A move of what is at `from` to `to`, whatever was there.
int PlanCommitFile(PlatformFile handle, const char* from, const char* to, const uint64_t* time) {
  PlanCloseFile(handle);
  Laid moved = StateOf(from), there = StateOf(to);
  if (moved.gone || moved.folder || (!there.gone && there.folder) || !Exists(FolderOf(to).c_str())) return 0;
  if (time != nullptr) moved.time = *time;
  if (!there.gone) moved.read_only = there.read_only;  // a replacement keeps the old file's attributes
  Lay(to, moved);
  Lay(from, {.gone = true});
  return 1;
}

PlatformFile PlanOpenFileForMove(const char* path) {
  Laid state = StateOf(path);
  if (state.gone || state.folder) return nullptr;
  PlanFile* f = new PlanFile;
  f->path = path;
  return f;
}

int PlanRemoveFile(const char* path) {
  Laid state = StateOf(path);
  if (state.gone || state.folder) return 0;
  Lay(path, {.gone = true});
  return 1;
}

int PlanSetAttributes(const char* path, uint32_t attributes) {
  Laid state = StateOf(path);
  if (state.gone) return 0;
  if (!state.folder) {
    state.read_only = (attributes & kAttrReadOnly) != 0;
    Lay(path, state);
  }
  return 1;
}

int PlanCreateFolder(const char* path) {
  std::string folder = path;
  while (folder.size() > 3 && IsPathSeparator(folder.c_str() + folder.size() - 1)) folder.pop_back();
  if (Exists(folder.c_str()) || !Exists(FolderOf(folder).c_str())) return 0;
  Lay(folder, {.folder = true});
  return 1;
}

int PlanCreatePrivateFolder(const char* parent, const char* prefix, char* path) {
  // Named as the updater names them, but predictably.
  uint8_t counted[8] = {};
  for (unsigned n = ++g_machine.names, i = 8; i-- > 0 && n != 0; n >>= 8) counted[i] = uint8_t(n);
  char name[64];
  PrivateFolderName(prefix, counted, name, sizeof name);
  CopyText(path, kPlatformTextSize, parent);
  return AppendPathComponent(path, kPlatformTextSize, name) && PlanCreateFolder(path);
}

int PlanTakeFolderAccess(const char* path) { return Exists(path); }

int PlanTouchLastWriteTime(const char* path) {
  Laid state = StateOf(path);
  return !state.gone && !state.folder;
}

// A link found on this machine is taken as one the player's programs made:
// who made it on the player's machine cannot be known here.
LinkKind PlanLinkAt(const char* path) {
  if (g_machine.laid.count(FoldedName(path))) return kNoLink;
  Found f = Look(path);
  std::error_code ec;
  return f.exists && fs::is_symlink(f.host, ec) ? kOtherLink : kNoLink;
}

// The names in a folder: this machine's, less what the run removed, and what
// the run laid there.
int PlanListFolder(const char* folder, FolderVisitor visit, void* context) {
  Laid state = StateOf(folder);
  if (state.gone || !state.folder) return 0;
  std::map<std::string, std::pair<std::string, bool>> names;  // folded name -> name, is a folder
  std::string prefix = std::string(folder) + "\\";
  if (!g_machine.laid.count(FoldedName(folder))) {
    Found f = Look(folder);
    std::error_code ec;
    for (fs::directory_iterator it(f.host, ec), end; f.exists && !ec && it != end; it.increment(ec)) {
      std::string name;
      if (!ArchiveNameOf(it->path(), &name)) continue;
      names[FoldedName(name)] = {name, it->is_directory(ec)};
    }
  }
  std::string folded = FoldedName(folder);
  for (const auto& [key, laid] : g_machine.laid) {
    if (FoldedName(FolderOf(laid.path)) != folded) continue;
    std::string name = LastPathComponent(laid.path.c_str());
    if (laid.gone) {
      names.erase(FoldedName(name));
    } else {
      names[FoldedName(name)] = {name, laid.folder};
    }
  }
  for (const auto& [key, name] : names)
    visit(context, name.first.c_str(), name.second, PlanLinkAt((prefix + name.first).c_str()));
  return 1;
}

int PlanRemoveFolder(const char* path) {
  Laid state = StateOf(path);
  if (state.gone) return 0;
  if (PlanLinkAt(path) == kNoLink) {
    if (!state.folder) return 0;
    bool empty = true;
    PlanListFolder(
        path, [](void* context, const char*, int, LinkKind) { *static_cast<bool*>(context) = false; }, &empty);
    if (!empty) return 0;
  }
  Lay(path, {.gone = true});
  return 1;
}

// The shell's copy: the disc's file, or its folder with everything in it,
// laid where the run asked (the missing folders on the way made, as the
// shell makes them).
ShellCopyResult PlanShellCopy(PlatformWindow, const char* from, const char* to, ShellCopyKind kind);

PlatformApi StandIn() {
  PlatformApi api = *NativePlatform();  // memory, and the slots no plan step reaches
  api.CreateTempFileBeside = PlanCreateTempFileBeside;
  api.OpenFileForRead = PlanOpenFileForRead;
  api.WriteFileBytes = PlanWriteFileBytes;
  api.ReadFileBytes = PlanReadFileBytes;
  api.ReadFileAt = PlanReadFileAt;
  api.FileSize = PlanFileSize;
  api.GetLastWriteTime = PlanGetLastWriteTime;
  api.SetFileTimes = PlanSetFileTimes;
  api.CloseFile = PlanCloseFile;
  api.FlushFile = PlanFlushFile;
  api.CommitFile = PlanCommitFile;
  api.OpenFileForMove = PlanOpenFileForMove;
  api.RemoveFile = PlanRemoveFile;
  api.GetAttributes = PlanGetAttributes;
  api.SetAttributes = PlanSetAttributes;
  api.CreateFolder = PlanCreateFolder;
  api.CreatePrivateFolder = PlanCreatePrivateFolder;
  api.TakeFolderAccess = PlanTakeFolderAccess;
  api.RemoveFolder = PlanRemoveFolder;
  api.LinkAt = PlanLinkAt;
  api.ListFolder = PlanListFolder;
  api.TouchLastWriteTime = PlanTouchLastWriteTime;
  api.FreeSpace = PlanFreeSpace;
  api.ShowMessageBox = PlanShowMessageBox;
  api.DriveType = PlanDriveType;
  api.QuietDriveErrors = NoDriveErrors;
  api.RestoreDriveErrors = RestoreNothing;
  api.ShellCopy = PlanShellCopy;
  return api;
}

// --- What the run leaves -----------------------------------------------------

// A file or folder that a disc's copy lays.
struct Effect {
  std::string path;  // Windows, code page 932
  Laid laid;
};

// The files of a disc folder under `target`, each as one effect; false with
// a one-line reason for what cannot be read. Links are followed; one that
// loops, or leads to a folder it lies in, or leads nowhere stops the walk.
bool FolderEffects(const fs::path& host, const std::string& target, std::vector<Effect>* effects, uint64_t* bytes,
                   std::string* error) {
  std::error_code ec;
  auto fail = [&](const fs::path& where) {
    *error = where.string() + ": " + (IsBrokenLink(where) ? kBrokenLink : ec.message());
    return false;
  };
  fs::path real = fs::canonical(host, ec);
  if (ec) return fail(host);
  effects->push_back({target, {.folder = true}});
  fs::directory_iterator it(host, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const fs::directory_entry& entry = *it;
    std::string name;
    if (!ArchiveNameOf(entry.path(), &name)) continue;
    std::string path = target + "\\" + name;
    bool folder = entry.is_directory(ec);
    if (ec) return fail(entry.path());
    if (folder) {
      // A folder that holds this one would be walked for ever.
      fs::path inner = fs::canonical(entry.path(), ec);
      if (ec) return fail(entry.path());
      if (std::mismatch(inner.begin(), inner.end(), real.begin(), real.end()).first == inner.end()) {
        *error = entry.path().string() + ": " + kBrokenLink;
        return false;
      }
      if (!FolderEffects(entry.path(), path, effects, bytes, error)) return false;
    } else {
      uint64_t size = entry.file_size(ec);
      if (ec) return fail(entry.path());
      *bytes += size;
      effects->push_back({path, {.size = size, .time = FileTimeOf(entry.path())}});
    }
  }
  if (ec) return fail(host);
  return true;
}

// How a changed file is named in the report: "inst:" or "data:" and its
// path under that folder, with the names that exist as they are on disk.
std::string ChangedName(const std::string& path) {
  Found f = Look(path.c_str());
  if (f.mount == nullptr) return "?:" + DisplayText(path);
  return f.mount->base + ":" + DisplayText(f.relative);
}

ShellCopyResult PlanShellCopy(PlatformWindow, const char* from, const char* to, ShellCopyKind kind) {
  Found source = Look(from);
  std::error_code ec;
  if (source.mount == nullptr || !source.exists) return {1, 0};
  std::vector<Effect> effects;
  uint64_t bytes = 0;
  if (kind == kShellCopyFile && fs::is_regular_file(source.host, ec)) {
    bytes = fs::file_size(source.host, ec);
    effects.push_back({to, {.size = bytes, .time = FileTimeOf(source.host), .wrote = true}});
  } else if (kind == kShellCopyFolder && fs::is_directory(source.host, ec)) {
    if (!FolderEffects(source.host, std::string(to) + "\\" + LastPathComponent(from), &effects, &bytes,
                       &g_machine.error))
      return {1, 0};
  } else {
    return {1, 0};
  }
  // The folders on the way, as the shell makes them.
  for (std::string up = FolderOf(effects.front().path); !up.empty() && !Exists(up.c_str()); up = FolderOf(up))
    Lay(up, {.folder = true});
  for (Effect& e : effects) {
    e.laid.wrote = !e.laid.folder;
    Lay(e.path, e.laid);
  }
  char root[3];
  DriveOf(to, root);
  g_machine.used[FoldedName(root)] += bytes;
  g_machine.copied += bytes;
  return {0, 0};
}

// The files the run left with bytes of its own, by their names in the report.
std::set<std::string> Changed() {
  std::set<std::string> changed;
  for (const auto& [key, laid] : g_machine.laid) {
    const char* rest = nullptr;
    const Mount* mount = MountOf(laid.path.c_str(), &rest);
    if (!laid.gone && !laid.folder && laid.wrote && mount != nullptr && !mount->base.empty())
      changed.insert(ChangedName(laid.path));
  }
  return changed;
}

// --- The report --------------------------------------------------------------

std::string Json(const std::string& utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

const char* VerbName(LineVerb verb) {
  static const char* const kNames[] = {"new", "replace", "keep", "skip", "copy", "fail", "remove"};
  return kNames[verb];
}

std::string Utc(uint64_t file_time) { return TimeText(file_time).substr(0, 16) + " UTC"; }

struct Line {
  std::string key;
  LineVerb verb = kVerbSkip;
  std::string base = "inst";
  std::string target;  // UTF-8
  uint64_t bytes = 0;
  std::string why;  // UTF-8
  int disc = -1;    // a copy line's disc number
  int mode = 0;     // the install mode the line names
  std::string source;
};

// A box's text on one line of the terminal: its line breaks as " / ".
std::string OneLine(const std::string& cp932) {
  std::string text = DisplayText(cp932), out;
  for (char c : text) out += c == '\r' ? std::string(" / ") : std::string(1, c);
  return out;
}

std::string Quoted(const char* cp932) { return "'" + DisplayText(cp932) + "'"; }

// The words for a decision.
std::string WhyOf(const LineDecision& d, const UpdateItem* item, int overwrite_only) {
  char text[kLongTextSize];
  switch (d.Why) {
    case kWhyWritten:
      if (d.Verb == kVerbNew) return "written from the update";
      if (item != nullptr && item->Kind == IfNewer && d.TargetTime != 0)
        return "replaced: not newer than the update (" + Utc(d.TargetTime) + ", the update's " + Utc(d.EntryTime) + ")";
      return "replaced by the update's file";
    case kWhyOutside: return "fails: the target would leave its folder";
    case kWhyNoBase: return "fails: the data folder's path does not fit 259 bytes";
    case kWhyTooLong: return "fails: the path is longer than 259 bytes";
    case kWhyNoTarget:
      return item != nullptr && item->Kind == ExistingOnly && !overwrite_only
                 ? "skipped: no file there ('o' line)"
                 : "skipped: no file there (OverwriteOnly)";
    case kWhyPlayersData: return "kept: the player's data file (it takes the run's time)";
    case kWhyNewer:
      return "kept: newer than the update (" + Utc(d.TargetTime) + ", the update's " + Utc(d.EntryTime) + ")";
    case kWhyNoEntry: return "fails: " + Quoted(kMsgNoEntry) + " (the update carries no such file)";
    case kWhyNoSpace:
      FormatText(text, sizeof text, kMsgDiskShortForEntry, d.Root, uint64_t(d.Bytes) - d.FreeBytes);
      return "fails: " + Quoted(text);
    case kWhyFolderInPlace: return "fails: a folder stands where the file goes";
    case kWhyNoFolder: return "fails: its folder does not exist (the updater makes no folders but the data folder)";
    case kWhyForeignLink:
      return "fails: a link on the way, which the updater does not follow unless an administrator made it";
    case kWhyCopyFile: return "copied from the disc";
    case kWhyCopyFolder: return "copied from the disc with everything in it, into the installation under its last name";
    case kWhyBadDisc: return "fails: the disc character is no digit 1 to 9";
    case kWhyNoDiscYet: return "fails: the line names no disc and no disc was found before it";
    case kWhyNotOnDisc: return "fails: not on the disc";
    case kWhyRemoved:
      return d.TargetAttributes & kAttrDirectory ? "removed, with everything in it" : "removed";
    case kWhyGone: return "skipped: nothing there to remove";
    case kWhyOtherKind:
      return d.TargetAttributes & kAttrDirectory ? "fails: the line names a file, and a folder is there"
                                                 : "fails: the line names a folder, and a file is there";
    case kWhyHoldsData: return "fails: it would take away a DataFile line's file (the player's data)";
    case kWhyEmptyFolder: return "fails: " + Quoted(kMsgNoEntry) + " (the update carries no file in that folder)";
    case kWhyPatched: return "patched: the previous release's file, made new by the update's delta";
    case kWhyAlreadyNew: return "kept: already the new release's file (the update's delta is not needed)";
    case kWhyOtherRelease:
      FormatText(text, sizeof text, kMsgOtherRelease, UpdateState.GameTitle, d.Target + d.RelativeAt);
      return std::string("fails: ") +
             (d.TargetAttributes == kInvalidAttributes ? "no file there" : "neither the previous release's file nor the new one") +
             ", and the update carries a delta for it: " + Quoted(text);
  }
  return "";
}

void PrintLine(const PlanOptions& o, const Line& l) {
  if (o.json) {
    printf("{\"key\": %s, \"verb\": \"%s\", \"target\": %s, \"base\": \"%s\", \"bytes\": %llu, \"why\": %s",
           Json(l.key).c_str(), VerbName(l.verb), Json(l.target).c_str(), l.base.c_str(),
           static_cast<unsigned long long>(l.bytes), Json(l.why).c_str());
    if (l.disc >= 0) printf(", \"disc\": %d, \"source\": %s", l.disc, Json(l.source).c_str());
    printf("}\n");
    return;
  }
  std::string where = l.base + ":" + l.target;
  if (l.disc >= 0) where += l.disc > 0 ? " (disc " + std::to_string(l.disc) + ")" : " (same disc)";
  printf("%-13s %-8s %-40s %12llu  %s\n", l.key.c_str(), VerbName(l.verb), where.c_str(),
         static_cast<unsigned long long>(l.bytes), l.why.c_str());
}

// --- The run -----------------------------------------------------------------

struct ScriptLines {
  std::vector<std::string> values;
};
ScriptLines* g_lines = nullptr;
void CollectLine(const char* value) { g_lines->values.push_back(value); }

std::vector<std::string> ReadLines(const char* pattern, int count, uint32_t holder) {
  ScriptLines lines;
  g_lines = &lines;
  ReadScriptList(pattern, count, holder, CollectLine);
  g_lines = nullptr;
  return lines.values;
}

// A line of the report as the script gives it, before it is decided.
Line LineOf(const char* key_pattern, size_t i, const char* path, int mode) {
  char key[32];
  snprintf(key, sizeof key, key_pattern, int(i));
  Line line;
  line.key = key;
  line.target = DisplayText(path);
  line.mode = mode;
  return line;
}

// The line's target as the report gives it: its base folder and its path there.
void Describe(const LineDecision& d, Line* line) {
  if (d.Target[0] == '\0') return;
  Found f = Look(d.Target);
  if (f.mount != nullptr) {
    line->base = f.mount->base.empty() ? "inst" : f.mount->base;
    line->target = DisplayText(f.relative);
  } else {
    line->target = DisplayText(d.Target + d.RelativeAt);
  }
  if (!f.case_note.empty()) line->why += "; matches '" + DisplayText(f.case_note) + "' only without regard to case";
}

struct Outcome {
  std::string name = "completed";
  uint64_t bytes = 0;
  std::set<std::string> changed;
};

// What the run told the plan through its seat.
struct Reports {
  // An update-file or removal line's decisions (a folder line's one a file)
  // with the index of the line among those that apply.
  std::vector<std::pair<int, LineDecision>> update;
  std::vector<LineDecision> copy;  // by the index among the lines that apply
  std::vector<uint64_t> copied_before;     // the shell's bytes before each copy line
  bool begun = false;
  std::string short_of_space;  // the Info text, when the run stopped for space
  int asked_disc = 0;          // the disc the run last asked for
  size_t asked_at = 0;         // the copy line it was asked for
};

RunSeat PlanSeat(Reports* reports) {
  return {reports, nullptr, [](void* context) { static_cast<Reports*>(context)->begun = true; },
          [](void* context, const char* text) {
            Reports* r = static_cast<Reports*>(context);
            if (!r->begun) r->short_of_space = text;  // before the run begins, only the disk space is said
          },
          [](void* context, const LineDecision& decision, int line, int copy) {
            Reports* r = static_cast<Reports*>(context);
            if (!copy) {
              r->update.emplace_back(line, decision);
              return;
            }
            r->copy.push_back(decision);
            r->copied_before.push_back(g_machine.copied);
          },
          // The player without the disc: asked, and giving up.
          [](void* context, int disc) {
            Reports* r = static_cast<Reports*>(context);
            r->asked_disc = disc;
            r->asked_at = r->copy.size();
            char message[kLongTextSize];
            DiscPromptText(disc, message, sizeof message);
            return int(PlanShowMessageBox(nullptr, message, UpdateState.UpdaterCaption, kBoxOkCancel) == kAnswerOk);
          }};
}

// The updater's run over the stand-in, then every line of both lists
// reported as the run decided it; what the run left in `outcome`.
bool PlanLines(const PlanOptions& o, Outcome* outcome, std::string* error) {
  int overwrite_only = ReadOverwriteOnly();
  std::vector<std::string> removal_lines =
      ReadLines("RemoveFile%02i", ReadListCount("RemoveFileCount"), kLongTextSize);
  std::vector<std::string> update_lines =
      ReadLines("UpdateFile%02i", ReadListCount("UpdateFileCount"), kLongTextSize);
  std::vector<std::string> copy_lines = ReadLines("CopyFile%02i", kListLines, kPathSize);
  Reports reports;
  RunOutcome run = RunUpdate(PlanSeat(&reports));
  reports.copied_before.push_back(g_machine.copied);  // a copy line's bytes: up to the next line's report
  if (!g_machine.error.empty()) {
    *error = g_machine.error;
    return false;
  }
  static const char* const kNames[] = {"stopped-for-space", "completed", "nothing-to-update", "interrupted"};
  outcome->name = kNames[run];
  if (run == kRunShortOfSpace && !o.json)
    printf("stops for disk space: \"%s\" (RequiredDiskSpace %u)\n", OneLine(reports.short_of_space).c_str(),
           ReadRequiredDiskSpace());
  auto print = [&](const LineDecision* d, Line* line) {
    if (d != nullptr) {
      line->verb = d->Verb;
      Describe(*d, line);
    }
    PrintLine(o, *line);
  };
  // The removal lines, then the update-file lines, as the run takes them;
  // a folder line is reported a file at a time, under the line's key.
  struct ListLine {
    const char* key;
    std::string value;
    bool removal;
  };
  std::vector<ListLine> lines;
  for (const std::string& v : removal_lines) lines.push_back({"RemoveFile%02i", v, true});
  for (const std::string& v : update_lines) lines.push_back({"UpdateFile%02i", v, false});
  size_t applied = 0, reported = 0, numbered = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    numbered = i == removal_lines.size() ? 0 : numbered;
    size_t number = numbered++;
    UpdateFileLine parsed;
    if (lines[i].removal) {
      RemovalLine removal;
      ParseRemovalLine(lines[i].value.c_str(), &removal);
      parsed = {removal.HasMode, removal.Mode, Removal, {}, 0};
      snprintf(parsed.Path, sizeof parsed.Path, "%s", removal.Path);
    } else {
      ParseUpdateFileLine(lines[i].value.c_str(), &parsed);
    }
    Line line = LineOf(lines[i].key, number, parsed.Path, int(parsed.Mode));
    line.base = parsed.Kind == DataFile ? "data" : "inst";
    if (!LineAppliesToMode(parsed.HasMode, parsed.Mode)) {
      line.why = "skipped: install mode " + std::to_string(line.mode) + " only";
      print(nullptr, &line);
      continue;
    }
    bool any = false;
    while (reported < reports.update.size() && reports.update[reported].first == int(applied)) {
      const LineDecision& d = reports.update[reported++].second;
      Line file = line;
      file.bytes = d.Why == kWhyWritten || d.Why == kWhyNewer || d.Why == kWhyPatched ? d.Bytes : 0;
      file.why = WhyOf(d, &UpdateState.UpdateItems[applied], overwrite_only);
      outcome->bytes += d.Why == kWhyWritten || d.Why == kWhyPatched ? d.Bytes : 0;
      print(&d, &file);
      any = true;
    }
    ++applied;
    if (any) continue;
    line.why = "not reached";
    print(nullptr, &line);
  }
  applied = 0;
  for (size_t i = 0; i < copy_lines.size(); ++i) {
    CopyLine parsed;
    ParseCopyLine(copy_lines[i].c_str(), &parsed);
    Line line = LineOf("CopyFile%02i", i, parsed.Path, parsed.Mode);
    line.disc = parsed.DiscNumber;
    line.source = line.target;
    if (!LineAppliesToMode(parsed.HasMode, uint32_t(parsed.Mode))) {
      line.why = "skipped: install mode " + std::to_string(line.mode) + " only";
    } else if (applied < reports.copy.size()) {
      const LineDecision& d = reports.copy[applied];
      line.why = WhyOf(d, nullptr, 0);
      if (d.Source[0] != '\0') line.source = DisplayText(d.Source);
      line.bytes = reports.copied_before[applied + 1] - reports.copied_before[applied];
      outcome->bytes += line.bytes;
      Describe(d, &line);
      line.verb = d.Verb;
      if (++applied == reports.copy.size() && run == kRunFailed && d.Verb == kVerbCopy) {
        // Copied, and still the line failed: what arrived could not be put in place.
        line.verb = kVerbFail;
        line.why =
            "fails: what was copied cannot be put in place (a link on the way, which the updater does not "
            "follow unless an administrator made it)";
      }
      PrintLine(o, line);
      continue;
    } else if (run == kRunFailed && reports.asked_disc != 0 && reports.asked_at == applied) {
      line.verb = kVerbFail;
      line.why = "fails: the player is asked for disc " + std::to_string(reports.asked_disc) + " (check file '" +
                 DisplayText(UpdateState.InstallerConfig.DiskCheckFile[reports.asked_disc]) +
                 "'), which no drive given holds";
      ++applied;
    } else {
      ++applied;
      line.why = "not reached";
    }
    print(nullptr, &line);
  }
  if (run == kRunFailed) PlanShowMessageBox(nullptr, kMsgInterrupted, nullptr, kBoxOk);
  outcome->changed = Changed();
  return true;
}

std::string Human(uint64_t bytes) {
  char text[32];
  if (bytes >= (uint64_t(1) << 30)) snprintf(text, sizeof text, "%.1f GiB", double(bytes) / double(1 << 30));
  else if (bytes >= (1 << 20)) snprintf(text, sizeof text, "%.1f MiB", double(bytes) / double(1 << 20));
  else snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  return text;
}

// A path of this machine as the Windows program would name it: under Wine,
// drive Z: is the root of the file system.
bool WindowsPathOf(const fs::path& host, std::string* out) {
  std::error_code ec;
  fs::path absolute = fs::absolute(host, ec);
#ifdef _WIN32
  std::string text;
  for (const fs::path& part : absolute) {
    std::string name;
    if (part == absolute.root_name()) {
      name = part.string();
    } else if (part == absolute.root_directory()) {
      continue;
    } else if (!ArchiveNameOf(part, &name)) {
      return false;
    }
    text += (text.empty() ? "" : "\\") + name;
  }
  *out = text;
#else
  std::string text = "Z:";
  for (const fs::path& part : absolute.relative_path()) {
    std::string name;
    if (part.empty()) continue;
    if (!ArchiveNameOf(part, &name)) return false;
    text += "\\" + name;
  }
  *out = text;
#endif
  return true;
}

int NotStarted(const PlanOptions& o, const std::string& why) {
  if (o.json) {
    std::string boxes;
    for (const std::string& b : g_machine.boxes) boxes += (boxes.empty() ? "" : ", ") + Json(DisplayText(b));
    printf("{\"outcome\": \"not-started\", \"bytes\": 0, \"boxes\": [%s], \"changed\": [], \"why\": %s}\n",
           boxes.c_str(), Json(why).c_str());
  } else {
    printf("not started: %s\n", why.c_str());
    for (const std::string& b : g_machine.boxes) printf("  box: \"%s\"\n", OneLine(b).c_str());
  }
  return 1;
}

}  // namespace

int RunPlan(const PlanOptions& o) {
  g_machine = Machine();
  PlatformApi stand_in = StandIn();
  const PlatformApi* previous = Os;
  Os = &stand_in;
  GuardAgainstForeignLinks();  // as the updater's start puts the check of links in front of the seam
  struct Restore {
    const PlatformApi* previous;
    ~Restore() {
      ClosePayloadArchive();
      Os = previous;
    }
  } restore{previous};
  ResetUpdateState();

  // The record: InstPath, DataPath, InstMode, as the player's machine holds them.
  std::string inst_path = o.inst_path, data_path = o.data_path;
  if (!inst_path.empty() ? !Cp932OfArgument(o.inst_path, &inst_path) : !WindowsPathOf(o.inst, &inst_path)) {
    fprintf(stderr, "mkupdate: the installation's path has no code page 932 form: give --inst-path\n");
    return 2;
  }
  if (!data_path.empty() ? !Cp932OfArgument(o.data_path, &data_path)
                         : (!o.data.empty() && !WindowsPathOf(o.data, &data_path))) {
    fprintf(stderr, "mkupdate: the data folder's path has no code page 932 form: give --data-path\n");
    return 2;
  }
  while (inst_path.size() > 3 && inst_path.back() == '\\') inst_path.pop_back();
  if (o.data.empty() && IsAbsolutePath(data_path.c_str())) {
    fprintf(stderr, "mkupdate: a data folder of its own (--data-path %s) needs --data DIR, its copy here\n",
            DisplayText(data_path).c_str());
    return 2;
  }
  if (inst_path.size() >= kPathSize || data_path.size() >= kPathSize || !IsAbsolutePath(inst_path.c_str())) {
    fprintf(stderr, "mkupdate: --inst-path must be an absolute path of at most 259 bytes\n");
    return 2;
  }
  CopyText(UpdateState.InstPath, kPathSize, inst_path.c_str());
  CopyText(UpdateState.DataPath, kPathSize, data_path.c_str());
  UpdateState.InstMode = o.mode;
  ResolveDataPath();
  g_machine.mounts.push_back({UpdateState.InstPath, o.inst, "inst"});
  if (!o.data.empty() && IsAbsolutePath(UpdateState.DataPath))
    g_machine.mounts.push_back({UpdateState.DataPath, o.data, "data"});
  // The discs: each --drive where it is given, each --disc in the next free
  // letter from D: on.
  std::vector<std::pair<char, fs::path>> drives = o.drives;
  std::vector<std::pair<int, char>> disc_drives;  // each --disc N and its letter
  for (const auto& [disc, folder] : o.discs) {
    char letter = 'D';
    while (letter <= 'Z' && std::any_of(drives.begin(), drives.end(), [&](const auto& d) { return d.first == letter; }))
      ++letter;
    if (letter > 'Z') {
      fprintf(stderr, "mkupdate: more discs than drive letters\n");
      return 2;
    }
    drives.push_back({letter, folder});
    disc_drives.push_back({disc, letter});
  }
  for (const auto& [letter, folder] : drives) {
    g_machine.cd_drives.insert(letter);
    g_machine.mounts.push_back({std::string(1, letter) + ":", folder, ""});
  }

  // The update, as the updater's start-up reads it.
  UpdateFile file;
  std::string error;
  if (!ReadUpdateFile(o.update, &file, &error)) return NotStarted(o, error);
  if (!ChecksumMatches(o.update, file, &error)) {
    g_machine.boxes.push_back(kMsgResourceReadError);
    return NotStarted(o, error);
  }
  UpdateState.PayloadArchive = {file.image.data(), uint32_t(file.image.size())};
  if (OpenPayloadArchive() == nullptr) {
    g_machine.boxes.push_back(kMsgResourceReadError);
    return NotStarted(o, "not a payload archive, or a damaged one");
  }
  if (!ReadUpdateScript()) return NotStarted(o, "the update's own script stops the updater");
  if (!ReadInstallation()) return NotStarted(o, "SETUP.INI of the installation stops the updater");
  // The updater knows a disc by its check file alone: a folder given as disc
  // N without it is no disc N to the updater (nor, perhaps, to the player).
  for (const auto& [disc, letter] : disc_drives) {
    const char* check = UpdateState.InstallerConfig.DiskCheckFile[disc];
    std::string probe = std::string(1, letter) + ":\\" + check;
    if (check[0] != '\0' && !Look(probe.c_str()).exists)
      fprintf(stderr,
              "mkupdate: warning: --disc %d holds no '%s', the check file of disc %d: the updater does not "
              "take it for that disc\n",
              disc, DisplayText(check).c_str(), disc);
  }
  if (!o.json) {
    printf("update: %s\ninstallation: %s (InstPath %s, install mode %u)\n", o.update.c_str(), o.inst.string().c_str(),
           DisplayText(UpdateState.InstPath).c_str(), UpdateState.InstMode);
    if (UpdateState.DataPath[0] != '\0')
      printf("data folder: DataPath %s\n", DisplayText(UpdateState.DataPath).c_str());
  }

  Outcome outcome;
  if (!PlanLines(o, &outcome, &error)) {
    fprintf(stderr, "mkupdate: %s\n", error.c_str());
    return 1;
  }
  bool done = outcome.name == "completed" || outcome.name == "nothing-to-update";

  char drive[3];
  DriveOf(UpdateState.InstPath, drive);
  uint64_t free_bytes = 0, total = 0, total_free = 0;
  g_machine.used.clear();
  bool known = PlanFreeSpace(drive, &free_bytes, &total, &total_free);
  uint32_t required = ReadRequiredDiskSpace();
  if (o.json) {
    std::string boxes, changed;
    for (const std::string& b : g_machine.boxes) boxes += (boxes.empty() ? "" : ", ") + Json(DisplayText(b));
    for (const std::string& c : outcome.changed) changed += (changed.empty() ? "" : ", ") + Json(c);
    printf(
        "{\"outcome\": \"%s\", \"bytes\": %llu, \"free\": %llu, \"required\": %u, \"boxes\": [%s], \"changed\": "
        "[%s]}\n",
        outcome.name.c_str(), static_cast<unsigned long long>(outcome.bytes),
        static_cast<unsigned long long>(known ? free_bytes : 0), required, boxes.c_str(), changed.c_str());
  } else {
    printf("total: %s to write; %s free on %s%s\n", Human(outcome.bytes).c_str(),
           known ? Human(free_bytes).c_str() : "unknown space", drive,
           known && outcome.bytes > free_bytes ? " (too little)" : "");
    if (required == 0) printf("RequiredDiskSpace: none (no test)\n");
    else
      printf("RequiredDiskSpace: %u bytes: %s\n", required, outcome.name == "stopped-for-space" ? "short" : "passes");
    for (const std::string& b : g_machine.boxes) printf("box: \"%s\"\n", OneLine(b).c_str());
    static const std::map<std::string, std::string> kSaid = {
        {"completed", "completed: the player sees \"アップデートは完了しました\""},
        {"nothing-to-update", "completed, with nothing to update"},
        {"interrupted", "interrupted"},
        {"stopped-for-space", "stopped for disk space: the wizard waits with Back and Cancel"}};
    printf("outcome: %s\n", kSaid.at(outcome.name).c_str());
    printf("changed: %zu file%s\n", outcome.changed.size(), outcome.changed.size() == 1 ? "" : "s");
  }
  return done ? 0 : 1;
}
