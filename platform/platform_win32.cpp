// The Win32 platform layer. Every text crosses this seam in code page 932 and
// is converted explicitly to UTF-16 for the wide functions, so the program
// behaves the same on a Japanese system and on one with any other code page.
#include <windows.h>
#include <winternl.h>
#include <aclapi.h>
#include <objbase.h>
#include <sddl.h>
#include <shellapi.h>

#include <cstddef>
#include <cstring>

#include "common/text.h"
#include "platform/platform.h"
#include "platform/platform_win32.h"

namespace {

constexpr UINT kCodePage = 932;

struct WideText {
  wchar_t text[kPlatformTextSize];
};

// A text in UTF-16; a text that does not fit comes out empty, so that the
// operation using it fails rather than acting on a cut path.
WideText Wide(const char* text) {
  WideText w;
  if (MultiByteToWideChar(kCodePage, 0, text, -1, w.text, kPlatformTextSize) == 0) w.text[0] = L'\0';
  return w;
}

// A path for the wide file calls: made full by the system's own rules ("/"
// and ".." resolved, trailing dots and spaces of names dropped, as every
// call does with a plain path), then given the \\?\ form (\\?\UNC\ for a
// share), so that no call stops at 260 characters: a temporary name beside
// a target of 259 bytes is longer than that. Empty when it does not fit.
WideText WidePath(const char* path) {
  WideText plain = Wide(path), out;
  out.text[0] = L'\0';
  wchar_t full[kPlatformTextSize];
  DWORD n = plain.text[0] != L'\0' ? GetFullPathNameW(plain.text, kPlatformTextSize, full, nullptr) : 0;
  if (n == 0 || n >= kPlatformTextSize) return out;
  const wchar_t* prefix = L"\\\\?\\";
  const wchar_t* rest = full;
  if (full[0] == L'\\' && full[1] == L'\\') {
    if (full[2] == L'?' || full[2] == L'.') {
      prefix = L"";  // already a device or a verbatim path
    } else {
      prefix = L"\\\\?\\UNC\\";
      rest = full + 2;
    }
  }
  if (wcslen(prefix) + wcslen(rest) >= kPlatformTextSize) return out;
  wcscpy(out.text, prefix);
  wcscat(out.text, rest);
  return out;
}

HANDLE HandleOf(PlatformFile file) { return static_cast<HANDLE>(file); }

// Renames and replacements that a virus scanner or an indexer holding the
// file for a moment makes fail: tried again, about two seconds in all,
// before they count as failed. Each error here leaves the files as they
// were, so trying again is safe.
constexpr int kBusyTries = 10;
constexpr DWORD kBusyPause = 200;  // ms

bool Busy(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_UNABLE_TO_REMOVE_REPLACED || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT;
}

// Runs `call` until it succeeds, fails for another reason or has been tried
// kBusyTries times; the last error is the last try's.
template <typename Call>
bool UntilNotBusy(Call call) {
  for (int attempt = 1;; ++attempt) {
    if (call()) return true;
    DWORD error = GetLastError();
    if (attempt == kBusyTries || !Busy(error)) return false;
    Win32Kernel.Sleep(kBusyPause);
    SetLastError(error);
  }
}

// --- DLL search ------------------------------------------------------------
// The updater runs elevated from the player's Downloads folder, where anyone
// can leave a DLL under a system DLL's name. Every DLL it loads must come
// from the system folder.

typedef BOOL(WINAPI* SetDefaultDllDirectoriesProc)(DWORD);

// Whether the system understands the LOAD_LIBRARY_SEARCH_* flags (Windows 8,
// and Windows 7 and Vista with the update KB2533623).
bool g_search_flags = false;

// An entry point of a loaded DLL as a function of its own type.
template <typename Function>
Function EntryPoint(HMODULE module, const char* name) {
  return module ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

// An entry point of kernel32, which every process has loaded, looked up at
// run time: the ones an older Windows lacks are then none instead of a
// program that does not start.
template <typename Function>
Function KernelEntryPoint(const char* name) {
  return EntryPoint<Function>(GetModuleHandleW(L"kernel32.dll"), name);
}

// A system DLL by its full path in the system folder, its own dependencies
// searched from there as well. None when it cannot be loaded.
HMODULE LoadSystemLibrary(const wchar_t* name) {
  if (g_search_flags) return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  wchar_t path[MAX_PATH + 32];
  UINT n = GetSystemDirectoryW(path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH || n + 1 + wcslen(name) >= MAX_PATH + 32) return nullptr;
  path[n] = L'\\';
  wcscpy(path + n + 1, name);
  return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// --- Paths walked by handle ----------------------------------------------------
// The updater runs elevated, and a program of the player's can put a
// junction in any folder the player can write. Looking at a path for links
// and then acting on it by name leaves a moment between the two in which a
// folder on the way can be swapped for a junction (and a program can hold
// that moment open with an opportunistic lock on a file of its own). So
// every operation here that changes the file system walks its path itself:
// it opens the root of the volume or share, then each folder relative to the
// handle of its parent, the name itself and never what a link leads to,
// judges it by that handle, and keeps it open, shared for reading and
// writing but not for deletion, until the operation ends. While the chain is
// held nobody can rename or delete a folder of it, and the operation itself
// is made relative to the last folder's handle: it acts on the very folders
// that were judged.

// The file calls of ntdll, which every process has loaded, looked up at run
// time: the program imports only the system's known DLLs.
typedef LONG(NTAPI* NtCreateFileProc)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG,
                                      ULONG, ULONG, ULONG, PVOID, ULONG);
typedef LONG(NTAPI* NtQueryInformationFileProc)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, int);
typedef LONG(NTAPI* NtSetInformationFileProc)(HANDLE, PVOID, PVOID, ULONG, int);
typedef LONG(NTAPI* NtQueryDirectoryFileProc)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG, int,
                                              BOOLEAN, PUNICODE_STRING, BOOLEAN);
typedef ULONG(NTAPI* RtlNtStatusToDosErrorProc)(LONG);

struct NtFileCalls {
  NtCreateFileProc CreateFile;
  NtQueryInformationFileProc QueryInformationFile;
  NtSetInformationFileProc SetInformationFile;
  NtQueryDirectoryFileProc QueryDirectoryFile;
  RtlNtStatusToDosErrorProc ErrorOfStatus;
};
NtFileCalls g_nt = {};

bool NtCallsFound() {
  if (g_nt.CreateFile == nullptr) {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    g_nt.CreateFile = EntryPoint<NtCreateFileProc>(ntdll, "NtCreateFile");
    g_nt.QueryInformationFile = EntryPoint<NtQueryInformationFileProc>(ntdll, "NtQueryInformationFile");
    g_nt.SetInformationFile = EntryPoint<NtSetInformationFileProc>(ntdll, "NtSetInformationFile");
    g_nt.QueryDirectoryFile = EntryPoint<NtQueryDirectoryFileProc>(ntdll, "NtQueryDirectoryFile");
    g_nt.ErrorOfStatus = EntryPoint<RtlNtStatusToDosErrorProc>(ntdll, "RtlNtStatusToDosError");
  }
  return g_nt.CreateFile != nullptr && g_nt.QueryInformationFile != nullptr && g_nt.SetInformationFile != nullptr &&
         g_nt.QueryDirectoryFile != nullptr && g_nt.ErrorOfStatus != nullptr;
}

// The NTSTATUS values the walk tells apart.
constexpr LONG kStatusSuccess = 0;
constexpr LONG kStatusBufferOverflow = LONG(0x80000005);  // a warning: the fixed part of the answer is there
constexpr LONG kStatusAccessDenied = LONG(0xC0000022);
constexpr LONG kStatusNameNotFound = LONG(0xC0000034);
constexpr LONG kStatusNameCollision = LONG(0xC0000035);
constexpr LONG kStatusNotImplemented = LONG(0xC0000002);

