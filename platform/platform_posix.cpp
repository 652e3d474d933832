// The platform layer of the native build (Linux), used by the unit tests and
// the native packing tool. Paths arrive with backslashes; each one that is a
// character of its own in code page 932 becomes a slash. A drive such as "C:"
// stands for the root of the file system when a separator follows it
// (C:\tmp is /tmp), and alone for the current folder's file system.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/text.h"
#include "platform/platform.h"

namespace {

constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

struct NativePath {
  char text[4096];
};

NativePath ToNative(const char* path) {
  NativePath out{};
  size_t n = 0;
  if (path[0] != '\0' && path[1] == ':' && IsPathSeparator(path + 2)) path += 2;  // C:\x is /x
  for (const char* p = path; *p != '\0' && n + 2 < sizeof out.text;) {
    const char* next = NextChar(p);
    if (IsSingleByte(p, '\\')) {
      out.text[n++] = '/';
    } else {
      while (p < next) out.text[n++] = *p++;
    }
    p = next;
  }
  if (n == 2 && out.text[1] == ':') n = 0;  // "C:" alone: the current drive
  if (n == 0) out.text[n++] = '.';
  out.text[n] = '\0';
  return out;
}

int FdOf(PlatformFile file) { return int(reinterpret_cast<intptr_t>(file)) - 1; }
PlatformFile FileOf(int fd) { return reinterpret_cast<PlatformFile>(intptr_t(fd) + 1); }

PlatformFile PosixCreateTempFileBeside(const char* near_path, char* temp_path) {
  NativePath native = ToNative(near_path);
  const char* slash = strrchr(native.text, '/');
  size_t folder = slash ? size_t(slash - native.text + 1) : 0;
  char pattern[4200];
  snprintf(pattern, sizeof pattern, "%.*s%s00XXXXXX%s", int(folder), native.text, kTemporaryPrefix, kTemporarySuffix);
  int fd = mkstemps(pattern, int(strlen(kTemporarySuffix)));
  if (fd < 0) return nullptr;
  // The path in the caller's own form: its folder as given, the name made here.
  size_t given = 0;
  for (const char* p = near_path; *p != '\0'; p = NextChar(p))
    if (IsPathSeparator(p)) given = size_t(p - near_path) + 1;
  const char* name = pattern + folder;
  if (given + strlen(name) >= kPlatformTextSize) {
    close(fd);
    unlink(pattern);
    return nullptr;
  }
  memcpy(temp_path, near_path, given);
  CopyText(temp_path + given, kPlatformTextSize - given, name);
  return FileOf(fd);
}

PlatformFile PosixOpenFileForRead(const char* path) {
  int fd = open(ToNative(path).text, O_RDONLY);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  return FileOf(fd);
}

int PosixWriteFile(PlatformFile file, const void* data, uint32_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(FdOf(file), p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    p += n;
    size -= uint32_t(n);
  }
  return 1;
}

int PosixReadFile(PlatformFile file, void* data, uint32_t size, uint32_t* read_bytes) {
  uint32_t total = 0;
  while (total < size) {
    ssize_t n = read(FdOf(file), static_cast<char*>(data) + total, size - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return 0;
    if (n == 0) break;
    total += uint32_t(n);
  }
  *read_bytes = total;
  return 1;
}

int PosixReadFileAt(PlatformFile file, uint64_t offset, void* buffer, uint32_t size, uint32_t* got) {
  uint32_t total = 0;
  while (total < size) {
    ssize_t n = pread(FdOf(file), static_cast<char*>(buffer) + total, size - total, off_t(offset + total));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return 0;
    if (n == 0) break;
    total += uint32_t(n);
  }
  *got = total;
  return 1;
}

int PosixGetFileSize(PlatformFile file, uint32_t* size) {
  struct stat st;
  if (fstat(FdOf(file), &st) != 0 || st.st_size > 0xFFFFFFFFll) return 0;
  *size = uint32_t(st.st_size);
  return 1;
}

int PosixGetLastWriteTime(PlatformFile file, uint64_t* time) {
  struct stat st;
  if (fstat(FdOf(file), &st) != 0) return 0;
  *time = uint64_t(st.st_mtim.tv_sec) * 10000000ull + uint64_t(st.st_mtim.tv_nsec) / 100 + kUnixEpochAsFileTime;
  return 1;
}

int PosixSetFileTimes(PlatformFile file, uint64_t time) {
  // Linux keeps no settable creation time; access and modification get it.
  if (time < kUnixEpochAsFileTime) return 0;
  uint64_t since = time - kUnixEpochAsFileTime;
  struct timespec times[2];
  times[0].tv_sec = time_t(since / 10000000ull);
  times[0].tv_nsec = long(since % 10000000ull) * 100;
  times[1] = times[0];
  return futimens(FdOf(file), times) == 0;
}

void PosixCloseFile(PlatformFile file) { close(FdOf(file)); }

int PosixFlushFile(PlatformFile file) { return fsync(FdOf(file)) == 0; }

int PosixCommitFile(PlatformFile file, const char* temp_path, const char* to, const uint64_t* time) {
  NativePath dst = ToNative(to);
  struct stat st;
  int ok = !(stat(dst.text, &st) == 0 && S_ISDIR(st.st_mode)) && rename(ToNative(temp_path).text, dst.text) == 0;
  if (ok && time != nullptr) PosixSetFileTimes(file, *time);
  close(FdOf(file));
  return ok;
}

int PosixDeleteFile(const char* path) { return unlink(ToNative(path).text) == 0; }

PlatformFile PosixOpenFileForMove(const char* path) {
  int fd = open(ToNative(path).text, O_RDONLY | O_CLOEXEC);
  return fd < 0 ? nullptr : FileOf(fd);
}

int PosixRemoveFolder(const char* path) {
  NativePath native = ToNative(path);
  struct stat st;
  if (lstat(native.text, &st) == 0 && S_ISLNK(st.st_mode)) return unlink(native.text) == 0;
  return rmdir(native.text) == 0;
}

uint32_t PosixGetAttributes(const char* path) {
  struct stat st;
  if (stat(ToNative(path).text, &st) != 0) return kInvalidAttributes;
  if (S_ISDIR(st.st_mode)) return kAttrDirectory;
  return (st.st_mode & S_IWUSR) ? kAttrNormal : kAttrReadOnly;
}

int PosixSetAttributes(const char* path, uint32_t attributes) {
  NativePath native = ToNative(path);
  struct stat st;
  if (stat(native.text, &st) != 0) return 0;
  mode_t mode = st.st_mode & 07777;
  mode = (attributes & kAttrReadOnly) ? (mode & ~mode_t(0222)) : (mode | S_IWUSR);
  return chmod(native.text, mode) == 0;
}

int PosixCreateFolder(const char* path) { return mkdir(ToNative(path).text, 0777) == 0; }

// Only its owner can enter it; the name's 64 bits come from the system's
// random source.
int PosixCreatePrivateFolder(const char* parent, const char* prefix, char* path) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    uint8_t bytes[8];
    if (getentropy(bytes, sizeof bytes) != 0) return 0;
    char name[kPlatformTextSize];
    PrivateFolderName(prefix, bytes, name, sizeof name);
    CopyText(path, kPlatformTextSize, parent);
    if (!AppendPathComponent(path, kPlatformTextSize, name)) return 0;
    if (mkdir(ToNative(path).text, 0700) == 0) return 1;
    if (errno != EEXIST) return 0;
  }
  return 0;
}

