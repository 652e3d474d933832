#include "flow/placement.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "archive/payload_checksum.h"
#include "archive/file_output.h"
#include "common/error_box.h"
#include "common/messages.h"
#include "common/text.h"
#include "common/update_state.h"
#include "flow/disc_copy.h"
#include "flow/file_update.h"
#include "flow/line_decision.h"
#include "flow/recovery.h"
#include "settings/update_script.h"

namespace {

constexpr const char* kJournalHeader = "koushin journal 1\r\n";

// --- The journal's text ---------------------------------------------------------
// After the header, one record a line, fields separated by tabs:
//   D <folder>                          a folder that the run makes (or made)
//   F <new> <target> <old> <line>       a file to put in place; <old> is the
//                                       old file's attributes in hex, or "-"
//                                       when there was none; <line> is "U" for
//                                       an update file, "C<n>" for copy line n
//   R <aside> <target> <old> U          a file that a removal takes away: it
//                                       moves aside to <aside>, a temporary
//                                       name beside it, until the end
//   S <staging folder>
// and last "X <checksum>": the XXH64 of everything before it, in hex.

// The largest journal written or read: some 200,000 files of the deepest
// paths.
constexpr uint32_t kJournalLimit = 64u << 20;

struct Text {
  char* bytes;
  uint32_t size, room;
  bool ok;
};

void Append(Text* t, const char* piece) {
  uint64_t n = strlen(piece);
  if (!t->ok) return;
  if (t->size + n + 1 > t->room) {
    // Grown in 64 bits: a doubling never wraps, and stops at the limit.
    uint64_t room = t->room ? t->room : 16384;
    while (t->size + n + 1 > room) room *= 2;
    if (room > kJournalLimit) room = kJournalLimit;
    if (t->size + n + 1 > room) {
      t->ok = false;
      return;
    }
    char* bigger = static_cast<char*>(Os->Alloc(uint32_t(room), 0));
    if (bigger == nullptr) {
      t->ok = false;
      return;
    }
    if (t->bytes != nullptr) {
      memcpy(bigger, t->bytes, t->size);
      Os->Free(t->bytes);
    }
    t->bytes = bigger;
    t->room = uint32_t(room);
  }
  memcpy(t->bytes + t->size, piece, n + 1);
  t->size += uint32_t(n);
}

void Record(Text* t, const char* kind, const char* a, const char* b = nullptr, const char* c = nullptr,
            const char* d = nullptr) {
  Append(t, kind);
  for (const char* field : {a, b, c, d}) {
    if (field == nullptr) continue;
    Append(t, "\t");
    Append(t, field);
  }
  Append(t, "\r\n");
}

bool Exists(const char* path) { return Os->GetAttributes(path) != kInvalidAttributes; }

void BackupOf(const char* target, char* backup, size_t size) {
  CopyText(backup, size, target);
  AppendText(backup, size, kBackupSuffix);
}

// --- What the staged put keeps ---------------------------------------------------

// A list the staged put could not keep a path in fails the run at its end:
// nothing may be left half done.
bool g_list_full = false;

// One kept update file: its record and its two texts.
struct PendingView {
  PendingFile* file;
  const char* temp;
  const char* target;
};

// The kept file at `*at` (start with 0), or false at the end; files that a
// later line's file replaced are passed over.
bool NextPending(uint32_t* at, PendingView* view) {
  GrowingList& list = UpdateState.Pending;
  while (*at < list.Size) {
    view->file = reinterpret_cast<PendingFile*>(list.Bytes + *at);
    view->temp = reinterpret_cast<const char*>(view->file + 1);
    view->target = view->temp + strlen(view->temp) + 1;
    *at = uint32_t(view->target + strlen(view->target) + 1 - reinterpret_cast<const char*>(list.Bytes));
    *at = (*at + 7) & ~7u;  // the next record starts aligned
    if (!view->file->Replaced) return true;
  }
  return false;
}

bool KeepPending(const PendingFile& file, const char* temp, const char* target) {
  GrowingList& list = UpdateState.Pending;
  uint32_t start = list.Size;
  size_t temp_size = strlen(temp) + 1, target_size = strlen(target) + 1;
  uint32_t end = uint32_t((start + sizeof file + temp_size + target_size + 7) & ~size_t(7));
  static const char kZeros[8] = {};
  if (!AppendToList(&list, &file, sizeof file) || !AppendToList(&list, temp, uint32_t(temp_size)) ||
      !AppendToList(&list, target, uint32_t(target_size)) || !AppendToList(&list, kZeros, end - list.Size)) {
    list.Size = start;
    return false;
  }
  list.Count -= 3;  // one record of four pieces
  return true;
}

// Whether a kept update file has `target`.
bool IsPendingTarget(const char* target) {
  PendingView view;
  for (uint32_t at = 0; NextPending(&at, &view);)
    if (strcmp(view.target, target) == 0) return true;
  return false;
}

// The texts of a list, last first, until `visit` returns false.
void ForEachTextLastFirst(const GrowingList& list, void (*visit)(const char* text)) {
  if (list.Count == 0) return;
  auto** texts = static_cast<const char**>(Os->Alloc(uint32_t(sizeof(char*)) * uint32_t(list.Count), 0));
  int32_t n = 0;
  uint32_t at = 0;
  if (texts == nullptr) {
    // Without the memory for the order, forwards: what cannot go now stays.
    for (const char* text; (text = NextTextOfList(list, &at)) != nullptr;) visit(text);
    return;
  }
  for (const char* text; n < list.Count && (text = NextTextOfList(list, &at)) != nullptr;) texts[n++] = text;
  while (n > 0) visit(texts[--n]);
  Os->Free(texts);
}

// The folders between the base folder and `target`'s own folder that do
// not exist, each once, as D records.
void RecordMissingFolders(Text* t, const char* base, const char* target) {
  ForEachFolderOnTheWay(
      base, target,
      [](void* context, const char* folder) {
        Text* text = static_cast<Text*>(context);
        if (Exists(folder)) return;
        char line[kLongTextSize + 4];  // listed by an earlier record?
        FormatText(line, sizeof line, "D\t%s\r\n", folder);
        if (text->bytes == nullptr || strstr(text->bytes, line) == nullptr) Record(text, "D", folder);
      },
      t);
}

void RecordFile(Text* t, const char* base, const char* from, const char* target, const char* line) {
  RecordMissingFolders(t, base, target);
  uint32_t attributes = Os->GetAttributes(target);
  char old[16] = "-";
  if (attributes != kInvalidAttributes) FormatText(old, sizeof old, "%x", attributes);
  Record(t, "F", from, target, old, line);
}

// The copy line `i`, staged, as records.
bool RecordCopyLine(Text* t, int i) {
  const DiscCopyItem& item = UpdateState.DiscCopyItems[i];
  struct Line {
    Text* text;
    char name[8];
  } line = {t, {}};
  FormatText(line.name, sizeof line.name, "C%i", i);
  // A file arrived in the staging folder under its path, a folder under its
  // last name: the source's.
  const char* name = item.Staged == kStagedFile ? item.Path : LastPathComponent(item.Path);
  char staged[kLongTextSize], target[kLongTextSize];
  CopyText(target, sizeof target, UpdateState.InstPath);
  if (!StagingFolderOf(i, staged, sizeof staged) || !AppendPathComponent(staged, sizeof staged, name) ||
      !AppendPathComponent(target, sizeof target, name))
    return false;
  if (item.Staged == kStagedFile) {
    RecordFile(t, UpdateState.InstPath, staged, target, line.name);
    return true;
  }
  StagedTreeVisitor record = {[](void* context, const char* folder) {
                                if (!Exists(folder)) Record(static_cast<Line*>(context)->text, "D", folder);
                              },
                              [](void* context, const char* from, const char* to) {
                                Line* l = static_cast<Line*>(context);
                                RecordFile(l->text, UpdateState.InstPath, from, to, l->name);
                                return true;
                              },
                              &line};
  return WalkStagedTree(staged, target, record);
}

// A name for the file at `target` to move aside to while a removal waits:
// a temporary name of its folder that no file has, so that the next start
// removes it should the run stop once the journal is gone.
bool AsideOf(const char* target, uint32_t seed, char* aside, size_t size) {
  CopyText(aside, size, target);
  char* name = const_cast<char*>(LastPathComponent(aside));
  for (uint32_t n = 0; n < 64; ++n) {
    uint32_t tag = uint32_t(Xxh64(target, strlen(target), seed + n));
    FormatText(name, size - size_t(name - aside), "%s%08x%s", kTemporaryPrefix, tag, kTemporarySuffix);
    if (!Exists(aside)) return true;
  }
  return false;
}

struct RemovalRecords {
  Text* text;
  uint32_t seed;
  bool ok;
};

// The R record of one file that a removal takes away, unless a file of the
// update takes its place (the update file's own record then keeps the old
// one aside).
void RecordRemovedFile(RemovalRecords* r, const char* target) {
  if (IsPendingTarget(target)) return;
  char aside[kLongTextSize], old[16];
  if (!AsideOf(target, r->seed++, aside, sizeof aside)) {
    r->ok = false;
    return;
  }
  FormatText(old, sizeof old, "%x", Os->GetAttributes(target));
  Record(r->text, "R", aside, target, old, "U");
}

// The files of a removed folder, each as an R record; the walk goes into no
// link (a link goes, as a link, once everything is in place) and passes
// over what runs of the updater leave.
void RecordRemovedTree(TreeWalk* walk, const char* name, int is_folder, LinkKind link) {
  auto* r = static_cast<RemovalRecords*>(walk->context);
  if (link != kNoLink || IsTemporaryName(name) || IsBackupName(name)) return;
  if (is_folder) {
    if (!WalkFolder(walk)) r->ok = false;
    return;
  }
  RecordRemovedFile(r, walk->path);
}

bool RecordRemovals(Text* t) {
  RemovalRecords r = {t, 0, true};
  uint32_t at = 0;
  for (const char* removed; (removed = NextTextOfList(UpdateState.PendingRemovals, &at)) != nullptr;) {
    if (!IsFolderPath(removed)) {
      RecordRemovedFile(&r, removed);
      continue;
    }
    TreeWalk walk = {};
    CopyText(walk.path, sizeof walk.path, removed);
    walk.path[strlen(walk.path) - 1] = '\0';
    walk.visit = RecordRemovedTree;
    walk.context = &r;
    if (!WalkFolder(&walk)) r.ok = false;
  }
  return r.ok;
}

// Once everything is in place: a removed folder goes with what is left in
// it (its links as links), except the files of the update that took a
// place there, and the folders holding them.
void PruneRemovedTree(TreeWalk* walk, const char* name, int is_folder, LinkKind link) {
  (void)name;
  if (link != kNoLink) {
    RemoveTree(walk->path);
  } else if (is_folder) {
    WalkFolder(walk);
    Os->RemoveFolder(walk->path);  // fails, as it should, when a file of the update is in it
  } else if (!IsPendingTarget(walk->path)) {
    Os->SetAttributes(walk->path, kAttrNormal);
    Os->RemoveFile(walk->path);
  }
}

void RemoveRemovedFolders() {
  uint32_t at = 0;
  for (const char* removed; (removed = NextTextOfList(UpdateState.PendingRemovals, &at)) != nullptr;) {
    if (!IsFolderPath(removed)) continue;
    TreeWalk walk = {};
    CopyText(walk.path, sizeof walk.path, removed);
    walk.path[strlen(walk.path) - 1] = '\0';
    walk.visit = PruneRemovedTree;
    WalkFolder(&walk);
    Os->RemoveFolder(walk.path);
  }
}

// --- Reading the records ---------------------------------------------------------

struct Fields {
  const char* field[5];
  size_t length[5];
  int count;
};

// The fields of the record that starts at `at` (and ends at the next "\r\n").
Fields Split(const char* at, const char* end) {
  Fields f = {};
  const char* start = at;
  for (const char* p = at;; ++p) {
    if (p == end || *p == '\t' || *p == '\r') {
      if (f.count < 5) {
        f.field[f.count] = start;
        f.length[f.count] = size_t(p - start);
        ++f.count;
      }
      if (p == end || *p == '\r') return f;
      start = p + 1;
    }
  }
}

void FieldText(const Fields& f, int i, char* out, size_t size) {
  size_t n = i < f.count ? f.length[i] : 0;
  if (n >= size) n = size - 1;
  memcpy(out, i < f.count ? f.field[i] : "", n);
  out[n] = '\0';
}

// Where each record begins, in order: a block the caller frees.
const char** RecordStarts(const char* text, uint32_t size, int* count) {
  int n = 0;
  for (uint32_t i = 0; i + 1 < size; ++i)
    if (text[i] == '\r' && text[i + 1] == '\n') ++n;
  const char** starts = static_cast<const char**>(Os->Alloc(uint32_t(sizeof(char*)) * uint32_t(n + 1), 0));
  if (starts == nullptr) return nullptr;
  int k = 0;
  const char* line = text;
  for (uint32_t i = 0; i + 1 < size; ++i) {
    if (text[i] == '\r' && text[i + 1] == '\n') {
      starts[k++] = line;
      line = text + i + 2;
    }
  }
  *count = k;
  return starts;
}

// One record of a journal, its fields as texts.
struct JournalRecord {
  char kind[4];
  char from[kLongTextSize];  // F: the new file; D and S: the folder
  char target[kLongTextSize];
  char old[16];
  char line[8];
};

// Calls `visit` with each record after the header, in order or last first,
// until it returns false. False when the records cannot be listed.
bool ForEachRecord(const char* text, uint32_t size, bool last_first,
                   bool (*visit)(void* context, const JournalRecord& record), void* context) {
  int count = 0;
  const char** starts = RecordStarts(text, size, &count);
  if (starts == nullptr) return false;
  for (int k = 1; k < count; ++k) {
    int i = last_first ? count - k : k;
    Fields f = Split(starts[i], (i + 1 < count ? starts[i + 1] : text + size) - 2);
    JournalRecord r;
    FieldText(f, 0, r.kind, sizeof r.kind);
    FieldText(f, 1, r.from, sizeof r.from);
    FieldText(f, 2, r.target, sizeof r.target);
    FieldText(f, 3, r.old, sizeof r.old);
    FieldText(f, 4, r.line, sizeof r.line);
    if (!visit(context, r)) break;
  }
  Os->Free(starts);
  return true;
}

uint32_t Hex(const char* text) {
  uint32_t v = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    int d = (*p >= '0' && *p <= '9') ? *p - '0' : (*p >= 'a' && *p <= 'f') ? *p - 'a' + 10 : -1;
    if (d < 0) break;
    v = v * 16 + uint32_t(d);
  }
  return v;
}