// The information classes used, with their records.
constexpr int kFileFullDirectoryInformation = 2;
constexpr int kFileBasicInformation = 4;
constexpr int kFileRenameInformation = 10;
constexpr int kFileDispositionInformation = 13;
constexpr int kFileAttributeTagInformation = 35;

struct BasicInformation {
  LARGE_INTEGER CreationTime, LastAccessTime, LastWriteTime, ChangeTime;  // 0: left as it is
  ULONG FileAttributes;                                                   // 0: left as it is
};
struct AttributeTagInformation {
  ULONG FileAttributes;
  ULONG ReparseTag;
};
struct RenameInformation {
  BOOLEAN ReplaceIfExists;
  HANDLE RootDirectory;
  ULONG FileNameLength;  // bytes
  WCHAR FileName[kPlatformTextSize];
};
struct FullDirectoryEntry {
  ULONG NextEntryOffset, FileIndex;
  LARGE_INTEGER CreationTime, LastAccessTime, LastWriteTime, ChangeTime, EndOfFile, AllocationSize;
  ULONG FileAttributes, FileNameLength;
  ULONG EaSize;  // the reparse tag, for a reparse point
  WCHAR FileName[1];
};
static_assert(sizeof(BasicInformation) == 40, "FILE_BASIC_INFORMATION");
static_assert(offsetof(RenameInformation, FileName) == 2 * sizeof(void*) + 4, "FILE_RENAME_INFORMATION");
static_assert(offsetof(FullDirectoryEntry, FileName) == 68, "FILE_FULL_DIR_INFORMATION");

// Fails with the Win32 error of an NTSTATUS, as the system's own calls do.
bool FailWith(LONG status) {
  SetLastError(g_nt.ErrorOfStatus != nullptr ? g_nt.ErrorOfStatus(status) : ERROR_ACCESS_DENIED);
  return false;
}

// One name of a path, in UTF-16 units (not NUL-terminated).
struct NameText {
  const wchar_t* text;
  size_t chars;
};

// Opens `name` relative to the open folder `folder` (an empty name: the
// object of `folder` itself, again), synchronously, without regard to case
// as every Win32 call does.
LONG OpenName(HANDLE folder, NameText name, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
              HANDLE* handle, PSECURITY_DESCRIPTOR descriptor = nullptr) {
  UNICODE_STRING text;
  text.Buffer = const_cast<wchar_t*>(name.text);
  text.Length = text.MaximumLength = USHORT(name.chars * sizeof(wchar_t));
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, folder, descriptor);  // none: inherited
  IO_STATUS_BLOCK io;
  *handle = nullptr;
  LONG status = g_nt.CreateFile(handle, access | SYNCHRONIZE, &object, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                                disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (status < 0) *handle = nullptr;
  return status;
}

const NameText kSameObject = {L"", 0};

// Sets information of an open file (through the tests' replacement, when
// there is one); false with the system's error.
bool SetInformation(HANDLE file, void* data, ULONG size, int kind) {
  auto set = Win32Kernel.SetInformationFile != nullptr ? Win32Kernel.SetInformationFile : g_nt.SetInformationFile;
  IO_STATUS_BLOCK io;
  LONG status = set != nullptr ? set(file, &io, data, size, kind) : kStatusNotImplemented;
  return status >= 0 || FailWith(status);
}

// Whether a link's owner is one that only an administrator's link has: the
// Administrators group (the owner of what an elevated administrator makes),
// SYSTEM, or the TrustedInstaller service (S-1-5-80-956008885-3418522649-
// 1831038044-1853292631-2271478464).
bool AdministratorsOwn(PSID owner) {
  if (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || IsWellKnownSid(owner, WinLocalSystemSid)) return true;
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID installer = nullptr;
  if (!AllocateAndInitializeSid(&nt, 6, 80, 956008885, 3418522649u, 1831038044, 1853292631, 2271478464u, 0, 0,
                                &installer))
    return false;
  bool same = EqualSid(owner, installer) != 0;
  FreeSid(installer);
  return same;
}

// Whether a reparse point with this tag stands for another name (a
// junction, a symbolic link, a mount point). One whose tag cannot be read
// (Wine reports none for the host's symbolic links) counts as one; a file
// of a cloud drive or deduplicated data does not.
bool StandsForAnotherName(ULONG tag) {
  constexpr ULONG kNameSurrogate = 0x20000000;  // IsReparseTagNameSurrogate
  return tag == 0 || (tag & kNameSurrogate) != 0;
}

// The kind of a link opened itself at `link`, by its owner.
LinkKind LinkKindByOwner(HANDLE link) {
  HANDLE h;  // the same link again, with the right to read its owner
  if (OpenName(link, kSameObject, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
               FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT, &h) < 0)
    return kOtherLink;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  LinkKind kind = kOtherLink;
  if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &descriptor) ==
          ERROR_SUCCESS &&
      owner != nullptr && AdministratorsOwn(owner))
    kind = kAdministratorsLink;
  if (descriptor != nullptr) LocalFree(descriptor);
  CloseHandle(h);
  return kind;
}

// What the folder open at `folder` lists for `name`: its attributes and, for
// a reparse point, its tag. False when the listing cannot be read.
bool ListedEntry(HANDLE folder, NameText name, ULONG* attributes, ULONG* tag) {
  // A handle of its own: a listing remembers the first name it was asked for.
  HANDLE listing;
  if (OpenName(folder, kSameObject, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
               FILE_OPEN, FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, &listing) < 0)
    return false;
  union {
    FullDirectoryEntry entry;
    char room[sizeof(FullDirectoryEntry) + 256 * sizeof(wchar_t)];
  } found = {};
  UNICODE_STRING mask;
  mask.Buffer = const_cast<wchar_t*>(name.text);
  mask.Length = mask.MaximumLength = USHORT(name.chars * sizeof(wchar_t));
  IO_STATUS_BLOCK io;
  LONG status = g_nt.QueryDirectoryFile(listing, nullptr, nullptr, nullptr, &io, &found, sizeof found,
                                        kFileFullDirectoryInformation, TRUE, &mask, TRUE);
  CloseHandle(listing);
  if (status < 0 && status != kStatusBufferOverflow) return false;
  *attributes = found.entry.FileAttributes;
  *tag = (found.entry.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? found.entry.EaSize : 0;
  return true;
}

// The attributes of an open file and, for a reparse point, its tag; from
// the basic information (tag unknown) on a file system that does not answer
// for the tag.
bool QueryAttributes(HANDLE h, AttributeTagInformation* tag) {
  IO_STATUS_BLOCK io;
  if (g_nt.QueryInformationFile(h, &io, tag, sizeof *tag, kFileAttributeTagInformation) >= 0) return true;
  BasicInformation basic = {};
  if (g_nt.QueryInformationFile(h, &io, &basic, sizeof basic, kFileBasicInformation) < 0) return false;
  tag->FileAttributes = basic.FileAttributes;
  tag->ReparseTag = 0;
  return true;
}

// What a name opened with FILE_OPEN_REPARSE_POINT is, judged by its handle.
struct OpenedName {
  LinkKind link;
  bool is_link_itself;  // the handle is the reparse point itself, not what it leads to
  bool is_past_link;    // the handle is what a link leads to: the system followed it although told not to
  ULONG attributes;     // of what the handle is
};

// Judges the name open at `h`. A system that follows links although asked
// to open them themselves (Wine does, for the host's symbolic links) shows a
// link only in its folder's listing: `folder` and `name` (or, without a
// folder, `listed_attributes`) say what that listing shows. Asked after the
// name was opened (and so pinned on Windows), it speaks of the same object.
// A link seen only there cannot be examined itself, and counts as one that
// no administrator made.
OpenedName JudgeOpenedName(HANDLE h, HANDLE folder, NameText name, ULONG listed_attributes) {
  OpenedName judged = {kOtherLink, false, false, 0};
  AttributeTagInformation tag = {};
  if (!QueryAttributes(h, &tag)) return judged;
  judged.attributes = tag.FileAttributes;
  if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    judged.is_link_itself = true;
    judged.link = StandsForAnotherName(tag.ReparseTag) ? LinkKindByOwner(h) : kNoLink;
    return judged;
  }
  ULONG listed_tag = 0;
  if (folder != nullptr && !ListedEntry(folder, name, &listed_attributes, &listed_tag)) listed_attributes = 0;
  judged.is_past_link = (listed_attributes & FILE_ATTRIBUTE_REPARSE_POINT) && StandsForAnotherName(listed_tag);
  judged.link = judged.is_past_link ? kOtherLink : kNoLink;
  return judged;
}

