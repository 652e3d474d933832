#include "flow/recovery.h"

#include <cstring>

#include "common/text.h"
#include "common/update_state.h"
#include "flow/file_update.h"
#include "flow/line_decision.h"
#include "platform/platform.h"

namespace {

struct Walk {
  char path[kLongTextSize];
  int depth;  // 1 while the folder the walk started from is listed
  bool ok;
  bool in_installation;  // the walk started from InstPath
  bool recursive;        // into subfolders
};

// Appends "\name" to walk->path (after C:\ the name alone); false when it
// does not fit.
bool Enter(Walk* walk, const char* name) { return AppendPathComponent(walk->path, sizeof walk->path, name); }

void RepairFolder(Walk* walk);

void VisitForRemoval(void* context, const char* name, int is_folder, LinkKind link) {
  Walk* walk = static_cast<Walk*>(context);
  size_t length = strlen(walk->path);
  if (name[0] == '\0' || !Enter(walk, name)) {
    walk->ok = false;
  } else if (is_folder && link == kNoLink) {
    walk->ok = RemoveTree(walk->path, walk->depth + 1) && walk->ok;
  } else if (is_folder) {
    walk->ok = Os->RemoveFolder(walk->path) && walk->ok;  // the link alone
  } else {
    walk->ok = Os->RemoveFile(walk->path) && walk->ok;
  }
  walk->path[length] = '\0';
}

// Puts the backup at `path` back in its target's place, or removes it when
// the target is a file again.
void RepairBackup(const char* path) {
  char target[kLongTextSize];
  CopyText(target, sizeof target, path);
  target[strlen(target) - strlen(kBackupSuffix)] = '\0';
  uint32_t attributes = Os->GetAttributes(target);
  if (attributes == kInvalidAttributes) {
    PlatformFile file = Os->OpenFileForMove(path);
    if (file != nullptr) Os->CommitFile(file, path, target, nullptr);
  } else if (!(attributes & kAttrDirectory)) {
    Os->RemoveFile(path);  // the replacement completed: this is the version before it
  }
}

void VisitForRepair(void* context, const char* name, int is_folder, LinkKind link) {
  Walk* walk = static_cast<Walk*>(context);
  if (name[0] == '\0') return;
  size_t length = strlen(walk->path);
  if (Enter(walk, name)) {
    bool staging = walk->depth == 1 && walk->in_installation && IsStagingName(name);
    if (staging && link != kNoLink) {
      Os->RemoveFolder(walk->path);  // a link under a staging folder's name, planted: the link itself goes
    } else if (link != kNoLink) {
      // Never followed, whoever made it: what lies beyond is not the update's.
    } else if (staging && is_folder) {
      RemoveTree(walk->path);
    } else if (is_folder) {
      if (walk->recursive) RepairFolder(walk);
    } else if (IsTemporaryName(name)) {
      Os->RemoveFile(walk->path);
    } else if (IsBackupName(name)) {
      RepairBackup(walk->path);
    }
  }
  walk->path[length] = '\0';
}

void RepairFolder(Walk* walk) {
  if (walk->depth >= kDeepestFolder) return;
  ++walk->depth;
  Os->ListFolder(walk->path, VisitForRepair, walk);
  --walk->depth;
}

// Repairs `folder`, with its subfolders when `recursive`. The folder itself
// may be a link that an administrator made (a game moved to another drive);
// one that nobody else made is refused by every operation on the way.
void RepairUnder(const char* folder, bool in_installation, bool recursive) {
  if (folder[0] == '\0') return;
  Walk walk = {};
  CopyText(walk.path, sizeof walk.path, folder);
  walk.in_installation = in_installation;
  walk.recursive = recursive;
  RepairFolder(&walk);
}

}  // namespace

bool IsTemporaryName(const char* name) {
  size_t n = strlen(name);
  return n == kTemporaryNameSize && strncmp(name, kTemporaryPrefix, strlen(kTemporaryPrefix)) == 0 &&
         strcmp(name + n - strlen(kTemporarySuffix), kTemporarySuffix) == 0;
}

bool IsBackupName(const char* name) {
  size_t n = strlen(name), m = strlen(kBackupSuffix);
  return n > m && strcmp(name + n - m, kBackupSuffix) == 0;
}

bool IsStagingName(const char* name) {
  size_t prefix = strlen(kStagingFolderPrefix);
  if (strncmp(name, kStagingFolderPrefix, prefix - 1) != 0) return false;
  if (name[prefix - 1] == '\0') return true;  // the one name of older updaters
  if (name[prefix - 1] != '-' || strlen(name) != prefix + 16) return false;
  for (const char* p = name + prefix; *p != '\0'; ++p)
    if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f'))) return false;
  return true;
}

bool RemoveTree(const char* path, int depth) {
  if (depth > kDeepestFolder) return false;
  if (Os->LinkAt(path) != kNoLink) return Os->RemoveFolder(path);  // the link, not what it leads to
  Walk walk = {};
  CopyText(walk.path, sizeof walk.path, path);
  walk.depth = depth;
  walk.ok = true;
  if (!Os->ListFolder(walk.path, VisitForRemoval, &walk)) return Os->GetAttributes(path) == kInvalidAttributes;
  return walk.ok && Os->RemoveFolder(path);
}

void RepairInterruptedRun() {
  RepairUnder(UpdateState.InstPath, true, true);
  // The data folder may be the player's Documents, or a drive's root: only
  // the update's own folder in it is looked through, or, without one, the
  // folders that the DataFile lines write into, those alone.
  char folder[kLongTextSize];
  CopyText(folder, sizeof folder, UpdateState.DataPath);
  if (folder[0] == '\0' || !PathStaysInside(UpdateState.DataFolder)) return;
  if (UpdateState.DataFolder[0] != '\0') {
    if (AppendPathComponent(folder, sizeof folder, UpdateState.DataFolder)) RepairUnder(folder, false, true);
    return;
  }
  ReadUpdateList();
  for (int i = 0; i < UpdateState.UpdateItemCount; ++i) {
    LineDecision line;
    if (UpdateState.UpdateItems[i].Kind != DataFile || !TargetOfUpdateItem(UpdateState.UpdateItems[i], &line)) continue;
    size_t cut = size_t(LastPathComponent(line.Target) - line.Target);
    if (cut == 0) continue;
    if (cut != 3 || line.Target[1] != ':') --cut;  // C:\ stays C:\, the root; C: is the current folder
    line.Target[cut] = '\0';
    RepairUnder(line.Target, false, false);
  }
}
