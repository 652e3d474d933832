// mkupdate plan. The updater's own start-up steps and line decisions run
// against a stand-in of the player's machine: the installation, data and
// disc folders given, seen through the platform seam as Windows would show
// them (names without regard to ASCII case, in code page 932), with the
// effects of earlier lines laid over them. Nothing is ever written: every
// slot of the seam that would change a file fails.
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

// What an earlier line left at a path.
struct Laid {
  bool folder = false;
  uint64_t size = 0;
  uint64_t time = 0;
};

struct Machine {
  std::vector<Mount> mounts;
  std::map<std::string, Laid> laid;      // by FoldedName of the Windows path
  std::map<std::string, uint64_t> used;  // bytes written, by drive root ("C:")
  std::set<char> cd_drives;
  std::vector<std::string> boxes;  // code page 932
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

const Laid* LaidAt(const char* path) {
  auto it = g_machine.laid.find(FoldedName(path));
  return it == g_machine.laid.end() ? nullptr : &it->second;
}

uint32_t PlanGetAttributes(const char* path) {
  if (const Laid* laid = LaidAt(path)) return laid->folder ? kAttrDirectory : kAttrNormal;
  Found f = Look(path);
  std::error_code ec;
  if (!f.exists) return kInvalidAttributes;
  fs::file_status status = fs::status(f.host, ec);
  if (ec) return kInvalidAttributes;
  if (fs::is_directory(status)) return kAttrDirectory;
  bool writable = (status.permissions() & fs::perms::owner_write) != fs::perms::none;
  return writable ? kAttrNormal : kAttrReadOnly;
}

// An open file of the stand-in: one of this machine, or one an earlier line laid.
struct PlanFile {
  FILE* file = nullptr;
  fs::path host;
  const Laid* laid = nullptr;
};

PlatformFile PlanOpenFileForRead(const char* path) {
  if (const Laid* laid = LaidAt(path)) return laid->folder ? nullptr : new PlanFile{nullptr, {}, laid};
  Found f = Look(path);
  std::error_code ec;
  if (!f.exists || !fs::is_regular_file(f.host, ec)) return nullptr;
#ifdef _WIN32
  FILE* file = _wfopen(f.host.c_str(), L"rb");
#else
  FILE* file = fopen(f.host.c_str(), "rb");
#endif
  return file != nullptr ? new PlanFile{file, f.host, nullptr} : nullptr;
}

int PlanReadFileBytes(PlatformFile handle, void* data, uint32_t size, uint32_t* read) {
  PlanFile* f = static_cast<PlanFile*>(handle);
  *read = f->file != nullptr ? uint32_t(fread(data, 1, size, f->file)) : 0;
  return f->file == nullptr || !ferror(f->file);
}

int PlanFileSize(PlatformFile handle, uint32_t* size) {
  PlanFile* f = static_cast<PlanFile*>(handle);
  std::error_code ec;
  uint64_t n = f->laid != nullptr ? f->laid->size : fs::file_size(f->host, ec);
  if (ec || n > 0xFFFFFFFFu) return 0;
  *size = uint32_t(n);
  return 1;
}

int PlanGetLastWriteTime(PlatformFile handle, uint64_t* time) {
  PlanFile* f = static_cast<PlanFile*>(handle);
  *time = f->laid != nullptr ? f->laid->time : FileTimeOf(f->host);
  return 1;
}

void PlanCloseFile(PlatformFile handle) {
  PlanFile* f = static_cast<PlanFile*>(handle);
  if (f->file != nullptr) fclose(f->file);
  delete f;
}

// The free space of the folder behind a drive root, less what earlier lines wrote there.
int PlanCallFreeSpaceEx(FreeSpaceEntry, const char* root, uint64_t* free_to_caller, uint64_t* total,
                        uint64_t* total_free) {
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

FreeSpaceEntry PlanFindFreeSpaceEx() { return reinterpret_cast<FreeSpaceEntry>(&PlanCallFreeSpaceEx); }
int NoClusters(const char*, uint32_t*, uint32_t*, uint32_t*, uint32_t*) { return 0; }

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

// The slots that would change something: none of them is ever reached by
// the plan, and each fails should it be.
PlatformFile NoTemp(const char*, char*) { return nullptr; }
PlatformFile NoFile(const char*) { return nullptr; }
int NoWrite(PlatformFile, const void*, uint32_t) { return 0; }
int NoTimes(PlatformFile, uint64_t) { return 0; }
int NoFlush(PlatformFile) { return 0; }
int NoCommit(PlatformFile, const char*, const char*, const uint64_t*) { return 0; }
int NoPath(const char*) { return 0; }
int NoAttributes(const char*, uint32_t) { return 0; }
int NoPrivateFolder(const char*, const char*, char*) { return 0; }
// A link found on this machine is taken as one the player's programs made:
// who made it on the player's machine cannot be known here.
LinkKind PlanLinkAt(const char* path) {
  Found f = Look(path);
  std::error_code ec;
  return f.exists && fs::is_symlink(f.host, ec) ? kOtherLink : kNoLink;
}
int NoList(const char*, FolderVisitor, void*) { return 0; }
ShellCopyResult NoCopy(PlatformWindow, const char*, const char*, ShellCopyKind) { return {1, 0}; }

PlatformApi StandIn() {
  PlatformApi api = *NativePlatform();  // memory, and the slots no plan step reaches
  api.CreateTempFileBeside = NoTemp;
  api.OpenFileForRead = PlanOpenFileForRead;
  api.WriteFileBytes = NoWrite;
  api.ReadFileBytes = PlanReadFileBytes;
  api.FileSize = PlanFileSize;
  api.GetLastWriteTime = PlanGetLastWriteTime;
  api.SetFileTimes = NoTimes;
  api.CloseFile = PlanCloseFile;
  api.FlushFile = NoFlush;
  api.CommitFile = NoCommit;
  api.OpenFileForMove = NoFile;
  api.RemoveFile = NoPath;
  api.GetAttributes = PlanGetAttributes;
  api.SetAttributes = NoAttributes;
  api.CreateFolder = NoPath;
  api.CreatePrivateFolder = NoPrivateFolder;
  api.TakeFolderAccess = NoPath;
  api.RemoveFolder = NoPath;
  api.LinkAt = PlanLinkAt;
  api.ListFolder = NoList;
  api.TouchLastWriteTime = NoPath;
  api.FindFreeSpaceEx = PlanFindFreeSpaceEx;
  api.CallFreeSpaceEx = PlanCallFreeSpaceEx;
  api.FreeSpaceByClusters = NoClusters;
  api.ShowMessageBox = PlanShowMessageBox;
  api.DriveType = PlanDriveType;
  api.QuietDriveErrors = NoDriveErrors;
  api.RestoreDriveErrors = RestoreNothing;
  api.ShellCopy = NoCopy;
  return api;
}

// --- What the run leaves -----------------------------------------------------

// A file that a line writes: laid over the machine at once, or (all or
// nothing) once every line has succeeded.
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
  effects->push_back({target, {true, 0, 0}});
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
      effects->push_back({path, {false, size, FileTimeOf(entry.path())}});
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

void Lay(const Effect& e, std::set<std::string>* changed) {
  g_machine.laid[FoldedName(e.path)] = e.laid;
  if (!e.laid.folder) changed->insert(ChangedName(e.path));
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
  static const char* const kNames[] = {"new", "replace", "keep", "skip", "copy", "fail"};
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
    case kWhyOtherMode: return "skipped: another install mode";
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

std::vector<std::string> ReadLines(const char* pattern, uint32_t holder) {
  ScriptLines lines;
  g_lines = &lines;
  ReadScriptList(pattern, holder, CollectLine);
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

// Every line of both lists in the updater's order, decided and reported;
// what the run would leave in `outcome`. False with a one-line reason when a
// disc's folder cannot be read.
bool PlanLines(const PlanOptions& o, Outcome* outcome, std::string* error) {
  int overwrite_only = ReadOverwriteOnly();
  int all_or_nothing = ReadAllOrNothing();
  UpdateState.AllOrNothing = all_or_nothing;
  std::vector<std::string> update_lines = ReadLines("UpdateFile%02i", kLongTextSize);
  std::vector<std::string> copy_lines = ReadLines("CopyFile%02i", kPathSize);
  int has_update_list = ReadUpdateList(), has_copy_list = ReadDiscCopyList();
  char drive[3];
  uint64_t shortfall = 0;
  bool stopped = false;
  std::vector<Effect> deferred;
  if (DiskSpaceShortfall(drive, &shortfall)) {
    char text[kLongTextSize];
    FormatText(text, sizeof text, kInfoDiskShort, drive, shortfall);
    std::string info = OneLine(text);
    if (!o.json) printf("stops for disk space: \"%s\" (RequiredDiskSpace %u)\n", info.c_str(), ReadRequiredDiskSpace());
    outcome->name = "stopped-for-space";
    stopped = true;
  } else if (!has_update_list && !has_copy_list) {
    PlanShowMessageBox(nullptr, kMsgNoLists, nullptr, kBoxOk);
    outcome->name = "interrupted";
    stopped = true;
  } else if (UpdateState.UpdateItemCount == 0 && UpdateState.DiscCopyItemCount == 0) {
    PlanShowMessageBox(nullptr, kMsgNothingToUpdate, nullptr, kBoxOk);
    outcome->name = "nothing-to-update";
  }
  auto finish = [&](const LineDecision* d, Line* line) {
    if (d != nullptr) Describe(*d, line);
    PrintLine(o, *line);
  };
  // A line of another install mode, or one after the run has stopped:
  // reported as skipped, and true.
  auto passed_over = [&](Line* line, bool applies, int* table_index) {
    if (applies && !stopped) return false;
    *table_index += applies;  // the table holds the lines that apply
    line->verb = kVerbSkip;
    line->why = !applies ? "skipped: install mode " + std::to_string(line->mode) + " only" : "not reached";
    PrintLine(o, *line);
    return true;
  };
  auto fail_run = [&](const char* box) {
    if (box != nullptr) PlanShowMessageBox(nullptr, box, nullptr, kBoxOk);
    outcome->name = "interrupted";
    stopped = true;
  };
  auto fail_copy = [&](const DiscCopyItem& item) {
    char text[kLongTextSize];
    FormatText(text, sizeof text, kMsgCopyFailed, item.Path);
    fail_run(text);
  };

  int item = 0;
  for (size_t i = 0; i < update_lines.size(); ++i) {
    UpdateFileLine parsed;
    ParseUpdateFileLine(update_lines[i].c_str(), &parsed);
    Line line = LineOf("UpdateFile%02i", i, parsed.Path, int(parsed.Mode));
    line.base = parsed.Kind == DataFile ? "data" : "inst";
    if (passed_over(&line, LineAppliesToMode(parsed.HasMode, parsed.Mode), &item)) continue;
    const UpdateItem& it = UpdateState.UpdateItems[item++];
    LineDecision d;
    DecideUpdateItem(it, overwrite_only, &d);
    line.verb = d.Verb;
    line.bytes = d.Why == kWhyWritten || d.Why == kWhyNewer ? d.Bytes : 0;
    line.why = WhyOf(d, &it, overwrite_only);
    finish(&d, &line);
    // The data folder is made at once, in either mode.
    if (d.Folder[0] != '\0' && PlanGetAttributes(d.Folder) == kInvalidAttributes && d.Verb != kVerbFail)
      g_machine.laid[FoldedName(d.Folder)] = {true, 0, 0};
    if (d.Verb == kVerbFail) {
      CarryOutUpdateItem(d);  // the run's own act: it shows the line's box where it has one
      fail_run(kMsgWriteFailed);
      continue;
    }
    if (d.Why == kWhyWritten) {
      outcome->bytes += d.Bytes;
      char root[3];
      DriveOf(d.Target, root);
      g_machine.used[FoldedName(root)] += d.Bytes;
      Effect e{d.Target, {false, d.Bytes, d.EntryTime}};
      if (all_or_nothing) {
        deferred.push_back(e);
      } else {
        Lay(e, &outcome->changed);
      }
    }
  }

  char disc_root[3] = "";
  int copy_item = 0;
  for (size_t i = 0; i < copy_lines.size(); ++i) {
    CopyLine parsed;
    ParseCopyLine(copy_lines[i].c_str(), &parsed);
    Line line = LineOf("CopyFile%02i", i, parsed.Path, parsed.Mode);
    line.disc = parsed.DiscNumber;
    line.source = line.target;
    if (passed_over(&line, LineAppliesToMode(parsed.HasMode, uint32_t(parsed.Mode)), &copy_item)) continue;
    const DiscCopyItem& it = UpdateState.DiscCopyItems[copy_item++];
    LineDecision d;
    line.verb = kVerbFail;
    if (!CheckCopyLine(it, &d)) {
      line.why = WhyOf(d, nullptr, 0);
      finish(nullptr, &line);
      fail_copy(it);
      continue;
    }
    // The player without the disc: asked, and giving up.
    RunSeat seat = {nullptr, nullptr, nullptr, nullptr, nullptr, [](void*, int disc) {
                      char message[kLongTextSize];
                      DiscPromptText(disc, message, sizeof message);
                      return int(PlanShowMessageBox(nullptr, message, UpdateState.UpdaterCaption, kBoxOkCancel) ==
                                 kAnswerOk);
                    }};
    if (it.DiscNumber != 0 && !FindDiscDrive(it.DiscNumber, seat, disc_root)) {
      line.why = "fails: the player is asked for disc " + std::to_string(it.DiscNumber) + " (check file '" +
                 DisplayText(UpdateState.InstallerConfig.DiskCheckFile[it.DiscNumber]) +
                 "'), which no drive given holds";
      finish(nullptr, &line);
      fail_run(nullptr);
      continue;
    }
    DecideCopySource(it, disc_root, &d);
    line.verb = d.Verb;
    line.why = WhyOf(d, nullptr, 0);
    Found source = Look(d.Source);
    if (d.Source[0] != '\0') line.source = DisplayText(d.Source);
    if (d.Verb == kVerbFail) {
      finish(&d, &line);
      fail_copy(it);
      continue;
    }
    std::vector<Effect> effects;
    uint64_t bytes = 0;
    std::error_code ec;
    if (d.Why == kWhyCopyFile) {
      bytes = fs::file_size(source.host, ec);
      if (ec) {
        *error = source.host.string() + ": " + ec.message();
        return false;
      }
      // The missing folders on the way are made.
      ForEachFolderOnTheWay(
          UpdateState.InstPath, d.Target,
          [](void* context, const char* folder) {
            if (PlanGetAttributes(folder) == kInvalidAttributes)
              static_cast<std::vector<Effect>*>(context)->push_back({folder, {true, 0, 0}});
          },
          &effects);
      effects.push_back({d.Target, {false, bytes, FileTimeOf(source.host)}});
    } else {
      if (!FolderEffects(source.host, d.Target, &effects, &bytes, error)) return false;
      auto through_link = std::find_if(effects.begin(), effects.end(),
                                       [](const Effect& e) { return PathHasForeignLink(e.path.c_str()); });
      if (through_link != effects.end()) {
        line.verb = kVerbFail;
        line.why = "fails: " + DisplayText(through_link->path.substr(strlen(UpdateState.InstPath) + 1)) +
                   " lies behind a link, which the updater does not follow unless an administrator made it";
        finish(&d, &line);
        fail_copy(it);
        continue;
      }
    }
    line.bytes = bytes;
    outcome->bytes += bytes;
    g_machine.used[FoldedName(std::string(d.Target, 2))] += bytes;
    finish(&d, &line);
    for (const Effect& e : effects) {
      if (all_or_nothing) {
        deferred.push_back(e);
      } else {
        Lay(e, &outcome->changed);
      }
    }
  }
  if (outcome->name == "interrupted") {
    PlanShowMessageBox(nullptr, kMsgInterrupted, nullptr, kBoxOk);
    if (all_or_nothing) outcome->changed.clear();  // nothing of the run stays
  } else if (!stopped) {
    for (const Effect& e : deferred) Lay(e, &outcome->changed);
  }
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
  for (const auto& [disc, folder] : o.discs) {
    char letter = 'D';
    while (letter <= 'Z' && std::any_of(drives.begin(), drives.end(), [&](const auto& d) { return d.first == letter; }))
      ++letter;
    if (letter > 'Z') {
      fprintf(stderr, "mkupdate: more discs than drive letters\n");
      return 2;
    }
    drives.push_back({letter, folder});
    (void)disc;
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
  bool known = PlanCallFreeSpaceEx(nullptr, drive, &free_bytes, &total, &total_free);
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