// What the name at `path` (with its `attributes`, as the system lists them)
// is as a link: the link itself is opened, never what it leads to.
LinkKind LinkOfWide(const wchar_t* path, DWORD attributes) {
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return kNoLink;
  if (!NtCallsFound()) return kOtherLink;
  HANDLE h = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kOtherLink;
  LinkKind kind = JudgeOpenedName(h, nullptr, kSameObject, attributes).link;
  CloseHandle(h);
  return kind;
}

// How many names a walked path may have: the installation's own folders and
// as many inside it as a walk of a tree goes.
constexpr int kDeepestPath = 2 * kDeepestFolder;

// A path taken apart for a walk: the \\?\ form, its root (\\?\C:\ or
// \\?\UNC\server\share\) and its names after the root, which point into the
// full form.
struct SplitPath {
  WideText full;
  WideText root;
  int count;
  NameText names[kDeepestPath];
};

// False, with the system's error, for a path that is not on a drive or a
// share, has "." or ".." left in it, or has more names than a walk takes.
bool Split(const char* path, SplitPath* split) {
  split->full = WidePath(path);
  split->count = 0;
  const wchar_t* text = split->full.text;
  if (wcsncmp(text, L"\\\\?\\", 4) != 0) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  const wchar_t* p = text + 4;
  int root_names = _wcsnicmp(p, L"UNC\\", 4) == 0 ? 3 : 1;  // UNC, the server and the share; or the drive
  for (int i = 0; i < root_names; ++i) {
    const wchar_t* end = wcschr(p, L'\\');
    size_t chars = end != nullptr ? size_t(end - p) : wcslen(p);
    if (chars == 0) {
      SetLastError(ERROR_INVALID_NAME);
      return false;
    }
    p += chars;
    if (*p != L'\0') ++p;
  }
  size_t root = size_t(p - text);
  if (root + 2 > kPlatformTextSize) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  memcpy(split->root.text, text, root * sizeof(wchar_t));
  if (split->root.text[root - 1] != L'\\') split->root.text[root++] = L'\\';
  split->root.text[root] = L'\0';
  while (*p != L'\0') {
    const wchar_t* end = wcschr(p, L'\\');
    size_t chars = end != nullptr ? size_t(end - p) : wcslen(p);
    if (chars > 0) {
      if (p[0] == L'.' && (chars == 1 || (chars == 2 && p[1] == L'.'))) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
      }
      if (split->count == kDeepestPath) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
      }
      split->names[split->count++] = {p, chars};
    }
    p += chars;
    if (*p != L'\0') ++p;
  }
  return true;
}

// The folders of a path, held open from its root: a folder that is an
// administrators' link holds the link and what it leads to.
struct PinnedChain {
  HANDLE handles[1 + 2 * kDeepestPath];
  int count;
  int walked;  // names of the path walked
  bool ended;  // a missing folder ended the walk
};

HANDLE LastFolder(const PinnedChain& chain) { return chain.handles[chain.count - 1]; }

void ReleaseChain(PinnedChain* chain) {
  DWORD error = GetLastError();
  while (chain->count > 0) CloseHandle(chain->handles[--chain->count]);
  SetLastError(error);
}

// What a walk does at a folder that is not there.
enum MissingFolder { kMissingFails, kMissingMade, kMissingEndsWalk };

// The access of a folder in the chain: traversal is what makes the handle
// count in the sharing checks (attributes alone would not), and every
// rename or delete asks for the deletion the chain does not share.
constexpr ACCESS_MASK kPinAccess = FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
constexpr ULONG kPinShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr ULONG kFolderOptions = FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT;