// The access of a file here is its own mode bits, whichever folder it is in.
int PosixTakeFolderAccess(const char*) { return 1; }

int PosixIsThisMachine(const char* server) {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return TextEqualNoCase(server, "localhost") || strncmp(server, "127.", 4) == 0 || strcmp(server, "::1") == 0 ||
         TextEqualNoCase(server, host);
}

// A symbolic link stands for the system's links here; root's are an
// administrator's. Names are the system's bytes, taken as they are.
LinkKind PosixLinkAt(const char* path) {
  struct stat st;
  if (lstat(ToNative(path).text, &st) != 0 || !S_ISLNK(st.st_mode)) return kNoLink;
  return st.st_uid == 0 ? kAdministratorsLink : kOtherLink;
}

int PosixListFolder(const char* folder, FolderVisitor visit, void* context) {
  NativePath native = ToNative(folder);
  DIR* dir = opendir(native.text);
  if (dir == nullptr) return 0;
  while (struct dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    char path[sizeof native.text + sizeof entry->d_name + 2];
    snprintf(path, sizeof path, "%s/%s", native.text, entry->d_name);
    struct stat st;
    bool is_folder = stat(path, &st) == 0 && S_ISDIR(st.st_mode);
    visit(context, entry->d_name, is_folder, PosixLinkAt(path));
  }
  closedir(dir);
  return 1;
}

int PosixTouchLastWriteTime(const char* path) {
  struct stat st;
  NativePath native = ToNative(path);
  if (stat(native.text, &st) != 0 || S_ISDIR(st.st_mode)) return 0;
  struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
  return utimensat(AT_FDCWD, native.text, times, 0) == 0;
}

void PosixRefreshWindow(PlatformWindow) {}  // no windows here

uint32_t PosixMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return uint32_t(uint64_t(now.tv_sec) * 1000u + uint64_t(now.tv_nsec) / 1000000u);
}

int PosixFreeSpace(const char* root, uint64_t* free_to_caller, uint64_t* total, uint64_t* total_free) {
  struct statvfs vfs;
  if (statvfs(ToNative(root).text, &vfs) != 0) return 0;
  *free_to_caller = uint64_t(vfs.f_bavail) * vfs.f_frsize;
  *total = uint64_t(vfs.f_blocks) * vfs.f_frsize;
  *total_free = uint64_t(vfs.f_bfree) * vfs.f_frsize;
  return 1;
}

