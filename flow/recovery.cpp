#include "flow/recovery.h"

#include <cstring>

#include "common/text.h"
#include "common/update_state.h"
#include "platform/platform.h"

namespace {

struct Walk {
  char path[kLongTextSize];
  int depth;  // 1 while the folder the walk started from is listed
  bool ok;
};

// Appends "\name" to walk->path; false when it does not fit.
bool Enter(Walk* walk, const char* name) {
  return AppendText(walk->path, sizeof walk->path, "\\") && AppendText(walk->path, sizeof walk->path, name);
}

bool EndsWith(const char* text, const char* end) {
  size_t n = strlen(text), m = strlen(end);
  return n > m && strcmp(text + n - m, end) == 0;
}

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
  if (name[0] == '\0' || link == kOtherLink) return;  // none of ours; never followed
  size_t length = strlen(walk->path);
  if (Enter(walk, name)) {
    if (is_folder && walk->depth == 1 && link == kNoLink && strcmp(name, kStagingFolderName) == 0) {
      RemoveTree(walk->path);
    } else if (is_folder) {
      RepairFolder(walk);
    } else if (IsTemporaryName(name)) {
      Os->RemoveFile(walk->path);
    } else if (EndsWith(name, kBackupSuffix)) {
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

void RepairUnder(const char* folder) {
  if (folder[0] == '\0') return;
  Walk walk = {};
  CopyText(walk.path, sizeof walk.path, folder);
  size_t n = strlen(walk.path);
  if (n > 0 && IsPathSeparator(walk.path + n - 1)) walk.path[n - 1] = '\0';  // C:\ stays C:
  RepairFolder(&walk);
}

}  // namespace

bool IsTemporaryName(const char* name) {
  size_t n = strlen(name);
  return n == kTemporaryNameSize && strncmp(name, kTemporaryPrefix, strlen(kTemporaryPrefix)) == 0 &&
         strcmp(name + n - strlen(kTemporarySuffix), kTemporarySuffix) == 0;
}

bool RemoveTree(const char* path, int depth) {
  if (depth > kDeepestFolder) return false;
  Walk walk = {};
  CopyText(walk.path, sizeof walk.path, path);
  walk.depth = depth;
  walk.ok = true;
  if (!Os->ListFolder(walk.path, VisitForRemoval, &walk)) return Os->GetAttributes(path) == kInvalidAttributes;
  return walk.ok && Os->RemoveFolder(path);
}

void RepairInterruptedRun() {
  RepairUnder(UpdateState.InstPath);
  // The data folder may be the player's Documents: only the update's own
  // folder in it is looked through.
  char data[kLongTextSize];
  CopyText(data, sizeof data, UpdateState.DataPath);
  if (data[0] != '\0' && UpdateState.DataFolder[0] != '\0' && PathStaysInside(UpdateState.DataFolder) &&
      !(AppendText(data, sizeof data, "\\") && AppendText(data, sizeof data, UpdateState.DataFolder)))
    return;
  RepairUnder(data);
}