// Walks `split` from where `chain` stands to its name number `through`,
// pinning each folder. False, with the system's error, when a folder cannot
// be opened or is a link that no administrator made (access denied).
bool PinFolders(const SplitPath& split, int through, PinnedChain* chain, MissingFolder missing) {
  if (!NtCallsFound()) return FailWith(kStatusNotImplemented);
  if (chain->count == 0) {
    HANDLE root = CreateFileW(split.root.text, kPinAccess, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (root == INVALID_HANDLE_VALUE) return false;
    chain->handles[chain->count++] = root;
  }
  for (; !chain->ended && chain->walked < through; ++chain->walked) {
    NameText name = split.names[chain->walked];
    HANDLE parent = LastFolder(*chain), folder;
    LONG status =
        OpenName(parent, name, kPinAccess, kPinShare, FILE_OPEN, kFolderOptions | FILE_OPEN_REPARSE_POINT, &folder);
    if (status == kStatusNameNotFound && missing == kMissingEndsWalk) {
      chain->ended = true;
      break;
    }
    if (status == kStatusNameNotFound && missing == kMissingMade) {
      status = OpenName(parent, name, kPinAccess, kPinShare, FILE_CREATE, kFolderOptions, &folder);
      if (status == kStatusNameCollision)  // made meanwhile: judged as any other
        status =
            OpenName(parent, name, kPinAccess, kPinShare, FILE_OPEN, kFolderOptions | FILE_OPEN_REPARSE_POINT, &folder);
    }
    if (status < 0) return FailWith(status);
    chain->handles[chain->count++] = folder;
    OpenedName judged = JudgeOpenedName(folder, parent, name, 0);
    if (judged.link == kOtherLink) return FailWith(kStatusAccessDenied);
    if (judged.is_link_itself) {
      // An administrators' link, or a reparse point that stands for no
      // other name: what it leads to, opened through it while the link
      // itself stays pinned.
      status = OpenName(parent, name, kPinAccess, kPinShare, FILE_OPEN, kFolderOptions, &folder);
      if (status < 0) return FailWith(status);
      chain->handles[chain->count++] = folder;
    }
  }
  return true;
}

// Lets a test act in the middle of an operation.
void FoldersPinned() {
  if (Win32Kernel.FoldersPinned != nullptr) Win32Kernel.FoldersPinned();
}

// Splits `path` and pins every folder of it but its last name, which comes
// back in `last`. False, with the system's error, for a root (it has no
// folder) and when a folder cannot be pinned.
bool PinFoldersOf(const char* path, SplitPath* split, PinnedChain* chain, NameText* last) {
  if (!Split(path, split)) return false;
  if (split->count == 0) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  if (!PinFolders(*split, split->count - 1, chain, kMissingFails)) return false;
  *last = split->names[split->count - 1];
  return true;
}

// Opens the last name of a path in its pinned folder for `access`: the name
// itself, or with `follow`, what an administrators' link (or a reparse point
// that stands for no other name) leads to. None, with access denied, for a
// link that no administrator made.
HANDLE OpenLastName(HANDLE folder, NameText name, ACCESS_MASK access, ULONG share, ULONG options, bool follow) {
  options |= FILE_OPEN_FOR_BACKUP_INTENT;
  HANDLE h;
  LONG status =
      OpenName(folder, name, access | FILE_READ_ATTRIBUTES, share, FILE_OPEN, options | FILE_OPEN_REPARSE_POINT, &h);
  if (status < 0) {
    FailWith(status);
    return nullptr;
  }
  OpenedName judged = JudgeOpenedName(h, folder, name, 0);
  if (judged.link == kOtherLink) {
    CloseHandle(h);
    FailWith(kStatusAccessDenied);
    return nullptr;
  }
  if (!judged.is_link_itself || !follow) return h;
  HANDLE led_to;
  status = OpenName(folder, name, access, share, FILE_OPEN, options, &led_to);
  CloseHandle(h);
  if (status < 0) FailWith(status);
  return led_to;
}

// Deletes the last name of a path from its pinned folder: a link itself,
// whoever made it, never what it leads to; a read-only file or a folder
// that is not empty stays, as with the system's own delete. False with the
// system's error (ERROR_FILE_NOT_FOUND: nothing is there).
bool RemoveLastName(HANDLE folder, NameText name, bool is_folder) {
  HANDLE h;
  LONG status = OpenName(folder, name, DELETE | FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                         (is_folder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE) | FILE_OPEN_REPARSE_POINT |
                             FILE_OPEN_FOR_BACKUP_INTENT,
                         &h);
  if (status < 0) return FailWith(status);
  BOOLEAN remove = TRUE;
  // A handle of what a link leads to would delete that: the link stays.
  bool removed = JudgeOpenedName(h, folder, name, 0).is_past_link
                     ? FailWith(kStatusAccessDenied)
                     : SetInformation(h, &remove, sizeof remove, kFileDispositionInformation);
  DWORD error = GetLastError();
  CloseHandle(h);
  SetLastError(error);
  return removed;
}

// Attributes as FileBasicInformation takes them: only those that can be set,
// and "normal" for none (0 would leave them as they are).
ULONG SettableAttributes(DWORD attributes) {
  constexpr DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                              FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_TEMPORARY |
                              FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  attributes &= kSettable;
  return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

PlatformFile Win32CreateTempFileBeside(const char* near_path, char* temp_path) {
  // The folder part: up to the last separator that is a character of its own,
  // or the drive ("C:") of a path such as "C:name".
  size_t folder = 0;
  for (const char* p = near_path; *p != '\0'; p = NextChar(p)) {
    if (IsPathSeparator(p)) folder = size_t(p - near_path) + 1;
  }
  if (folder == 0 && near_path[0] != '\0' && near_path[1] == ':') folder = 2;
  static LONG counter = 0;
  DWORD stamp = GetCurrentProcessId() * 2654435761u ^ GetTickCount();
  SplitPath split;
  PinnedChain chain = {};
  NameText last;
  HANDLE made = nullptr;
  for (int attempt = 0; attempt < 100; ++attempt) {
    DWORD unique = stamp + DWORD(InterlockedIncrement(&counter));
    char name[32];
    FormatText(name, sizeof name, "~ks%08X.tmp", unique);
    if (folder + strlen(name) >= kPlatformTextSize) break;
    memcpy(temp_path, near_path, folder);
    CopyText(temp_path + folder, kPlatformTextSize - folder, name);
    if (attempt == 0) {
      if (!PinFoldersOf(temp_path, &split, &chain, &last)) break;
      FoldersPinned();
    }
    wchar_t wide_name[32];
    size_t chars = 0;
    for (; name[chars] != '\0'; ++chars) wide_name[chars] = wchar_t(name[chars]);  // ASCII
    // Delete access: the finished file is renamed through this handle.
    LONG status = OpenName(LastFolder(chain), {wide_name, chars}, GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES, 0,
                           FILE_CREATE, FILE_NON_DIRECTORY_FILE, &made);
    if (status >= 0 || status != kStatusNameCollision) {
      if (status < 0) FailWith(status);
      break;
    }
  }
  ReleaseChain(&chain);
  return made;
}

PlatformFile Win32OpenFileForRead(const char* path) {
  HANDLE h = CreateFileW(WidePath(path).text, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

int Win32WriteFileBytes(PlatformFile file, const void* data, uint32_t size) {
  DWORD written = 0;
  return ::WriteFile(HandleOf(file), data, size, &written, nullptr) && written == size;
}

int Win32ReadFileBytes(PlatformFile file, void* data, uint32_t size, uint32_t* read_bytes) {
  DWORD got = 0;
  if (!::ReadFile(HandleOf(file), data, size, &got, nullptr)) return 0;
  *read_bytes = got;
  return 1;
}

int Win32ReadFileAt(PlatformFile file, uint64_t offset, void* buffer, uint32_t size, uint32_t* got) {
  LARGE_INTEGER at;
  at.QuadPart = LONGLONG(offset);
  if (!SetFilePointerEx(HandleOf(file), at, nullptr, FILE_BEGIN)) return 0;
  uint32_t total = 0;
  while (total < size) {
    DWORD n = 0;
    if (!::ReadFile(HandleOf(file), static_cast<char*>(buffer) + total, size - total, &n, nullptr)) return 0;
    if (n == 0) break;
    total += n;
  }
  *got = total;
  return 1;
}

int Win32FileSize(PlatformFile file, uint32_t* size) {
  LARGE_INTEGER value;
  if (!GetFileSizeEx(HandleOf(file), &value) || value.QuadPart > 0xFFFFFFFFll) return 0;
  *size = uint32_t(value.QuadPart);
  return 1;
}

// A FILETIME and the seam's 64-bit time, both ways.
uint64_t TimeOf(const FILETIME& ft) { return uint64_t(ft.dwHighDateTime) << 32 | ft.dwLowDateTime; }
FILETIME FileTimeOf(uint64_t time) { return {DWORD(time), DWORD(time >> 32)}; }

int Win32GetLastWriteTime(PlatformFile file, uint64_t* time) {
  FILETIME ft;
  if (!GetFileTime(HandleOf(file), nullptr, nullptr, &ft)) return 0;
  *time = TimeOf(ft);
  return 1;
}

// Creation, last-access and last-write time of an open file.
bool SetAllTimes(HANDLE file, uint64_t time) {
  FILETIME ft = FileTimeOf(time);
  return SetFileTime(file, &ft, &ft, &ft) != 0;
}

int Win32SetFileTimes(PlatformFile file, uint64_t time) { return SetAllTimes(HandleOf(file), time) ? 1 : 0; }

void Win32CloseFile(PlatformFile file) { CloseHandle(HandleOf(file)); }

int Win32FlushFile(PlatformFile file) { return FlushFileBuffers(HandleOf(file)) != 0; }

// Renames the open file itself into the pinned folder `folder`, never over a
// file that is there: nothing that happens to the names in the meantime can
// put another file in its place.
bool RenameOpenFile(HANDLE file, HANDLE folder, NameText name) {
  if (name.chars >= kPlatformTextSize) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  RenameInformation rename = {};
  rename.ReplaceIfExists = FALSE;
  rename.RootDirectory = folder;
  rename.FileNameLength = ULONG(name.chars * sizeof(wchar_t));
  memcpy(rename.FileName, name.text, name.chars * sizeof(wchar_t));
  // The record's own size at the least (a name of one character is shorter
  // than the record's declared name, which the system refuses as an invalid
  // parameter): the name, a NUL after it, rounded up to the record's alignment.
  ULONG size = ULONG(offsetof(RenameInformation, FileName) + rename.FileNameLength + sizeof(wchar_t));
  size = (size + alignof(RenameInformation) - 1) / alignof(RenameInformation) * alignof(RenameInformation);
  return UntilNotBusy([&] { return SetInformation(file, &rename, size, kFileRenameInformation); });
}

// Puts the temporary file `handle` (at `temp_path`) in the place of `name` in
// the pinned folder `folder` (the last name of `to`), and closes it.
int CommitIntoFolder(HANDLE handle, const char* temp_path, const char* to, HANDLE folder, NameText name,
                     const uint64_t* time) {
  HANDLE existing;
  LONG status = OpenName(folder, name, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         FILE_OPEN, FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT, &existing);
  if (status == kStatusNameNotFound) {
    bool moved = RenameOpenFile(handle, folder, name);
    if (moved && time != nullptr) SetAllTimes(handle, *time);
    CloseHandle(handle);
    return moved ? 1 : 0;
  }
  CloseHandle(handle);
  if (status < 0) return FailWith(status);
  OpenedName judged = JudgeOpenedName(existing, folder, name, 0);
  CloseHandle(existing);
  if (judged.link == kOtherLink) return FailWith(kStatusAccessDenied);
  DWORD attributes = judged.attributes;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return 0;
  // ReplaceFile keeps the destination's security descriptor, streams and
  // attributes. It moves the old file to the backup name, then the new one
  // to the target's: a replacement that stops between the two (or a power
  // cut there) leaves the old file under a name found again from the
  // target's, from where it is put back, now or at the next start. It goes
  // by name, inside folders that stay pinned until it is done.
  char backup_path[kPlatformTextSize];
  CopyText(backup_path, sizeof backup_path, to);
  if (!AppendText(backup_path, sizeof backup_path, kBackupSuffix)) return 0;
  WideText backup = WidePath(backup_path), target = WidePath(to), temp = WidePath(temp_path);
  const wchar_t* backup_folder_end = wcsrchr(backup.text, L'\\');
  if (backup_folder_end == nullptr || target.text[0] == L'\0' || temp.text[0] == L'\0') return 0;
  NameText backup_name = {backup_folder_end + 1, wcslen(backup_folder_end + 1)};
  // What is at that name was left by a run whose replacement completed
  // (its target is there): an older version, or a link of somebody's,
  // which is removed itself, never what it leads to.
  if (!RemoveLastName(folder, backup_name, false) && GetLastError() != ERROR_FILE_NOT_FOUND) return 0;
  if (!UntilNotBusy([&] {
        return Win32Kernel.ReplaceFile(target.text, temp.text, backup.text, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                                       nullptr) != 0;
      })) {
    // Any other error leaves both files under their own names.
    if (GetLastError() != ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) return 0;
    // The old file is at the backup name and the new one did not take its
    // place: the old one goes back. Should that fail too, the backup is
    // the only copy of the player's file and stays where it is.
    UntilNotBusy([&] { return Win32Kernel.MoveFileEx(backup.text, target.text, 0) != 0; });
    return 0;
  }
  // The new file is in place; a backup that cannot be deleted now is an
  // old version, removed at the next start.
  RemoveLastName(folder, backup_name, false);
  // Not every implementation carries the attributes over; the times are
  // set on the final file.
  HANDLE final_file =
      OpenLastName(folder, name, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                   FILE_NON_DIRECTORY_FILE, false);
  if (final_file != nullptr) {
    AttributeTagInformation now = {};
    BasicInformation basic = {};
    if (QueryAttributes(final_file, &now) && now.FileAttributes != attributes)
      basic.FileAttributes = SettableAttributes(attributes);
    if (time != nullptr)
      basic.CreationTime.QuadPart = basic.LastAccessTime.QuadPart = basic.LastWriteTime.QuadPart = LONGLONG(*time);
    if (basic.FileAttributes != 0 || time != nullptr)
      SetInformation(final_file, &basic, sizeof basic, kFileBasicInformation);
    CloseHandle(final_file);
  }
  return 1;
}

int Win32CommitFile(PlatformFile file, const char* temp_path, const char* to, const uint64_t* time) {
  // The target's folders, and the temporary file's (which ReplaceFile reads
  // by name), stay pinned until the file is in place.
  SplitPath target, temp;
  PinnedChain target_chain = {}, temp_chain = {};
  NameText name, temp_name;
  int committed = 0;
  if (PinFoldersOf(to, &target, &target_chain, &name) && PinFoldersOf(temp_path, &temp, &temp_chain, &temp_name)) {
    FoldersPinned();
    committed = CommitIntoFolder(HandleOf(file), temp_path, to, LastFolder(target_chain), name, time);
  } else {
    CloseHandle(HandleOf(file));
  }
  ReleaseChain(&temp_chain);
  ReleaseChain(&target_chain);
  return committed;
}

// Runs `act` with the folders of `path` pinned, given the last folder's
// handle and the last name; `failed` when they cannot be pinned (the
// system's error then tells why).
template <typename Result, typename Act>
Result InPinnedFolder(const char* path, Result failed, Act act) {
  SplitPath split;
  PinnedChain chain = {};
  NameText last;
  Result result = failed;
  if (PinFoldersOf(path, &split, &chain, &last)) {
    FoldersPinned();
    result = act(LastFolder(chain), last);
  }
  ReleaseChain(&chain);
  return result;
}

int Win32RemoveFile(const char* path) {
  return InPinnedFolder(path, 0,
                        [](HANDLE folder, NameText last) { return RemoveLastName(folder, last, false) ? 1 : 0; });
}

PlatformFile Win32OpenFileForMove(const char* path) {
  return InPinnedFolder(path, PlatformFile(nullptr), [](HANDLE folder, NameText last) {
    // Delete access: the file is renamed through this handle.
    return PlatformFile(
        OpenLastName(folder, last, GENERIC_READ | DELETE, FILE_SHARE_READ, FILE_NON_DIRECTORY_FILE, true));
  });
}

int Win32RemoveFolder(const char* path) {
  return InPinnedFolder(path, 0,
                        [](HANDLE folder, NameText last) { return RemoveLastName(folder, last, true) ? 1 : 0; });
}

uint32_t Win32GetAttributes(const char* path) { return GetFileAttributesW(WidePath(path).text); }

int Win32SetAttributes(const char* path, uint32_t attributes) {
  return InPinnedFolder(path, 0, [attributes](HANDLE folder, NameText last) {
    // The name itself, as the system's own call sets them.
    HANDLE h = OpenLastName(folder, last, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            0, false);
    if (h == nullptr) return 0;
    BasicInformation basic = {};
    basic.FileAttributes = SettableAttributes(attributes);
    bool set = SetInformation(h, &basic, sizeof basic, kFileBasicInformation);
    DWORD error = GetLastError();
    CloseHandle(h);
    SetLastError(error);
    return set ? 1 : 0;
  });
}

// Makes the folder `path` in its pinned parent, with `descriptor` (none:
// what the parent passes on).
int CreateFolderWith(const char* path, PSECURITY_DESCRIPTOR descriptor) {
  return InPinnedFolder(path, 0, [descriptor](HANDLE folder, NameText last) {
    // A name that is there already, a link included, fails.
    HANDLE h;
    LONG status = OpenName(folder, last, FILE_LIST_DIRECTORY, kPinShare, FILE_CREATE, kFolderOptions, &h, descriptor);
    if (status < 0) {
      FailWith(status);
      return 0;
    }
    CloseHandle(h);
    return 1;
  });
}

int Win32CreateFolder(const char* path) { return CreateFolderWith(path, nullptr); }

LinkKind Win32LinkAt(const char* path) {
  WideText wide = WidePath(path);
  return LinkOfWide(wide.text, GetFileAttributesW(wide.text));
}

int Win32TouchLastWriteTime(const char* path) {
  return InPinnedFolder(path, 0, [](HANDLE folder, NameText last) {
    // Attribute access alone: granted on a read-only file, and it cannot
    // change a byte of the content.
    HANDLE h = OpenLastName(folder, last, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            FILE_NON_DIRECTORY_FILE, true);
    if (h == nullptr) return 0;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    int ok = SetFileTime(h, nullptr, nullptr, &now) != 0;
    CloseHandle(h);
    return ok;
  });
}

typedef BOOLEAN(WINAPI* RtlGenRandomProc)(PVOID, ULONG);

// Bytes from the system's random source (RtlGenRandom, exported by advapi32
// under the name SystemFunction036).
bool RandomBytes(void* bytes, ULONG size) {
  auto random = EntryPoint<RtlGenRandomProc>(GetModuleHandleW(L"advapi32.dll"), "SystemFunction036");
  return random != nullptr && random(bytes, size);
}

int Win32CreatePrivateFolder(const char* parent, const char* prefix, char* path) {
  // SYSTEM and the Administrators group, full control of the folder and of
  // everything made in it; "P": nothing inherited from the parent.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1,
                                                            &descriptor, nullptr))
    return 0;
  int made = 0;
  for (int attempt = 0; attempt < 8 && !made; ++attempt) {
    uint8_t bytes[8];
    char name[kPlatformTextSize];
    if (!RandomBytes(bytes, sizeof bytes)) break;
    PrivateFolderName(prefix, bytes, name, sizeof name);
    CopyText(path, kPlatformTextSize, parent);
    if (!AppendPathComponent(path, kPlatformTextSize, name)) break;
    if (CreateFolderWith(path, descriptor)) {
      made = 1;
    } else if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) {
      break;
    }
  }
  LocalFree(descriptor);
  return made;
}

int Win32TakeFolderAccess(const char* path) {
  // An empty list that is not protected: the system puts in it what the
  // folder passes on to its files, and nothing of the file's own.
  // Only the call by name works out what the folder passes on; it runs with
  // the folders on the way pinned, so that the name leads where it did.
  ACL empty;
  if (!InitializeAcl(&empty, sizeof empty, ACL_REVISION)) return 0;
  wchar_t full[kPlatformTextSize];
  DWORD n = GetFullPathNameW(Wide(path).text, kPlatformTextSize, full, nullptr);
  if (n == 0 || n >= kPlatformTextSize) return 0;
  return InPinnedFolder(path, 0, [&full, &empty](HANDLE, NameText) {
    return SetNamedSecurityInfoW(full, SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                 &empty, nullptr) == ERROR_SUCCESS
               ? 1
               : 0;
  });
}

// Whether `name` ends in `end`, without regard to case.
bool EndsWithNoCase(const wchar_t* name, const wchar_t* end) {
  size_t n = wcslen(name), m = wcslen(end);
  return n >= m && lstrcmpiW(name + n - m, end) == 0;
}

int Win32IsThisMachine(const char* server) {
  WideText name = Wide(server);
  // Loopback by name or address; an IPv6 literal (only loopback would make
  // sense here, and no game is installed on a share named so).
  if (lstrcmpiW(name.text, L"localhost") == 0 || wcsncmp(name.text, L"127.", 4) == 0 ||
      EndsWithNoCase(name.text, L".ipv6-literal.net") || wcschr(name.text, L':') != nullptr)
    return 1;
  const COMPUTER_NAME_FORMAT formats[] = {
      ComputerNameNetBIOS,         ComputerNameDnsHostname,         ComputerNameDnsFullyQualified,
      ComputerNamePhysicalNetBIOS, ComputerNamePhysicalDnsHostname, ComputerNamePhysicalDnsFullyQualified};
  for (COMPUTER_NAME_FORMAT format : formats) {
    wchar_t own[kPlatformTextSize];
    DWORD size = kPlatformTextSize;
    if (GetComputerNameExW(format, own, &size) && own[0] != L'\0' && lstrcmpiW(own, name.text) == 0) return 1;
  }
  return 0;
}

typedef BOOL(WINAPI* FreeSpaceExW)(LPCWSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);

// The 64-bit query, looked up in kernel32 from the system folder once it is
// found (a system without it is asked again each time, which costs nothing
// that matters); where it is missing or fails, the older cluster-based one.
FreeSpaceExW g_free_space_ex = nullptr;

int Win32FreeSpace(const char* root, uint64_t* free_to_caller, uint64_t* total, uint64_t* total_free) {
  if (g_free_space_ex == nullptr) {
    HMODULE kernel = LoadSystemLibrary(L"kernel32.dll");
    if (kernel != nullptr) {
      g_free_space_ex = EntryPoint<FreeSpaceExW>(kernel, "GetDiskFreeSpaceExW");
      FreeLibrary(kernel);  // kernel32 stays mapped for the life of the process
    }
  }
  WideText wide = Wide(root);
  ULARGE_INTEGER f, t, tf;
  if (g_free_space_ex != nullptr && g_free_space_ex(wide.text, &f, &t, &tf)) {
    *free_to_caller = f.QuadPart;
    *total = t.QuadPart;
    *total_free = tf.QuadPart;
    return 1;
  }
  DWORD spc, bps, fc, tc;
  if (!GetDiskFreeSpaceW(wide.text, &spc, &bps, &fc, &tc)) return 0;
  *free_to_caller = *total_free = ClusterBytes(fc, spc, bps);
  *total = ClusterBytes(tc, spc, bps);
  return 1;
}

void* Win32Alloc(uint32_t size, int zero) {
  return GlobalAlloc(GMEM_FIXED | (zero ? GMEM_ZEROINIT : 0), size ? size : 1);
}
void Win32Free(void* block) { GlobalFree(block); }

int Win32ShowMessageBox(PlatformWindow owner, const char* text, const char* caption, uint32_t kind) {
  return MessageBoxW(static_cast<HWND>(owner), Wide(text).text, Wide(caption).text, kind);
}

// COM and the shell are loaded when they are first needed, from the system
// folder, after the search has been restricted: as imports of the program
// they (and the DLLs they pull in, such as shcore) would be resolved before
// its first line, from wherever the loader looks first.
typedef HRESULT(WINAPI* CoInitializeProc)(LPVOID);
typedef int(WINAPI* ShFileOperationProc)(LPSHFILEOPSTRUCTW);

void Win32InitComponents() {
  HMODULE ole = LoadSystemLibrary(L"ole32.dll");
  auto initialize = EntryPoint<CoInitializeProc>(ole, "CoInitialize");
  if (initialize != nullptr) initialize(nullptr);
}

int Win32LoadUpdateResource(void* instance, int id, const uint8_t** bytes, uint32_t* size) {
  HMODULE module = static_cast<HMODULE>(instance);
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), L"UPDATE");
  if (found == nullptr) return 0;
  DWORD length = SizeofResource(module, found);
  if (length == 0) {
    *bytes = nullptr;
    *size = 0;
    return 1;
  }
  HGLOBAL loaded = LoadResource(module, found);
  const void* locked = loaded ? LockResource(loaded) : nullptr;
  if (locked == nullptr) return 0;
  *bytes = static_cast<const uint8_t*>(locked);
  *size = length;
  return 1;
}