void* PosixAlloc(uint32_t size, int zero) { return zero ? calloc(1, size ? size : 1) : malloc(size ? size : 1); }
void PosixFree(void* block) { free(block); }

int PosixMessageBox(PlatformWindow, const char* text, const char* caption, uint32_t) {
  fprintf(stderr, "[%s] %s\n", caption, text);
  return kAnswerOk;
}

// The native build has no updater program: no resources, registry, windows
// or drives. These answer as a system without them would.
void PosixInitComponents() {}
int PosixLoadUpdateResource(void*, int, const uint8_t**, uint32_t*) { return 0; }
RegistryKey PosixOpenUserKey(const char*) { return nullptr; }
int PosixQueryValue(RegistryKey, const char*, void*, uint32_t) { return 0; }
void PosixCloseKey(RegistryKey) {}
PlatformWindow PosixFindTopWindow(const char*, const char*) { return nullptr; }
void PosixBringToFront(PlatformWindow) {}
intptr_t PosixRunDialog(int, DialogProcedure) { return -1; }
void PosixEndWizardDialog(PlatformWindow, intptr_t) {}
void PosixSetCaption(PlatformWindow, const char*) {}
void PosixSetItemText(PlatformWindow, int, const char*) {}
void PosixEnableItem(PlatformWindow, int, int) {}
void PosixShowItem(PlatformWindow, int, int) {}
void PosixCheckRadio(PlatformWindow, int, int, int) {}
void PosixFocusItem(PlatformWindow, int) {}
void PosixSetCursorShape(CursorShape) {}
uint32_t PosixDriveType(const char*) { return 0; }
uint32_t PosixQuietDriveErrors() { return 0; }
void PosixRestoreDriveErrors(uint32_t) {}
ShellCopyResult PosixShellCopy(PlatformWindow, const char*, const char*, ShellCopyKind) { return {1, 0}; }

const PlatformApi kPosixPlatform = {
    .CreateTempFileBeside = PosixCreateTempFileBeside,
    .OpenFileForRead = PosixOpenFileForRead,
    .WriteFileBytes = PosixWriteFile,
    .ReadFileBytes = PosixReadFile,
    .ReadFileAt = PosixReadFileAt,
    .FileSize = PosixGetFileSize,
    .GetLastWriteTime = PosixGetLastWriteTime,
    .SetFileTimes = PosixSetFileTimes,
    .CloseFile = PosixCloseFile,
    .FlushFile = PosixFlushFile,
    .CommitFile = PosixCommitFile,
    .OpenFileForMove = PosixOpenFileForMove,
    .RemoveFile = PosixDeleteFile,
    .GetAttributes = PosixGetAttributes,
    .SetAttributes = PosixSetAttributes,
    .CreateFolder = PosixCreateFolder,
    .CreatePrivateFolder = PosixCreatePrivateFolder,
    .TakeFolderAccess = PosixTakeFolderAccess,
    .RemoveFolder = PosixRemoveFolder,
    .LinkAt = PosixLinkAt,
    .ListFolder = PosixListFolder,
    .TouchLastWriteTime = PosixTouchLastWriteTime,
    .IsThisMachine = PosixIsThisMachine,
    .FreeSpace = PosixFreeSpace,
    .Alloc = PosixAlloc,
    .Free = PosixFree,
    .ShowMessageBox = PosixMessageBox,
    .InitComponents = PosixInitComponents,
    .LoadUpdateResource = PosixLoadUpdateResource,
    .OpenUserKey = PosixOpenUserKey,
    .QueryValue = PosixQueryValue,
    .CloseKey = PosixCloseKey,
    .FindTopWindow = PosixFindTopWindow,
    .BringToFront = PosixBringToFront,
    .RunDialog = PosixRunDialog,
    .EndWizardDialog = PosixEndWizardDialog,
    .SetCaption = PosixSetCaption,
    .SetItemText = PosixSetItemText,
    .EnableItem = PosixEnableItem,
    .ShowItem = PosixShowItem,
    .CheckRadio = PosixCheckRadio,
    .FocusItem = PosixFocusItem,
    .SetCursorShape = PosixSetCursorShape,
    .RefreshWindow = PosixRefreshWindow,
    .Milliseconds = PosixMilliseconds,
    .DriveType = PosixDriveType,
    .QuietDriveErrors = PosixQuietDriveErrors,
    .RestoreDriveErrors = PosixRestoreDriveErrors,
    .ShellCopy = PosixShellCopy,
};

}  // namespace

const PlatformApi* NativePlatform() { return &kPosixPlatform; }
const PlatformApi* Os = &kPosixPlatform;