// The checksum record's text: the XXH64 of `size` bytes, in 16 hex digits.
void ChecksumText(const char* bytes, uint32_t size, char out[20]) {
  uint64_t digest = Xxh64(bytes, size, 0);
  FormatText(out, 20, "%08x%08x", uint32_t(digest >> 32), uint32_t(digest));
}

// Whether the journal is whole: its header, and its last record the
// checksum of everything before it.
bool JournalIsWhole(const char* text, uint32_t size) {
  size_t header = strlen(kJournalHeader);
  if (size < header + 4 || memcmp(text, kJournalHeader, header) != 0) return false;
  if (text[size - 2] != '\r' || text[size - 1] != '\n') return false;
  uint32_t last = size - 2;
  while (last > 0 && !(text[last - 1] == '\n')) --last;
  if (size - last < 4 || text[last] != 'X' || text[last + 1] != '\t') return false;
  char expected[20];
  ChecksumText(text, last, expected);
  return size - 2 - (last + 2) == 16 && memcmp(text + last + 2, expected, 16) == 0;
}

// --- Which journals are acted on ----------------------------------------------------
// The journal lies in InstPath, which a program of the player's may be able
// to write, and its checksum has no secret: anybody can write a whole one.
// It is acted on only when every record names the update's own kind of file
// in the places the update writes, so that no journal can make the updater
// change what the update itself would never touch: targets anywhere in
// InstPath's tree, and in DataPath only the targets of the script's
// DataFile lines (DataPath may be the player's Documents, or a drive's root);
// the new file a temporary name beside its target, or a file of a staging
// folder; the folders made on the way to those targets; the staging folder
// one of InstPath's staging names. One record that is none of these refuses
// the whole journal.