RegistryKey Win32OpenUserKey(const char* subkey) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, Wide(subkey).text, 0, KEY_READ, &key) != ERROR_SUCCESS) return nullptr;
  return key;
}

// Exactly the code page 932 bytes of `chars` UTF-16 units into `out`: false
// when a character has no code page 932 form (no best-fit stand-in such as
// "e" for "é", or 0x5C, a separator, for "¥") or the result does not fit.
bool ExactCodePage932(const wchar_t* text, int chars, char* out, uint32_t size, int* bytes) {
  BOOL lossy = FALSE;
  int n = WideCharToMultiByte(kCodePage, WC_NO_BEST_FIT_CHARS, text, chars, nullptr, 0, nullptr, &lossy);
  if (n <= 0 || lossy || uint32_t(n) > size) return false;
  *bytes = WideCharToMultiByte(kCodePage, WC_NO_BEST_FIT_CHARS, text, chars, out, int(size), nullptr, &lossy);
  return *bytes == n && !lossy;
}

int Win32QueryValue(RegistryKey key, const char* name, void* data, uint32_t size) {
  WideText wide_name = Wide(name);
  DWORD type = 0, length = 0;
  HKEY k = static_cast<HKEY>(key);
  if (RegQueryValueExW(k, wide_name.text, nullptr, &type, nullptr, &length) != ERROR_SUCCESS) return 0;
  BYTE* raw = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, length + sizeof(wchar_t)));
  if (raw == nullptr) return 0;
  int ok = RegQueryValueExW(k, wide_name.text, nullptr, &type, raw, &length) == ERROR_SUCCESS;
  if (ok && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)) {
    // As the ANSI query delivers it: the code page 932 bytes of the stored
    // characters, with a terminator, measured against the caller's buffer.
    int chars = int(length / sizeof(wchar_t));
    const wchar_t* text = reinterpret_cast<const wchar_t*>(raw);
    if (chars == 0 || text[chars - 1] != L'\0') {
      reinterpret_cast<wchar_t*>(raw)[chars] = L'\0';
      ++chars;
    }
    int bytes = 0;
    ok = ExactCodePage932(text, chars, static_cast<char*>(data), size, &bytes);
    if (!ok) {
      // A path that code page 932 cannot spell (C:\Games\Café) is taken in
      // its short form, all ASCII, where the volume keeps one. Otherwise the
      // value counts as absent: better the updater's own message than a
      // write to another folder.
      wchar_t short_form[kPlatformTextSize];
      DWORD n = GetShortPathNameW(text, short_form, kPlatformTextSize);
      ok = n > 0 && n < kPlatformTextSize &&
           ExactCodePage932(short_form, int(n) + 1, static_cast<char*>(data), size, &bytes);
    }
  } else if (ok) {
    ok = length <= size;
    if (ok) memcpy(data, raw, length);
  }
  HeapFree(GetProcessHeap(), 0, raw);
  return ok;
}

