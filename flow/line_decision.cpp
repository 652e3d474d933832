#include "flow/line_decision.h"

#include <cstring>

#include "archive/delta_entry.h"
#include "archive/file_output.h"
#include "archive/payload_archive.h"
#include "archive/payload_checksum.h"
#include "common/error_box.h"
#include "common/messages.h"
#include "common/text.h"
#include "flow/file_update.h"
#include "flow/placement.h"
#include "platform/link_guard.h"
#include "platform/platform.h"
#include "settings/settings_readers.h"
#include "settings/update_script.h"

namespace {

bool IsFile(uint32_t attributes) { return attributes != kInvalidAttributes && !(attributes & kAttrDirectory); }
bool IsFolder(uint32_t attributes) { return attributes != kInvalidAttributes && (attributes & kAttrDirectory); }

// Where the part of a path under `base` begins: after the base and the one
// separator that a join puts after it.
int32_t RelativeStart(const char* base) {
  char joined[kPathSize + 2];
  CopyText(joined, sizeof joined, base);
  return AppendPathComponent(joined, sizeof joined, "") ? int32_t(strlen(joined)) : int32_t(strlen(base));
}

void Decide(LineDecision* decision, LineVerb verb, LineWhy why) {
  decision->Verb = verb;
  decision->Why = why;
}

// Whether the folder that will hold `path` is there, or is the data folder
// that the line makes first.
bool FolderOfTargetIsThere(const LineDecision& decision) {
  char folder[kPathSize + 1];
  CopyText(folder, sizeof folder, decision.Target);
  const char* name = LastPathComponent(folder);
  if (name == folder) return true;  // a target without a folder: its own base
  folder[name - folder - 1] = '\0';
  uint32_t attributes = Os->GetAttributes(folder);
  if (IsFolder(attributes)) return true;
  if (attributes != kInvalidAttributes || decision.Folder[0] == '\0') return false;
  // The data folder is made by the line itself, before its file is written.
  char made[kPathSize + 1];
  CopyText(made, sizeof made, decision.Folder);
  size_t length = strlen(made);
  if (length > 0 && made[length - 1] == '\\' && LastPathComponent(made) == made + length) made[length - 1] = '\0';
  return strcmp(made, folder) == 0;
}

}  // namespace

bool LineAppliesToMode(int has_mode, uint32_t mode) { return !has_mode || mode == UpdateState.InstMode; }