// `folder` with one separator after it, as a prefix of what lies inside.
bool PrefixOf(const char* folder, char* prefix, size_t size) {
  CopyText(prefix, size, folder);
  return folder[0] != '\0' && AppendPathComponent(prefix, size, "");
}

// Whether `path` lies below `base` (never `base` itself) by its text alone:
// no "..", no drive or stream, no empty component (one separator may end it).
bool Inside(const char* base, const char* path) {
  char prefix[kLongTextSize];
  if (!PrefixOf(base, prefix, sizeof prefix)) return false;
  size_t n = strlen(prefix);
  const char* rest = path + n;
  if (strncmp(path, prefix, n) != 0 || *rest == '\0' || IsPathSeparator(rest) || !PathStaysInside(rest)) return false;
  for (const char* p = rest; *p != '\0'; p = NextChar(p))
    if (IsPathSeparator(p) && IsPathSeparator(p + 1)) return false;
  return true;
}

// Whether `path` is the folder `folder`, with or without a separator after it.
bool SameFolder(const char* folder, const char* path) {
  char prefix[kLongTextSize];
  return strcmp(folder, path) == 0 || (PrefixOf(folder, prefix, sizeof prefix) && strcmp(prefix, path) == 0);
}

bool IsTarget(const char* path) {
  const char* name = LastPathComponent(path);
  if (IsTemporaryName(name) || IsBackupName(name) || strcmp(name, kJournalName) == 0) return false;
  if (Inside(UpdateState.InstPath, path)) return true;
  // A DataFile line's target, or a file below a DataFile folder line's folder.
  return AnyDataFileTarget(
      [](void* p, char* target) {
        const char* path = static_cast<const char*>(p);
        return strcmp(target, path) == 0 || (IsFolderPath(target) && Inside(target, path));
      },
      const_cast<char*>(path));
}

