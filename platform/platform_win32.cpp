// The Win32 platform layer. Every text crosses this seam in code page 932 and
// is converted explicitly to UTF-16 for the wide functions, so the program
// behaves the same on a Japanese system and on one with any other code page.
#include <windows.h>
#include <aclapi.h>
#include <objbase.h>
#include <sddl.h>
#include <shellapi.h>

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
  for (int attempt = 0; attempt < 100; ++attempt) {
    DWORD unique = stamp + DWORD(InterlockedIncrement(&counter));
    char name[32];
    FormatText(name, sizeof name, "~ks%08X.tmp", unique);
    if (folder + strlen(name) >= kPlatformTextSize) return nullptr;
    memcpy(temp_path, near_path, folder);
    CopyText(temp_path + folder, kPlatformTextSize - folder, name);
    // Delete access: the finished file is renamed through this handle.
    HANDLE h = CreateFileW(WidePath(temp_path).text, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) return h;
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) return nullptr;
  }
  return nullptr;
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

// Renames the open file itself (Vista and later): nothing that happens to
// the name in the meantime can put another file in its place.
bool RenameOpenFile(HANDLE file, const wchar_t* to) {
  auto set_information = Win32Kernel.SetFileInformationByHandle;
  if (set_information == nullptr)
    set_information = KernelEntryPoint<decltype(set_information)>("SetFileInformationByHandle");
  size_t chars = wcslen(to);
  if (set_information == nullptr || chars >= kPlatformTextSize) return false;
  union {
    FILE_RENAME_INFO info;
    char room[sizeof(FILE_RENAME_INFO) + kPlatformTextSize * sizeof(wchar_t)];
  } rename = {};
  rename.info.ReplaceIfExists = FALSE;
  rename.info.RootDirectory = nullptr;
  rename.info.FileNameLength = DWORD(chars * sizeof(wchar_t));
  memcpy(rename.info.FileName, to, (chars + 1) * sizeof(wchar_t));
  return UntilNotBusy([&] { return set_information(file, FileRenameInfo, &rename, DWORD(sizeof rename)) != 0; });
}

int Win32CommitFile(PlatformFile file, const char* temp_path, const char* to, const uint64_t* time) {
  HANDLE handle = HandleOf(file);
  WideText temp = WidePath(temp_path), target = WidePath(to);
  DWORD attributes = GetFileAttributesW(target.text);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    if (RenameOpenFile(handle, target.text)) {
      if (time != nullptr) SetAllTimes(handle, *time);
      CloseHandle(handle);
      return 1;
    }
    // A system without the rename by handle: by name, never over a file
    // that appeared meanwhile.
    CloseHandle(handle);
    if (!UntilNotBusy([&] { return Win32Kernel.MoveFileEx(temp.text, target.text, MOVEFILE_WRITE_THROUGH) != 0; }))
      return 0;
  } else {
    CloseHandle(handle);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return 0;
    // ReplaceFile keeps the destination's security descriptor, streams and
    // attributes. It moves the old file to the backup name, then the new one
    // to the target's: a replacement that stops between the two (or a power
    // cut there) leaves the old file under a name found again from the
    // target's, from where it is put back, now or at the next start.
    char backup_path[kPlatformTextSize];
    CopyText(backup_path, sizeof backup_path, to);
    if (!AppendText(backup_path, sizeof backup_path, kBackupSuffix)) return 0;
    WideText backup = WidePath(backup_path);
    // What is at that name was left by a run whose replacement completed
    // (its target is there): an older version, or a link of somebody's,
    // which a delete removes itself, never what it leads to.
    if (GetFileAttributesW(backup.text) != INVALID_FILE_ATTRIBUTES && !Win32Kernel.DeleteFile(backup.text)) return 0;
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
    Win32Kernel.DeleteFile(backup.text);
    // Not every implementation carries the attributes over.
    if (GetFileAttributesW(target.text) != attributes) SetFileAttributesW(target.text, attributes);
  }
  if (time != nullptr) {
    HANDLE final_file =
        CreateFileW(target.text, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (final_file != INVALID_HANDLE_VALUE) {
      if (time != nullptr) SetAllTimes(final_file, *time);
      CloseHandle(final_file);
    }
  }
  return 1;
}

