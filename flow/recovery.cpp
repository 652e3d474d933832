#include "flow/recovery.h"

#include <cstring>

#include "common/text.h"
#include "common/update_state.h"
#include "flow/file_update.h"
#include "flow/line_decision.h"
#include "platform/platform.h"

namespace {

struct Walked {
  bool listed;  // the folder could be listed
  bool fits;    // every name fitted
};

void VisitForRemoval(TreeWalk* walk, const char*, int is_folder, LinkKind link) {
  bool removed;
  if (is_folder && link == kNoLink) {
    removed = WalkFolder(walk) && Os->RemoveFolder(walk->path);
  } else if (is_folder) {
    removed = Os->RemoveFolder(walk->path);  // the link alone
  } else {
    removed = Os->RemoveFile(walk->path);
  }
  walk->ok = removed && walk->ok;
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

// Where a repair walk looks: the installation's tree, the data folder's own
// tree, or one folder of a DataFile line alone.
struct RepairPlace {
  bool in_installation;
  bool recursive;
};

void VisitForRepair(TreeWalk* walk, const char* name, int is_folder, LinkKind link) {
  const RepairPlace* place = static_cast<const RepairPlace*>(walk->context);
  bool staging = walk->depth == 1 && place->in_installation && IsStagingName(name);
  if (staging && link != kNoLink) {
    Os->RemoveFolder(walk->path);  // a link under a staging folder's name, planted: the link itself goes
  } else if (link != kNoLink) {
    // Never followed, whoever made it: what lies beyond is not the update's.
  } else if (staging && is_folder) {
    RemoveTree(walk->path);
  } else if (is_folder) {
    if (place->recursive) WalkFolder(walk);
  } else if (IsTemporaryName(name)) {
    Os->RemoveFile(walk->path);
  } else if (IsBackupName(name)) {
    RepairBackup(walk->path);
  }
}

// Repairs `folder`, with its subfolders when `recursive`. The folder itself
// may be a link that an administrator made (a game moved to another drive);
// one that nobody else made is refused by every operation on the way.
void RepairUnder(const char* folder, bool in_installation, bool recursive) {
  if (folder[0] == '\0') return;
  RepairPlace place = {in_installation, recursive};
  TreeWalk walk = {};
  CopyText(walk.path, sizeof walk.path, folder);
  walk.visit = VisitForRepair;
  walk.context = &place;
  WalkFolder(&walk);
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

bool WalkFolder(TreeWalk* walk) {
  if (walk->depth >= kDeepestFolder) return false;
  ++walk->depth;
  Walked walked = {true, true};
  struct Listing {
    TreeWalk* walk;
    Walked* walked;
  } listing = {walk, &walked};
  walked.listed = Os->ListFolder(
      walk->path,
      [](void* context, const char* name, int is_folder, LinkKind link) {
        Listing* l = static_cast<Listing*>(context);
        size_t length = strlen(l->walk->path);
        // A name without a code page 932 form cannot be named again.
        if (name[0] == '\0' || !AppendPathComponent(l->walk->path, sizeof l->walk->path, name)) {
          l->walked->fits = false;
        } else {
          l->walk->visit(l->walk, name, is_folder, link);
        }
        l->walk->path[length] = '\0';
      },
      &listing);
  --walk->depth;
  return walked.listed && walked.fits;
}

bool RemoveTree(const char* path) {
  if (Os->LinkAt(path) != kNoLink) return Os->RemoveFolder(path);  // the link, not what it leads to
  TreeWalk walk = {};
  CopyText(walk.path, sizeof walk.path, path);
  walk.ok = true;
  walk.visit = VisitForRemoval;
  if (!WalkFolder(&walk)) return Os->GetAttributes(path) == kInvalidAttributes;  // nothing was there
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
  AnyDataFileTarget(
      [](void*, char* target) {
        size_t cut = size_t(LastPathComponent(target) - target);
        if (cut == 0) return false;
        if (cut != 3 || target[1] != ':') --cut;  // C:\ stays C:\, the root; C: is the current folder
        target[cut] = '\0';
        RepairUnder(target, false, false);
        return false;  // every line's folder
      },
      nullptr);
}