bool IsStagingFolder(const char* path) {
  return Inside(UpdateState.InstPath, path) &&
         LastPathComponent(path) - path == ptrdiff_t(strlen(UpdateState.InstPath)) + 1 &&
         IsStagingName(LastPathComponent(path));
}

// The new file of an F record: a temporary name in its target's folder, or
// a file inside one of InstPath's staging folders.
bool IsNewFileOf(const char* from, const char* target) {
  const char* name = LastPathComponent(from);
  const char* target_name = LastPathComponent(target);
  if (IsTemporaryName(name) && name - from == target_name - target && strncmp(from, target, size_t(name - from)) == 0)
    return true;
  char staging[kLongTextSize];
  CopyText(staging, sizeof staging, from);
  for (char* end = staging + strlen(staging); end > staging; --end) {
    if (!IsPathSeparator(end - 1)) continue;
    end[-1] = '\0';
    if (IsStagingFolder(staging)) return Inside(staging, from);
  }
  return false;
}

// A folder the run made: inside InstPath, or on the way from DataPath to a
// DataFile line's target (DataPath itself included: the run makes it when
// it is missing).
bool IsFolderMade(const char* folder) {
  if (Inside(UpdateState.InstPath, folder)) return true;
  if (!SameFolder(UpdateState.DataPath, folder) && !Inside(UpdateState.DataPath, folder)) return false;
  return AnyDataFileTarget(
      [](void* f, char* target) {
        const char* folder = static_cast<const char*>(f);
        char prefix[kLongTextSize];
        return (PrefixOf(folder, prefix, sizeof prefix) && Inside(prefix, target)) ||
               (IsFolderPath(target) && Inside(target, folder));
      },
      const_cast<char*>(folder));
}

