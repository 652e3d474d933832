#include "platform/link_guard.h"

#include <cstring>

#include "common/text.h"
#include "common/update_state.h"

namespace {

const PlatformApi* g_inner = nullptr;  // the table the guard passes calls to
PlatformApi g_guarded;

// Where the components of a path begin: after C:\ or \\server\share\, at 0
// for anything else (every component is then examined).
size_t FirstComponent(const char* path) {
  if (path[0] != '\0' && path[1] == ':' && IsPathSeparator(path + 2)) return 3;
  if (!IsPathSeparator(path) || !IsPathSeparator(path + 1)) return 0;
  const char* p = path + 2;
  for (int names = 0; *p != '\0'; p = NextChar(p)) {
    if (IsPathSeparator(p) && ++names == 2) return size_t(p - path) + 1;
  }
  return size_t(p - path);
}

PlatformFile GuardedCreateTempFileBeside(const char* near_path, char* temp_path) {
  return PathHasForeignLink(near_path) ? nullptr : g_inner->CreateTempFileBeside(near_path, temp_path);
}

int GuardedCommitFile(PlatformFile file, const char* temp_path, const char* to, const uint64_t* time) {
  if (PathHasForeignLink(to) || PathHasForeignLink(temp_path)) {
    g_inner->CloseFile(file);  // as a refused commit: the temporary file stays for its caller to remove
    return 0;
  }
  return g_inner->CommitFile(file, temp_path, to, time);
}

// Whether a component of `path` before its last is a link that no
// administrator made. A removal takes the name itself away, a link as a
// link, never what it leads to: the last component may be anything.
bool FolderHasForeignLink(const char* path) {
  char folder[kLongTextSize];
  CopyText(folder, sizeof folder, path);
  const char* name = LastPathComponent(folder);
  if (name == folder) return false;
  folder[name - folder - 1] = '\0';
  return PathHasForeignLink(folder);
}

int GuardedRemoveFile(const char* path) { return !FolderHasForeignLink(path) && g_inner->RemoveFile(path); }

int GuardedSetAttributes(const char* path, uint32_t attributes) {
  return !PathHasForeignLink(path) && g_inner->SetAttributes(path, attributes);
}

int GuardedCreateFolder(const char* path) { return !PathHasForeignLink(path) && g_inner->CreateFolder(path); }

int GuardedRemoveFolder(const char* path) { return !FolderHasForeignLink(path) && g_inner->RemoveFolder(path); }

int GuardedCreatePrivateFolder(const char* parent, const char* prefix, char* path) {
  return !PathHasForeignLink(parent) && g_inner->CreatePrivateFolder(parent, prefix, path);
}

int GuardedTakeFolderAccess(const char* path) { return !PathHasForeignLink(path) && g_inner->TakeFolderAccess(path); }

int GuardedTouchLastWriteTime(const char* path) {
  return !PathHasForeignLink(path) && g_inner->TouchLastWriteTime(path);
}

ShellCopyResult GuardedShellCopy(PlatformWindow owner, const char* from, const char* to, ShellCopyKind kind) {
  if (PathHasForeignLink(to)) return {1, 0};  // as a copy that failed
  return g_inner->ShellCopy(owner, from, to, kind);
}

}  // namespace

bool PathHasForeignLink(const char* path) {
  char prefix[kLongTextSize];
  size_t start = FirstComponent(path);
  for (const char* p = path + start;; p = NextChar(p)) {
    bool end = *p == '\0';
    if (end || IsPathSeparator(p)) {
      size_t length = size_t(p - path);
      if (length > start && !IsPathSeparator(p - 1)) {  // a component ends here
        if (length >= sizeof prefix) return true;
        memcpy(prefix, path, length);
        prefix[length] = '\0';
        if (Os->LinkAt(prefix) == kOtherLink) return true;
      }
    }
    if (end) return false;
  }
}

void GuardAgainstForeignLinks() {
  if (Os == &g_guarded) return;
  g_inner = Os;
  g_guarded = *Os;
  g_guarded.CreateTempFileBeside = GuardedCreateTempFileBeside;
  g_guarded.CommitFile = GuardedCommitFile;
  g_guarded.RemoveFile = GuardedRemoveFile;
  g_guarded.SetAttributes = GuardedSetAttributes;
  g_guarded.CreateFolder = GuardedCreateFolder;
  g_guarded.RemoveFolder = GuardedRemoveFolder;
  g_guarded.CreatePrivateFolder = GuardedCreatePrivateFolder;
  g_guarded.TakeFolderAccess = GuardedTakeFolderAccess;
  g_guarded.TouchLastWriteTime = GuardedTouchLastWriteTime;
  g_guarded.ShellCopy = GuardedShellCopy;
  Os = &g_guarded;
}