int Win32ListFolder(const char* folder, FolderVisitor visit, void* context) {
  WideText pattern = WidePath(folder);
  size_t n = wcslen(pattern.text);
  if (n == 0 || n + 3 >= kPlatformTextSize) return 0;
  if (pattern.text[n - 1] != L'\\') pattern.text[n++] = L'\\';
  pattern.text[n] = L'*';
  pattern.text[n + 1] = L'\0';
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(pattern.text, &found);
  if (find == INVALID_HANDLE_VALUE) return 0;
  do {
    const wchar_t* name = found.cFileName;
    if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) continue;
    WideText child = pattern;
    if (n + wcslen(name) >= kPlatformTextSize) continue;
    wcscpy(child.text + n, name);
    char bytes[kPlatformTextSize];
    int size = 0;
    if (!ExactCodePage932(name, int(wcslen(name)) + 1, bytes, sizeof bytes, &size)) bytes[0] = '\0';
    visit(context, bytes, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
          LinkOfWide(child.text, found.dwFileAttributes));
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return 1;
}

void Win32CloseKey(RegistryKey key) { RegCloseKey(static_cast<HKEY>(key)); }

// The class of every dialog box: the system's atom #32770.
constexpr uintptr_t kDialogClassAtom = 0x8002;

PlatformWindow Win32FindTopWindow(const char* class_name, const char* title) {
  const wchar_t* window_class = reinterpret_cast<const wchar_t*>(uintptr_t(kDialogClassAtom));
  WideText wide_class;
  if (class_name != nullptr) {
    wide_class = Wide(class_name);
    window_class = wide_class.text;
  }
  return FindWindowW(window_class, Wide(title).text);
}