bool IsHex(const char* text) {
  if (text[0] == '\0') return false;
  for (const char* p = text; *p != '\0'; ++p)
    if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f'))) return false;
  return true;
}

// A record's line: "U" for the update files, "C0" to "C15" for a copy line.
bool IsLineName(const char* line) {
  if (strcmp(line, "U") == 0) return true;
  if (line[0] != 'C' || line[1] < '0' || line[1] > '9') return false;
  bool two = line[2] >= '0' && line[2] <= '9';
  return (line[2] == '\0' || (two && line[3] == '\0')) && atoi(line + 1) < kListLines;
}

bool RecordStaysInItsPlace(const JournalRecord& r) {
  if (strcmp(r.kind, "D") == 0) return IsFolderMade(r.from);
  if (strcmp(r.kind, "S") == 0) return IsStagingFolder(r.from);
  if (strcmp(r.kind, "X") == 0) return true;
  // A removal's file: in InstPath's tree alone, aside under a temporary name
  // in its own folder.
  if (strcmp(r.kind, "R") == 0)
    return strcmp(r.line, "U") == 0 && IsHex(r.old) && Inside(UpdateState.InstPath, r.target) && IsTarget(r.target) &&
           IsTemporaryName(LastPathComponent(r.from)) && IsNewFileOf(r.from, r.target);
  return strcmp(r.kind, "F") == 0 && IsLineName(r.line) && (strcmp(r.old, "-") == 0 || IsHex(r.old)) &&
         IsTarget(r.target) && IsNewFileOf(r.from, r.target);
}

// Whether every record of a whole journal stays in its place (above).
bool JournalStaysInItsPlaces(const char* text, uint32_t size) {
  ReadUpdateList();  // the DataFile lines
  bool ok = true;
  return ForEachRecord(
             text, size, false,
             [](void* context, const JournalRecord& r) {
               if (RecordStaysInItsPlace(r)) return true;
               *static_cast<bool*>(context) = false;
               return false;
             },
             &ok) &&
         ok;
}

// --- Carrying it out ---------------------------------------------------------------

// Puts `from` in the place of `target`: an old file moves aside under its
// backup name (its read-only attribute cleared first), then the new file
// takes its name. The old file stays aside until the journal is gone. A
// new file from the staging folder takes the access its folder gives.
bool PutInPlace(const char* from, const char* target, const uint64_t* time, bool staged) {
  char backup[kLongTextSize];
  BackupOf(target, backup, sizeof backup);
  uint32_t attributes = Os->GetAttributes(target);
  if (attributes != kInvalidAttributes) {
    if (attributes & kAttrDirectory) return false;
    if (attributes & kAttrReadOnly) Os->SetAttributes(target, kAttrNormal);
    if (Exists(backup) && !Os->RemoveFile(backup)) return false;
    PlatformFile old = Os->OpenFileForMove(target);
    if (old == nullptr || !Os->CommitFile(old, target, backup, nullptr)) return false;
  }
  PlatformFile file = Os->OpenFileForMove(from);
  if (file == nullptr || !Os->CommitFile(file, from, target, time)) return false;
  if (staged && attributes == kInvalidAttributes && !Os->TakeFolderAccess(target)) return false;
  // The new file takes the old one's other attributes, as a replacement
  // does (the read-only one excepted, as when it is written directly).
  if (attributes != kInvalidAttributes && (attributes & ~uint32_t(kAttrReadOnly)) != 0)
    Os->SetAttributes(target, attributes & ~uint32_t(kAttrReadOnly));
  return true;
}