namespace {

// The size and XXH64 of the file at `path`, read in a fixed buffer. False
// when it cannot be read.
uint8_t g_hash_buffer[64 * 1024];
bool HashOfFile(const char* path, uint64_t* size, uint64_t* hash) {
  PlatformFile file = Os->OpenFileForRead(path);
  if (file == nullptr) return false;
  Xxh64State state;
  Xxh64Reset(&state, 0);
  uint64_t at = 0;
  bool ok = true;
  for (;;) {
    uint32_t got = 0;
    if (!Os->ReadFileAt(file, at, g_hash_buffer, sizeof g_hash_buffer, &got)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    Xxh64Update(&state, g_hash_buffer, got);
    at += got;
  }
  Os->CloseFile(file);
  *size = at;
  *hash = Xxh64Digest(&state);
  return ok;
}

// A delta entry's write, by what the player's file holds: the new bytes
// already (a run after an interrupted one), the previous release's (the
// delta makes the new file from them), or anything else, which no delta can
// make new. A damaged head or a file that cannot be read goes on to the
// write, which fails with its own message.
void DecideDelta(const ArchiveEntryInfo& entry, LineDecision* decision) {
  uint64_t old_hash = 0, new_hash = 0, old_size = 0, size = 0, hash = 0;
  if (!DeltaEntryHashes(decision->EntryIndex, &old_hash, &new_hash, &old_size))
    return Decide(decision, kVerbReplace, kWhyPatched);
  if (decision->TargetAttributes == kInvalidAttributes) return Decide(decision, kVerbFail, kWhyOtherRelease);
  if (!HashOfFile(decision->Target, &size, &hash)) return Decide(decision, kVerbReplace, kWhyPatched);
  if (size == entry.Size && hash == new_hash) return Decide(decision, kVerbKeep, kWhyAlreadyNew);
  if (size == old_size && hash == old_hash) return Decide(decision, kVerbReplace, kWhyPatched);
  Decide(decision, kVerbFail, kWhyOtherRelease);
}

// The write of entry `index` (already in decision->EntryIndex, described
// by `entry`) to decision->Target.
void DecideWriteOf(const ArchiveEntryInfo& entry, int keep_newer, LineDecision* decision) {
  decision->Bytes = entry.Size;
  decision->EntryTime = entry.FileTime;
  // Free space on the target's drive, for this entry alone. When the drive
  // cannot tell its free space (a network path, a path without a drive
  // letter) the write is tried anyway: a full disk then makes the write fail
  // cleanly, and the file already there is never damaged.
  DriveOf(decision->Target, decision->Root);
  uint64_t free_bytes = 0, total = 0;
  if (QueryFreeSpace(decision->Root, &free_bytes, &total, nullptr) && uint64_t(entry.Size) > free_bytes) {
    decision->FreeBytes = free_bytes;
    return Decide(decision, kVerbFail, kWhyNoSpace);
  }
  decision->TargetAttributes = Os->GetAttributes(decision->Target);
  if (IsFolder(decision->TargetAttributes)) return Decide(decision, kVerbFail, kWhyFolderInPlace);
  if (keep_newer && decision->TargetAttributes != kInvalidAttributes) {
    PlatformFile existing = Os->OpenFileForRead(decision->Target);
    if (existing != nullptr) {
      bool known = Os->GetLastWriteTime(existing, &decision->TargetTime);
      Os->CloseFile(existing);
      if (known && decision->TargetTime > entry.FileTime) return Decide(decision, kVerbKeep, kWhyNewer);
    }
  }
  // A folder on the way that does not exist makes the write fail, unless
  // the line makes the folders of its files.
  if (decision->TargetAttributes == kInvalidAttributes && !decision->MakesFolders &&
      !FolderOfTargetIsThere(*decision))
    return Decide(decision, kVerbFail, kWhyNoFolder);
  // The elevated updater writes through no link that a player's program
  // made (platform/link_guard.h): the write would be refused.
  if (PathHasForeignLink(decision->Target)) return Decide(decision, kVerbFail, kWhyForeignLink);
  if (EntryMethod(entry.Flags) == kEntryMethodDelta) return DecideDelta(entry, decision);
  Decide(decision, decision->TargetAttributes == kInvalidAttributes ? kVerbNew : kVerbReplace, kWhyWritten);
}

// Whether `script_key` of section "SETUP" names `name`.
bool ScriptNames(const char* script_key, const char* name) {
  char value[kPathSize];
  return ReadScriptValue("SETUP", script_key, value, sizeof value) && TextEqualNoCase(value, name);
}

// Whether a removal of `removed` (a folder's with its separator) would take
// `data_target`, a DataFile line's target (a folder line's with its
// separator), or a file in it, away.
bool TakesAway(const char* removed, const char* data_target) {
  return TextEqualNoCase(removed, data_target) || (IsFolderPath(removed) && TextStartsWithNoCase(data_target, removed)) ||
         (IsFolderPath(data_target) && TextStartsWithNoCase(removed, data_target));
}

// A removal line: its file or folder below InstPath (and DataFolder) goes.
void DecideRemoval(const UpdateItem& item, LineDecision* decision) {
  if (!TargetOfUpdateItem(item, decision)) return;
  decision->Folder[0] = '\0';  // a removal makes no folder
  // The line names something below its base, never the base itself.
  char name[kPathSize];
  CopyText(name, sizeof name, item.Path);
  if (item.Folder) name[strlen(name) - 1] = '\0';
  if (name[0] == '\0' || strcmp(name, ".") == 0) return Decide(decision, kVerbFail, kWhyOutside);
  if (AnyDataFileTarget([](void* removed, char* target) { return TakesAway(static_cast<const char*>(removed), target); },
                        decision->Target))
    return Decide(decision, kVerbFail, kWhyHoldsData);
  if (item.Folder) decision->Target[strlen(decision->Target) - 1] = '\0';
  uint32_t attributes = Os->GetAttributes(decision->Target);
  decision->TargetAttributes = attributes;
  if (attributes == kInvalidAttributes) return Decide(decision, kVerbSkip, kWhyGone);
  if (item.Folder != IsFolder(attributes)) return Decide(decision, kVerbFail, kWhyOtherKind);
  // A link in the target's place goes as a link; one on the way would
  // turn the removal elsewhere.
  char folder[kPathSize + 1];
  CopyText(folder, sizeof folder, decision->Target);
  folder[LastPathComponent(folder) - folder] = '\0';
  if (PathHasForeignLink(folder)) return Decide(decision, kVerbFail, kWhyForeignLink);
  Decide(decision, kVerbRemove, kWhyRemoved);
}

}  // namespace

void DecideEntryWrite(const char* name, int keep_newer, LineDecision* decision) {
  ArchiveEntryInfo entry{};
  if (!FindArchiveEntry(name, &decision->EntryIndex, &entry)) return Decide(decision, kVerbFail, kWhyNoEntry);
  DecideWriteOf(entry, keep_newer, decision);
}

bool FileOfFolderLine(const UpdateItem& line, uint32_t entry, UpdateItem* file) {
  ArchiveEntryInfo info{};
  if (!GetArchiveEntryInfo(entry, &info)) return false;
  // ".\" is the whole update; any other folder, what lies below it.
  bool root = strcmp(line.Path, ".\\") == 0;
  if (!root && !(TextStartsWithNoCase(info.Name, line.Path) && info.Name[strlen(line.Path)] != '\0')) return false;
  if (TextEqualNoCase(info.Name, kScriptEntryName) || ScriptNames("AgreementText", info.Name) ||
      ScriptNames("AgreementTitle", info.Name))
    return false;
  *file = {};
  file->Kind = line.Kind;
  CopyText(file->Path, sizeof file->Path, info.Name);
  file->NameOffset = EntryNameOffset(file->Path);
  file->FromFolderLine = 1;
  file->Entry = entry;
  return true;
}

bool TargetOfUpdateItem(const UpdateItem& item, LineDecision* decision) {
  *decision = {};
  decision->TargetAttributes = kInvalidAttributes;
  decision->DataBase = item.Kind == DataFile;
  const char* base = decision->DataBase ? UpdateState.DataPath : UpdateState.InstPath;
  // A target stays inside its base folder: a path with "..", a drive or a
  // leading separator fails as a write that cannot be made.
  if (!PathStaysInside(UpdateState.DataFolder) || !PathStaysInside(item.Path)) {
    Decide(decision, kVerbFail, kWhyOutside);
    return false;
  }
  if (base[0] == '\0') {  // a data folder whose path did not fit
    Decide(decision, kVerbFail, kWhyNoBase);
    return false;
  }
  // A target of up to 259 bytes, with the second NUL of the join after it.
  char* target = decision->Target;
  CopyText(target, sizeof decision->Target, base);
  decision->RelativeAt = RelativeStart(base);
  bool fits = AppendPathComponent(target, sizeof decision->Target, UpdateState.DataFolder);
  // This one level is made, whatever the rest of the line does; it may well
  // exist (with an empty DataFolder it is the base folder itself).
  if (fits) CopyText(decision->Folder, sizeof decision->Folder, target);
  if (!fits || !AppendPathComponent(target, sizeof decision->Target, item.Path)) {
    Decide(decision, kVerbFail, kWhyTooLong);
    return false;
  }
  return true;
}

bool AnyDataFileTarget(bool (*visit)(void* context, char* target), void* context) {
  for (int i = 0; i < UpdateState.UpdateItemCount; ++i) {
    LineDecision line;
    if (UpdateState.UpdateItems[i].Kind == DataFile && TargetOfUpdateItem(UpdateState.UpdateItems[i], &line) &&
        visit(context, line.Target))
      return true;
  }
  return false;
}

void DecideUpdateItem(const UpdateItem& item, int overwrite_only, LineDecision* decision) {
  if (item.Kind == Removal) return DecideRemoval(item, decision);
  if (!TargetOfUpdateItem(item, decision)) return;
  if (item.Folder) return Decide(decision, kVerbFail, kWhyEmptyFolder);  // a folder line that found no file
  const char* target = decision->Target;
  uint32_t attributes = Os->GetAttributes(target);
  decision->TargetAttributes = attributes;
  if ((overwrite_only || item.Kind == ExistingOnly) && !IsFile(attributes))
    return Decide(decision, kVerbSkip, kWhyNoTarget);
  // A DataFile target that exists is the player's own: it keeps its content
  // whatever happens. Only a target that does not exist is written from the
  // archive (a folder in its place fails as any write would).
  if (item.Kind == DataFile && IsFile(attributes)) return Decide(decision, kVerbKeep, kWhyPlayersData);
  decision->MakesFolders = item.FromFolderLine;
  // A folder line's file has its entry; a file line's is the entry of its
  // whole path, or else (as in every update made before trees) of its last
  // component.
  ArchiveEntryInfo entry{};
  bool found = item.FromFolderLine ? GetArchiveEntryInfo(item.Entry, &entry) != 0
                                   : FindArchiveEntry(item.Path, &decision->EntryIndex, &entry) ||
                                         FindArchiveEntry(item.Path + item.NameOffset, &decision->EntryIndex, &entry);
  if (!found) return Decide(decision, kVerbFail, kWhyNoEntry);
  if (item.FromFolderLine) decision->EntryIndex = item.Entry;
  DecideWriteOf(entry, item.Kind == IfNewer, decision);
}

namespace {

// The entry of a line that got past the free-space test. A line that writes
// streams it into a temporary file beside the target (a damaged entry fails
// the line with its box, and the target is untouched); a read-only file
// there then loses the attribute and the file goes through the run's put.
// Every other line has its entry decoded to nothing first, so that a damaged
// entry fails it with its box all the same; then, as before, a read-only
// file there (one the time rule keeps, too) loses the attribute.
// A delta's file is made the same way from the player's file, which stays
// open for reading until the new one is made.
int CarryOutEntry(const LineDecision& decision) {
  bool read_only = decision.TargetAttributes != kInvalidAttributes && (decision.TargetAttributes & kAttrReadOnly);
  if (decision.Why == kWhyWritten || decision.Why == kWhyPatched) {
    char temp[kPlatformTextSize];
    auto step = [](void*, uint64_t done, uint64_t total) { RunWriting(done, total); };
    PlatformFile file = nullptr;
    if (decision.Why == kWhyWritten) {
      file = WriteEntryBeside(decision.EntryIndex, decision.Target, &decision.EntryTime, temp, step, nullptr);
    } else if (PlatformFile old_file = Os->OpenFileForRead(decision.Target)) {
      file = WriteDeltaEntryBeside(decision.EntryIndex, old_file, decision.Target, &decision.EntryTime, temp, step,
                                   nullptr);
      Os->CloseFile(old_file);
    }
    if (file == nullptr) return 0;
    if (read_only) CurrentPut()->MakeWritable(decision.Target, 0);
    return CurrentPut()->File(file, temp, decision.Target, &decision.EntryTime, decision.DataBase);
  }
  if (!CheckArchiveEntryAt(decision.EntryIndex)) return 0;
  if (decision.Why != kWhyFolderInPlace && read_only)
    CurrentPut()->MakeWritable(decision.Target, decision.Why == kWhyNewer);
  return decision.Why == kWhyNewer;
}

// Makes `folder` when it is missing, and tells the run's put.
void MakeFolder(void*, const char* folder) {
  if (Os->GetAttributes(folder) == kInvalidAttributes && Os->CreateFolder(folder)) CurrentPut()->FolderMade(folder);
}

}  // namespace

int CarryOutUpdateItem(const LineDecision& decision) {
  if (decision.Folder[0] != '\0' && Os->CreateFolder(decision.Folder)) CurrentPut()->FolderMade(decision.Folder);
  // A folder line's file: the folders between the data folder and the file
  // (a failure shows as the file's).
  if (decision.MakesFolders && decision.Why == kWhyWritten)
    ForEachFolderOnTheWay(decision.Folder, decision.Target, MakeFolder, nullptr);
  switch (decision.Why) {
    case kWhyRemoved:
      return CurrentPut()->Remove(decision.Target, (decision.TargetAttributes & kAttrDirectory) != 0,
                                  decision.TargetAttributes);
    case kWhyEmptyFolder: ShowUpdaterError(kMsgNoEntry); return 0;
    case kWhyPlayersData:
      CurrentPut()->Touch(decision.Target);  // the file keeps its content and takes the run's time
      return 1;
    case kWhyAlreadyNew: return 1;  // what the update makes is there already
    case kWhyOtherRelease:
      ShowUpdaterErrorF(kMsgOtherRelease, UpdateState.GameTitle, decision.Target + decision.RelativeAt);
      return 0;
    case kWhyWritten:
    case kWhyPatched:
    case kWhyNewer:
    case kWhyFolderInPlace:
    case kWhyNoFolder:
    case kWhyForeignLink: return CarryOutEntry(decision);
    case kWhyNoEntry: ShowUpdaterError(kMsgNoEntry); return 0;
    case kWhyNoSpace:
      ShowUpdaterErrorF(kMsgDiskShortForEntry, decision.Root, uint64_t(decision.Bytes) - decision.FreeBytes);
      return 0;
    default: return decision.Verb != kVerbFail;  // skipped lines do nothing; the rest fail without a box
  }
}

int ExtractArchiveEntry(const char* name, const char* path, int keep_newer_file) {
  LineDecision decision = {};
  decision.TargetAttributes = kInvalidAttributes;
  CopyText(decision.Target, sizeof decision.Target, path);
  DecideEntryWrite(name, keep_newer_file, &decision);
  return CarryOutUpdateItem(decision);
}

bool CheckCopyLine(const DiscCopyItem& item, LineDecision* decision) {
  *decision = {};
  decision->TargetAttributes = kInvalidAttributes;
  decision->RelativeAt = RelativeStart(UpdateState.InstPath);
  // The copy lands under InstPath by the line's path: it must stay there.
  if (!PathStaysInside(item.Path)) {
    Decide(decision, kVerbFail, kWhyOutside);
    return false;
  }
  // Only 1 to 9 name a disc; a line whose disc character is no digit would
  // index past the check files, so it fails as a copy.
  if (item.DiscNumber < 0 || item.DiscNumber > 9) {
    Decide(decision, kVerbFail, kWhyBadDisc);
    return false;
  }
  return true;
}

void DecideCopySource(const DiscCopyItem& item, const char* disc_root, LineDecision* decision) {
  // A line without a disc number before any line with one has no drive to
  // copy from; it never copies from the root of the current drive.
  if (disc_root[0] == '\0') return Decide(decision, kVerbFail, kWhyNoDiscYet);
  CopyText(decision->Source, sizeof decision->Source, disc_root);
  if (!AppendPathComponent(decision->Source, sizeof decision->Source, item.Path))
    return Decide(decision, kVerbFail, kWhyTooLong);
  // A file goes to the same path under InstPath; a folder, or a source that
  // cannot be examined (the shell is asked all the same, and fails when
  // nothing is there), into InstPath under its last name.
  uint32_t attributes = Os->GetAttributes(decision->Source);
  bool file = IsFile(attributes);
  CopyText(decision->Target, sizeof decision->Target, UpdateState.InstPath);
  if (!AppendPathComponent(decision->Target, sizeof decision->Target,
                           file ? item.Path : LastPathComponent(decision->Source)))
    return Decide(decision, kVerbFail, kWhyTooLong);
  decision->TargetAttributes = Os->GetAttributes(decision->Target);
  if (attributes == kInvalidAttributes) return Decide(decision, kVerbFail, kWhyNotOnDisc);
  // Each copied file is put in place through no link a player's program
  // made; a folder's files are checked one by one as they are placed.
  if (PathHasForeignLink(decision->Target)) return Decide(decision, kVerbFail, kWhyForeignLink);
  Decide(decision, kVerbCopy, file ? kWhyCopyFile : kWhyCopyFolder);
}