void Win32BringToFront(PlatformWindow window) {
  ShowWindow(static_cast<HWND>(window), SW_SHOW);
  SetForegroundWindow(static_cast<HWND>(window));
}

DialogProcedure g_dialog_procedure = nullptr;

// The messages the wizard needs, taken apart; every other one goes to the
// dialog manager's own handling.
INT_PTR CALLBACK DialogThunk(HWND window, UINT message, WPARAM wparam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      g_dialog_procedure(window, {kDialogOpened, 0});
      return FALSE;  // the procedure sets the focus it wants
    case WM_COMMAND:
      // Clicks, and Enter, Escape and the close box (IDOK, IDCANCEL); not
      // the other notifications of the controls.
      if (HIWORD(wparam) == BN_CLICKED) g_dialog_procedure(window, {kDialogCommand, LOWORD(wparam)});
      return FALSE;
    case WM_SETCURSOR:
      if (!g_dialog_procedure(window, {kDialogSetCursor, 0})) return FALSE;
      // The dialog manager answers with DWLP_MSGRESULT, not with this
      // result: TRUE there, or the control under the mouse puts its own
      // cursor back over the one just set.
      SetWindowLongPtrW(window, DWLP_MSGRESULT, TRUE);
      return TRUE;
    default: return FALSE;
  }
}

intptr_t Win32RunDialog(int id, DialogProcedure procedure) {
  g_dialog_procedure = procedure;
  return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), nullptr, DialogThunk, 0);
}

void Win32EndWizardDialog(PlatformWindow dialog, intptr_t result) { EndDialog(static_cast<HWND>(dialog), result); }

void Win32SetCaption(PlatformWindow window, const char* text) {
  SetWindowTextW(static_cast<HWND>(window), Wide(text).text);
}

// The run works inside the wizard's command, so nothing else would paint
// its progress or answer the system for it (after some seconds Windows
// would show the window as not responding). The messages waiting are
// handled here: the wizard's buttons are disabled and its commands do
// nothing while the run is busy.
void Win32RefreshWindow(PlatformWindow window) {
  HWND dialog = static_cast<HWND>(window);
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      PostQuitMessage(int(message.wParam));  // for the loop that ends the program
      break;
    }
    if (dialog != nullptr && IsDialogMessageW(dialog, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  if (dialog != nullptr) UpdateWindow(dialog);
}

uint32_t Win32Milliseconds() { return GetTickCount(); }

void Win32SetItemText(PlatformWindow dialog, int id, const char* text) {
  // The agreement text may be long: convert it whole.
  int chars = MultiByteToWideChar(kCodePage, 0, text, -1, nullptr, 0);
  wchar_t* wide = chars > 0 ? static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, chars * sizeof(wchar_t))) : nullptr;
  if (wide == nullptr) return;
  MultiByteToWideChar(kCodePage, 0, text, -1, wide, chars);
  SetDlgItemTextW(static_cast<HWND>(dialog), id, wide);
  HeapFree(GetProcessHeap(), 0, wide);
}

void Win32EnableItem(PlatformWindow dialog, int id, int enable) {
  if (HWND item = GetDlgItem(static_cast<HWND>(dialog), id)) EnableWindow(item, enable ? TRUE : FALSE);
}

void Win32ShowItem(PlatformWindow dialog, int id, int show) {
  if (HWND item = GetDlgItem(static_cast<HWND>(dialog), id)) ShowWindow(item, show ? SW_SHOW : SW_HIDE);
}

void Win32CheckRadio(PlatformWindow dialog, int first, int last, int id) {
  CheckRadioButton(static_cast<HWND>(dialog), first, last, id);
}

void Win32FocusItem(PlatformWindow dialog, int id) {
  if (HWND item = GetDlgItem(static_cast<HWND>(dialog), id)) SetFocus(item);
}