// Undoes the records of a journal, last first. True when everything was
// undone.
bool RollBack(const char* text, uint32_t size) {
  bool ok = true;
  bool listed = ForEachRecord(
      text, size, true,
      [](void* context, const JournalRecord& r) {
        bool& ok = *static_cast<bool*>(context);
        if (strcmp(r.kind, "F") == 0) {
          char backup[kLongTextSize];
          BackupOf(r.target, backup, sizeof backup);
          bool had_old = strcmp(r.old, "-") != 0;
          if (Exists(backup)) {
            // The old file is aside: the new one (if it got in) goes, the old one back.
            if (Exists(r.target) && !Os->RemoveFile(r.target)) ok = false;
            PlatformFile file = Os->OpenFileForMove(backup);
            if (file == nullptr || !Os->CommitFile(file, backup, r.target, nullptr)) ok = false;
          } else if (!had_old && !Exists(r.from) && Exists(r.target)) {
            if (!Os->RemoveFile(r.target)) ok = false;  // a new file, in place: there was none
          }
          if (had_old && Exists(r.target)) Os->SetAttributes(r.target, Hex(r.old));
          if (Exists(r.from)) Os->RemoveFile(r.from);
        } else if (strcmp(r.kind, "R") == 0) {
          // A removed file aside comes back, with its attributes.
          if (Exists(r.from) && !Exists(r.target)) {
            PlatformFile file = Os->OpenFileForMove(r.from);
            if (file == nullptr || !Os->CommitFile(file, r.from, r.target, nullptr)) ok = false;
            else Os->SetAttributes(r.target, Hex(r.old));
          }
        } else if (strcmp(r.kind, "D") == 0) {
          if (Exists(r.from) && !Os->RemoveFolder(r.from)) ok = false;
        } else if (strcmp(r.kind, "S") == 0) {
          if (!RemoveTree(r.from)) ok = false;
        }
        return true;
      },
      &ok);
  return listed && ok;
}

void JournalPath(char* path, size_t size) {
  CopyText(path, size, UpdateState.InstPath);
  AppendPathComponent(path, size, kJournalName);
}

void ClearDeferred() {
  ClearList(&UpdateState.Pending);
  ClearList(&UpdateState.FoldersMade);
  ClearList(&UpdateState.PendingTouches);
  ClearList(&UpdateState.PendingWritable);
  ClearList(&UpdateState.PendingRemovals);
  for (int i = 0; i < UpdateState.DiscCopyItemCount; ++i) UpdateState.DiscCopyItems[i].Staged = 0;
  UpdateState.StagingFolder[0] = '\0';
}

// The journal of everything deferred; false when it cannot be made.
bool MakeJournal(Text* t) {
  Append(t, kJournalHeader);
  uint32_t at = 0;
  for (const char* folder; (folder = NextTextOfList(UpdateState.FoldersMade, &at)) != nullptr;) Record(t, "D", folder);
  if (!RecordRemovals(t)) return false;
  PendingView p;
  for (at = 0; NextPending(&at, &p);)
    RecordFile(t, p.file->DataBase ? UpdateState.DataPath : UpdateState.InstPath, p.temp, p.target, "U");
  for (int i = 0; i < UpdateState.DiscCopyItemCount; ++i)
    if (UpdateState.DiscCopyItems[i].Staged != 0 && !RecordCopyLine(t, i)) return false;
  char staging[kLongTextSize];
  if (StagingFolderOf(-1, staging, sizeof staging)) Record(t, "S", staging);
  char sum[20];
  ChecksumText(t->bytes, t->size, sum);
  Record(t, "X", sum);
  return t->ok;
}

// Moves a removal's file aside (read-only or not) to its temporary name.
bool MoveAside(const char* target, const char* aside) {
  uint32_t attributes = Os->GetAttributes(target);
  if (attributes == kInvalidAttributes) return true;  // gone meanwhile: nothing to take away
  if (attributes & kAttrReadOnly) Os->SetAttributes(target, kAttrNormal);
  PlatformFile file = Os->OpenFileForMove(target);
  return file != nullptr && Os->CommitFile(file, target, aside, nullptr);
}

// Carrying out: whether all went well, and the kept update files in the
// order of their F records, for their times.
struct CarryingOut {
  bool ok;
  uint32_t pending_at;
};

// The time an update file's entry gives it: the next kept file's, which is
// the record's (records of update files come in the order they were kept).
const uint64_t* TimeOf(CarryingOut* c, const char* from) {
  PendingView p;
  if (!NextPending(&c->pending_at, &p) || strcmp(p.temp, from) != 0 || !p.file->HasTime) return nullptr;
  return &p.file->Time;
}