int Win32RemoveFile(const char* path) { return Win32Kernel.DeleteFile(WidePath(path).text) != 0; }

PlatformFile Win32OpenFileForMove(const char* path) {
  // Delete access: the file is renamed through this handle.
  HANDLE h = CreateFileW(WidePath(path).text, GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

int Win32RemoveFolder(const char* path) { return RemoveDirectoryW(WidePath(path).text) != 0; }

uint32_t Win32GetAttributes(const char* path) { return GetFileAttributesW(WidePath(path).text); }

int Win32SetAttributes(const char* path, uint32_t attributes) {
  return SetFileAttributesW(WidePath(path).text, attributes) != 0;
}

int Win32CreateFolder(const char* path) { return CreateDirectoryW(WidePath(path).text, nullptr) != 0; }

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

typedef BOOL(WINAPI* GetFileInformationByHandleExProc)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);

// What the name at `path` (with its `attributes`) is as a link: the link
// itself is opened, never what it leads to.
LinkKind LinkOfWide(const wchar_t* path, DWORD attributes) {
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return kNoLink;
  HANDLE h =
      CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kOtherLink;
  // A reparse point that stands for no other name (a file of a cloud drive,
  // deduplicated data) leads nowhere else. One whose tag cannot be read
  // (Wine reports none for the host's symbolic links) counts as a link.
  auto tag_info = KernelEntryPoint<GetFileInformationByHandleExProc>("GetFileInformationByHandleEx");
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  constexpr DWORD kNameSurrogate = 0x20000000;  // IsReparseTagNameSurrogate
  if (tag_info != nullptr && tag_info(h, FileAttributeTagInfo, &tag, sizeof tag) && tag.ReparseTag != 0 &&
      !(tag.ReparseTag & kNameSurrogate)) {
    CloseHandle(h);
    return kNoLink;
  }
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

LinkKind Win32LinkAt(const char* path) {
  WideText wide = WidePath(path);
  return LinkOfWide(wide.text, GetFileAttributesW(wide.text));
}

int Win32TouchLastWriteTime(const char* path) {
  // Attribute access alone: granted on a read-only file, and it cannot
  // change a byte of the content.
  HANDLE h =
      CreateFileW(WidePath(path).text, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  int ok = SetFileTime(h, nullptr, nullptr, &now) != 0;
  CloseHandle(h);
  return ok;
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
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  int made = 0;
  for (int attempt = 0; attempt < 8 && !made; ++attempt) {
    uint8_t bytes[8];
    char name[kPlatformTextSize];
    if (!RandomBytes(bytes, sizeof bytes)) break;
    FormatText(name, sizeof name, "%s%02x%02x%02x%02x%02x%02x%02x%02x", prefix, bytes[0], bytes[1], bytes[2], bytes[3],
               bytes[4], bytes[5], bytes[6], bytes[7]);
    CopyText(path, kPlatformTextSize, parent);
    if (!AppendPathComponent(path, kPlatformTextSize, name)) break;
    if (CreateDirectoryW(WidePath(path).text, &attributes)) {
      made = 1;
    } else if (GetLastError() != ERROR_ALREADY_EXISTS) {
      break;
    }
  }
  LocalFree(descriptor);
  return made;
}

int Win32TakeFolderAccess(const char* path) {
  // An empty list that is not protected: the system puts in it what the
  // folder passes on to its files, and nothing of the file's own.
  ACL empty;
  if (!InitializeAcl(&empty, sizeof empty, ACL_REVISION)) return 0;
  wchar_t full[kPlatformTextSize];
  DWORD n = GetFullPathNameW(Wide(path).text, kPlatformTextSize, full, nullptr);
  if (n == 0 || n >= kPlatformTextSize) return 0;
  return SetNamedSecurityInfoW(full, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                               nullptr, nullptr, &empty, nullptr) == ERROR_SUCCESS;
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
  const COMPUTER_NAME_FORMAT formats[] = {ComputerNameNetBIOS,         ComputerNameDnsHostname,
                                          ComputerNameDnsFullyQualified, ComputerNamePhysicalNetBIOS,
                                          ComputerNamePhysicalDnsHostname, ComputerNamePhysicalDnsFullyQualified};
  for (COMPUTER_NAME_FORMAT format : formats) {
    wchar_t own[kPlatformTextSize];
    DWORD size = kPlatformTextSize;
    if (GetComputerNameExW(format, own, &size) && own[0] != L'\0' && lstrcmpiW(own, name.text) == 0) return 1;
  }
  return 0;
}

typedef BOOL(WINAPI* FreeSpaceExW)(LPCWSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);

FreeSpaceEntry Win32FindFreeSpaceEx() {
  HMODULE kernel = LoadSystemLibrary(L"kernel32.dll");
  if (kernel == nullptr) return nullptr;
  FARPROC entry = GetProcAddress(kernel, "GetDiskFreeSpaceExW");
  FreeLibrary(kernel);  // kernel32 stays mapped for the life of the process
  return reinterpret_cast<FreeSpaceEntry>(entry);
}

int Win32CallFreeSpaceEx(FreeSpaceEntry entry, const char* root, uint64_t* free_to_caller, uint64_t* total,
                         uint64_t* total_free) {
  ULARGE_INTEGER f, t, tf;
  if (!reinterpret_cast<FreeSpaceExW>(entry)(Wide(root).text, &f, &t, &tf)) return 0;
  *free_to_caller = f.QuadPart;
  *total = t.QuadPart;
  *total_free = tf.QuadPart;
  return 1;
}

int Win32FreeSpaceByClusters(const char* root, uint32_t* sectors_per_cluster, uint32_t* bytes_per_sector,
                             uint32_t* free_clusters, uint32_t* total_clusters) {
  DWORD spc, bps, fc, tc;
  if (!GetDiskFreeSpaceW(Wide(root).text, &spc, &bps, &fc, &tc)) return 0;
  *sectors_per_cluster = spc;
  *bytes_per_sector = bps;
  *free_clusters = fc;
  *total_clusters = tc;
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

PlatformWindow Win32FindTopWindow(const char* class_name, const char* title) {
  const wchar_t* window_class = reinterpret_cast<const wchar_t*>(uintptr_t(0x8002));  // the dialog class atom
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

// Makes every missing folder on the way to `path`'s own folder, as the shell
// does on Windows for FOF_NOCONFIRMMKDIR (Wine's shell would make a file).
void MakeParentFolders(const wchar_t* path) {
  wchar_t partial[kPlatformTextSize];
  size_t n = wcslen(path);
  if (n >= kPlatformTextSize) return;
  for (size_t i = 0; i < n; ++i) {
    if ((path[i] == L'\\' || path[i] == L'/') && i > 2) {
      memcpy(partial, path, i * sizeof(wchar_t));
      partial[i] = L'\0';
      CreateDirectoryW(partial, nullptr);
    }
  }
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
  DWORD attributes = GetFileAttributesW(source.text);
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    MakeParentFolders(destination.text);
  SHFILEOPSTRUCTW operation = {};
  operation.hwnd = static_cast<HWND>(owner);
  operation.wFunc = FO_COPY;
  operation.pFrom = source.text;
  operation.pTo = destination.text;
  operation.fFlags = flags;
  HMODULE shell = LoadSystemLibrary(L"shell32.dll");
  auto copy = EntryPoint<ShFileOperationProc>(shell, "SHFileOperationW");
  if (copy == nullptr) return result;
  int failed = copy(&operation);
  result.Failed = failed != 0;
  result.Aborted = operation.fAnyOperationsAborted != FALSE;
  return result;
}

const PlatformApi kWin32Platform = {
    .CreateTempFileBeside = Win32CreateTempFileBeside,
    .OpenFileForRead = Win32OpenFileForRead,
    .WriteFileBytes = Win32WriteFileBytes,
    .ReadFileBytes = Win32ReadFileBytes,
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
    .FindFreeSpaceEx = Win32FindFreeSpaceEx,
    .CallFreeSpaceEx = Win32CallFreeSpaceEx,
    .FreeSpaceByClusters = Win32FreeSpaceByClusters,
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
    .DriveType = Win32DriveType,
    .QuietDriveErrors = Win32QuietDriveErrors,
    .RestoreDriveErrors = Win32RestoreDriveErrors,
    .ShellCopy = Win32ShellCopy,
};

}  // namespace

Win32Calls Win32Kernel = {ReplaceFileW, MoveFileExW, DeleteFileW, nullptr, nullptr, Sleep};

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