// The system's cursors by their ids (IDC_WAIT and IDC_ARROW, which the
// headers define for the ANSI functions only).
constexpr WORD kSystemWaitCursor = 32514;
constexpr WORD kSystemArrowCursor = 32512;

void Win32SetCursorShape(CursorShape shape) {
  SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(shape == kCursorWait ? kSystemWaitCursor : kSystemArrowCursor)));
}

uint32_t Win32QuietDriveErrors() { return SetErrorMode(SEM_FAILCRITICALERRORS); }
void Win32RestoreDriveErrors(uint32_t previous) { SetErrorMode(previous); }

uint32_t Win32DriveType(const char* root) {
  wchar_t path[4] = {wchar_t(static_cast<unsigned char>(root[0])), L':', L'\\', L'\0'};
  return GetDriveTypeW(path);
}

ShellCopyResult Win32ShellCopy(PlatformWindow owner, const char* from, const char* to, ShellCopyKind kind) {
  FILEOP_FLAGS flags = FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR;
  if (kind == kShellCopyFolder) flags |= FOF_NOERRORUI;
  // Lists of one path, each ended by two NULs.
  WideText source = Wide(from), destination = Wide(to);
  size_t s = wcslen(source.text), d = wcslen(destination.text);
  ShellCopyResult result = {1, 0};
  if (s == 0 || s + 1 >= kPlatformTextSize || d + 1 >= kPlatformTextSize) return result;
  source.text[s + 1] = L'\0';
  destination.text[d + 1] = L'\0';
  HMODULE shell = LoadSystemLibrary(L"shell32.dll");
  auto copy = EntryPoint<ShFileOperationProc>(shell, "SHFileOperationW");
  if (copy == nullptr) return result;
  // The folder the copy lands in (for a file, the one that holds `to`; for
  // a folder, `to` itself) and every folder on the way to it stay pinned
  // until the copy is done. For a file, the missing folders on the way are
  // made first, as the shell makes them on Windows for FOF_NOCONFIRMMKDIR
  // (Wine's shell would make a file); anything else missing, the shell makes.
  DWORD attributes = GetFileAttributesW(source.text);
  bool file_source = attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  SplitPath split;
  PinnedChain chain = {};
  if (Split(to, &split) && split.count > 0 &&
      PinFolders(split, split.count - 1, &chain, file_source ? kMissingMade : kMissingEndsWalk) &&
      (kind == kShellCopyFile || PinFolders(split, split.count, &chain, kMissingEndsWalk))) {
    FoldersPinned();
    SHFILEOPSTRUCTW operation = {};
    operation.hwnd = static_cast<HWND>(owner);
    operation.wFunc = FO_COPY;
    operation.pFrom = source.text;
    operation.pTo = destination.text;
    operation.fFlags = flags;
    int failed = copy(&operation);
    result.Failed = failed != 0;
    result.Aborted = operation.fAnyOperationsAborted != FALSE;
  }
  ReleaseChain(&chain);
  return result;
}

const PlatformApi kWin32Platform = {
    .CreateTempFileBeside = Win32CreateTempFileBeside,
    .OpenFileForRead = Win32OpenFileForRead,
    .WriteFileBytes = Win32WriteFileBytes,
    .ReadFileBytes = Win32ReadFileBytes,
    .ReadFileAt = Win32ReadFileAt,
    .FileSize = Win32FileSize,
    .GetLastWriteTime = Win32GetLastWriteTime,
    .SetFileTimes = Win32SetFileTimes,
    .CloseFile = Win32CloseFile,
    .FlushFile = Win32FlushFile,
    .CommitFile = Win32CommitFile,
    .OpenFileForMove = Win32OpenFileForMove,
    .RemoveFile = Win32RemoveFile,
    .GetAttributes = Win32GetAttributes,
    .SetAttributes = Win32SetAttributes,
    .CreateFolder = Win32CreateFolder,
    .CreatePrivateFolder = Win32CreatePrivateFolder,
    .TakeFolderAccess = Win32TakeFolderAccess,
    .RemoveFolder = Win32RemoveFolder,
    .LinkAt = Win32LinkAt,
    .ListFolder = Win32ListFolder,
    .TouchLastWriteTime = Win32TouchLastWriteTime,
    .IsThisMachine = Win32IsThisMachine,
    .FreeSpace = Win32FreeSpace,
    .Alloc = Win32Alloc,
    .Free = Win32Free,
    .ShowMessageBox = Win32ShowMessageBox,
    .InitComponents = Win32InitComponents,
    .LoadUpdateResource = Win32LoadUpdateResource,
    .OpenUserKey = Win32OpenUserKey,
    .QueryValue = Win32QueryValue,
    .CloseKey = Win32CloseKey,
    .FindTopWindow = Win32FindTopWindow,
    .BringToFront = Win32BringToFront,
    .RunDialog = Win32RunDialog,
    .EndWizardDialog = Win32EndWizardDialog,
    .SetCaption = Win32SetCaption,
    .SetItemText = Win32SetItemText,
    .EnableItem = Win32EnableItem,
    .ShowItem = Win32ShowItem,
    .CheckRadio = Win32CheckRadio,
    .FocusItem = Win32FocusItem,
    .SetCursorShape = Win32SetCursorShape,
    .RefreshWindow = Win32RefreshWindow,
    .Milliseconds = Win32Milliseconds,
    .DriveType = Win32DriveType,
    .QuietDriveErrors = Win32QuietDriveErrors,
    .RestoreDriveErrors = Win32RestoreDriveErrors,
    .ShellCopy = Win32ShellCopy,
};

}  // namespace

Win32Calls Win32Kernel = {ReplaceFileW, MoveFileExW, nullptr, nullptr, Sleep, nullptr};

void EnableRedirectionGuard() {
  // Looked up, not imported: Windows 10 22H2 and Windows 11 have it. Policy
  // 16 is ProcessRedirectionTrustPolicy; flag 1 its EnforceRedirectionTrust.
  constexpr int kProcessRedirectionTrustPolicy = 16;
  auto set_policy = Win32Kernel.SetProcessMitigationPolicy;
  if (set_policy == nullptr) set_policy = KernelEntryPoint<decltype(set_policy)>("SetProcessMitigationPolicy");
  if (set_policy == nullptr) return;
  DWORD flags = 1;
  set_policy(kProcessRedirectionTrustPolicy, &flags, sizeof flags);  // refused by older systems: the check below stays
}

void RestrictDllSearch() {
  // Looked up, not imported: it is missing on systems without the update.
  auto set_default = KernelEntryPoint<SetDefaultDllDirectoriesProc>("SetDefaultDllDirectories");
  if (set_default != nullptr && set_default(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    g_search_flags = true;
    return;
  }
  // An older system searches the program's folder first for every DLL that
  // is not one of its known DLLs. Take the current folder out of the search,
  // and load now, from the system folder, the DLLs that the window manager,
  // COM and the shell load later by their bare names: a DLL once loaded is
  // what every later load of that name gets.
  SetDllDirectoryW(L"");
  const wchar_t* later[] = {
      L"uxtheme.dll", L"dwmapi.dll",  L"version.dll", L"cryptbase.dll", L"propsys.dll", L"profapi.dll",
      L"ntmarta.dll", L"sspicli.dll", L"apphelp.dll", L"msctf.dll",     L"oleacc.dll",  L"comctl32.dll",
      L"clbcatq.dll", L"shcore.dll",  L"shlwapi.dll", L"imm32.dll",     L"ole32.dll",   L"shell32.dll",
  };
  for (const wchar_t* name : later) LoadSystemLibrary(name);
}

const PlatformApi* NativePlatform() { return &kWin32Platform; }
const PlatformApi* Os = &kWin32Platform;