// Carries out the records; on a failure, the message of the line whose
// file could not be put in place.
bool CarryOut(const char* text, uint32_t size) {
  CarryingOut carrying = {true, 0};
  bool listed = ForEachRecord(
      text, size, false,
      [](void* context, const JournalRecord& r) {
        auto* c = static_cast<CarryingOut*>(context);
        if (strcmp(r.kind, "D") == 0 && !Exists(r.from)) Os->CreateFolder(r.from);  // a failure shows as the file's
        bool update_file = strcmp(r.kind, "F") == 0 && strcmp(r.line, "U") == 0;
        if (strcmp(r.kind, "R") == 0) {
          if (MoveAside(r.target, r.from)) return true;
        } else if (strcmp(r.kind, "F") != 0 ||
                   PutInPlace(r.from, r.target, update_file ? TimeOf(c, r.from) : nullptr, r.line[0] == 'C')) {
          return true;
        }
        c->ok = false;
        if (r.line[0] == 'C') {
          int n = r.line[1] - '0';
          if (r.line[2] != '\0') n = n * 10 + (r.line[2] - '0');
          ShowUpdaterErrorF(kMsgCopyFailed, UpdateState.DiscCopyItems[n].Path);
        } else {
          ShowUpdaterError(kMsgWriteFailed);
        }
        return false;
      },
      &carrying);
  return listed && carrying.ok;
}

// Everything kept beside the installation goes: the files written beside
// their targets, the staging folder and the folders the run made.
void DiscardDeferred() {
  PendingView p;
  for (uint32_t at = 0; NextPending(&at, &p);) Os->RemoveFile(p.temp);
  RemoveStagingFolder();
  ForEachTextLastFirst(UpdateState.FoldersMade, [](const char* folder) { Os->RemoveFolder(folder); });
  ClearDeferred();
  g_list_full = false;
}

// Puts everything kept in place, or, when a file cannot be put in place,
// shows the line's message and rolls everything back (false).
int PlaceDeferred() {
  Text journal = {nullptr, 0, 0, true};
  char path[kLongTextSize];
  JournalPath(path, sizeof path);
  bool ok = !g_list_full && MakeJournal(&journal) && WriteBufferToFile(path, journal.bytes, journal.size, nullptr);
  g_list_full = false;
  if (!ok) {
    ShowUpdaterError(kMsgWriteFailed);
    if (journal.bytes != nullptr) Os->Free(journal.bytes);
    DiscardDeferred();
    return 0;
  }
  if (!CarryOut(journal.bytes, journal.size)) {
    if (RollBack(journal.bytes, journal.size)) Os->RemoveFile(path);  // else the next start rolls back again
    Os->Free(journal.bytes);
    ClearDeferred();
    return 0;
  }
  // Everything is in place. The player's data files take the run's time,
  // the read-only files that the time rule kept lose the attribute, the
  // copied files' attributes become normal (for a folder: InstPath's).
  uint32_t at = 0;
  for (const char* target; (target = NextTextOfList(UpdateState.PendingTouches, &at)) != nullptr;)
    Os->TouchLastWriteTime(target);
  at = 0;
  for (const char* target; (target = NextTextOfList(UpdateState.PendingWritable, &at)) != nullptr;)
    Os->SetAttributes(target, kAttrNormal);
  for (int i = 0; i < UpdateState.DiscCopyItemCount; ++i) {
    const DiscCopyItem& item = UpdateState.DiscCopyItems[i];
    char target[kLongTextSize];
    CopyText(target, sizeof target, UpdateState.InstPath);
    if (item.Staged == kStagedFile && AppendPathComponent(target, sizeof target, item.Path))
      SetCopiedAttributes(kShellCopyFile, target);
    if (item.Staged == kStagedFolder) SetCopiedAttributes(kShellCopyFolder, target);
  }
  // The journal goes first: from here on, an old file beside its target is
  // only an old version, which the next start removes should this stop.
  Os->RemoveFile(path);
  ForEachRecord(
      journal.bytes, journal.size, false,
      [](void*, const JournalRecord& r) {
        char backup[kLongTextSize];
        BackupOf(r.target, backup, sizeof backup);
        if (strcmp(r.kind, "F") == 0 && Exists(backup)) Os->RemoveFile(backup);
        if (strcmp(r.kind, "R") == 0 && Exists(r.from)) Os->RemoveFile(r.from);  // a removed file, aside
        return true;
      },
      nullptr);
  RemoveRemovedFolders();
  RemoveStagingFolder();
  Os->Free(journal.bytes);
  ClearDeferred();
  return 1;
}

// --- The two puts ----------------------------------------------------------------

// Direct: every change as its line is carried out.
int DirectFile(PlatformFile file, const char* temp, const char* target, const uint64_t* time, int) {
  if (Os->CommitFile(file, temp, target, time)) return 1;
  Os->RemoveFile(temp);
  return 0;
}
// Windows refuses to replace a read-only file: the attribute goes first.
void DirectMakeWritable(const char* target, int) { Os->SetAttributes(target, kAttrNormal); }
void DirectTouch(const char* target) { Os->TouchLastWriteTime(target); }  // not examined: the file stays as it was
void DirectFolderMade(const char*) {}
int DirectRemove(const char* target, int folder, uint32_t attributes) {
  if (folder) return RemoveTree(target);
  if (attributes & kAttrReadOnly) Os->SetAttributes(target, kAttrNormal);
  return Os->RemoveFile(target);
}
int DirectCopied(DiscCopyItem&, ShellCopyKind kind, const char* staged, const char* target) {
  return PlaceCopiedLine(kind, staged, target);
}
int DirectFinish() {
  RemoveStagingFolder();
  return 1;
}

// Staged: the file written and flushed beside its target, kept for the end
// of the run. A second line with the same target takes the first one's place.
int StagedFile(PlatformFile file, const char* temp, const char* target, const uint64_t* time, int data_base) {
  Os->CloseFile(file);
  PendingView earlier;
  for (uint32_t at = 0; NextPending(&at, &earlier);) {
    if (strcmp(earlier.target, target) != 0) continue;
    Os->RemoveFile(earlier.temp);
    earlier.file->Replaced = 1;
  }
  PendingFile pending = {time != nullptr ? *time : 0, time != nullptr, data_base, 0};
  if (KeepPending(pending, temp, target)) return 1;
  Os->RemoveFile(temp);
  return 0;
}
void Keep(GrowingList* list, const char* path) {
  if (!AppendTextToList(list, path)) g_list_full = true;
}
// A file that is written loses the attribute as it is put in place; one the
// time rule keeps, once everything is in place.
void StagedMakeWritable(const char* target, int kept) {
  if (kept) Keep(&UpdateState.PendingWritable, target);
}
void StagedTouch(const char* target) { Keep(&UpdateState.PendingTouches, target); }
// A folder that is made goes again should the run fail.
void StagedFolderMade(const char* folder) { Keep(&UpdateState.FoldersMade, folder); }
// A removal waits for the end, with everything else; a folder's keeps its
// separator.
int StagedRemove(const char* target, int folder, uint32_t) {
  char kept[kLongTextSize];
  CopyText(kept, sizeof kept, target);
  if (folder && !AppendPathComponent(kept, sizeof kept, "")) return 0;
  return AppendTextToList(&UpdateState.PendingRemovals, kept);
}
int StagedCopied(DiscCopyItem& item, ShellCopyKind kind, const char*, const char*) {
  item.Staged = kind == kShellCopyFile ? kStagedFile : kStagedFolder;  // put in place with everything else
  return 1;
}

const Put kDirectPut = {DirectFile,   DirectMakeWritable, DirectTouch,  DirectFolderMade,
                        DirectRemove, DirectCopied,       DirectFinish, RemoveStagingFolder};
const Put kStagedPut = {StagedFile,   StagedMakeWritable, StagedTouch,   StagedFolderMade,
                        StagedRemove, StagedCopied,       PlaceDeferred, DiscardDeferred};

}  // namespace

const Put* PutFor(int all_or_nothing) { return all_or_nothing ? &kStagedPut : &kDirectPut; }

const Put* CurrentPut() { return UpdateState.RunPut != nullptr ? UpdateState.RunPut : &kDirectPut; }

int RecoverFromJournal() {
  char path[kLongTextSize];
  JournalPath(path, sizeof path);
  PlatformFile file = Os->OpenFileForRead(path);
  if (file == nullptr) return 1;
  uint32_t size = 0, got = 0;
  char* text = nullptr;
  bool read = Os->FileSize(file, &size) && size <= kJournalLimit &&
              (text = static_cast<char*>(Os->Alloc(size + 1, 0))) != nullptr &&
              Os->ReadFileBytes(file, text, size, &got) && got == size;
  Os->CloseFile(file);
  bool whole = read && JournalIsWhole(text, size);
  if (whole) text[size] = '\0';
  // A journal that names anything but the update's own files is none of
  // this updater's: it is neither carried out nor removed, and nothing is said.
  bool ours = whole && JournalStaysInItsPlaces(text, size);
  int ok = 1;
  if (ours) {
    ok = RollBack(text, size) ? 1 : 0;
    ShowUpdaterError(kMsgRolledBack);
  }
  // A journal that is not whole was never carried out: nothing moved.
  if (ok && (ours || !whole)) Os->RemoveFile(path);
  if (text != nullptr) Os->Free(text);
  return ok;
}
