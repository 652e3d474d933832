// The Win32 platform layer. Every text crosses this seam in code page 932 and
// is converted explicitly to UTF-16 for the wide functions, so the program
// behaves the same on a Japanese system and on one with any other code page.
#include <windows.h>

#include <cstring>

#include "common/text.h"
#include "platform/platform.h"

namespace {

constexpr UINT kCodePage = 932;

struct WideText {
  wchar_t text[1024];
};

// A text in UTF-16; a text that does not fit comes out empty, so that the
// operation using it fails rather than acting on a cut path.
WideText Wide(const char* text) {
  WideText w;
  if (MultiByteToWideChar(kCodePage, 0, text, -1, w.text, 1024) == 0) w.text[0] = L'\0';
  return w;
}

HANDLE HandleOf(PlatformFile file) { return static_cast<HANDLE>(file); }

PlatformFile Win32CreateTempFileBeside(const char* near_path, char* temp_path) {
  // The folder part: up to the last separator that is a character of its own,
  // or the drive ("C:") of a path such as "C:name".
  size_t folder = 0;
  for (const char* p = near_path; *p != '\0'; p = NextChar(p)) {
    if (NextChar(p) == p + 1 && (*p == '\\' || *p == '/')) folder = size_t(p - near_path) + 1;
  }
  if (folder == 0 && near_path[0] != '\0' && near_path[1] == ':') folder = 2;
  static LONG counter = 0;
  DWORD stamp = GetCurrentProcessId() * 2654435761u ^ GetTickCount();
  for (int attempt = 0; attempt < 100; ++attempt) {
    DWORD unique = stamp + DWORD(InterlockedIncrement(&counter));
    char name[32];
    FormatText(name, sizeof name, "~ks%08X.tmp", unique);
    if (folder + strlen(name) >= 1024) return nullptr;
    memcpy(temp_path, near_path, folder);
    CopyText(temp_path + folder, 1024 - folder, name);
    HANDLE h = CreateFileW(Wide(temp_path).text, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) return h;
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) return nullptr;
  }
  return nullptr;
}

PlatformFile Win32OpenFileForRead(const char* path) {
  HANDLE h = CreateFileW(Wide(path).text, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

int Win32WriteFile(PlatformFile file, const void* data, uint32_t size) {
  DWORD written = 0;
  return ::WriteFile(HandleOf(file), data, size, &written, nullptr) && written == size;
}

int Win32ReadFile(PlatformFile file, void* data, uint32_t size, uint32_t* read_bytes) {
  DWORD got = 0;
  if (!::ReadFile(HandleOf(file), data, size, &got, nullptr)) return 0;
  *read_bytes = got;
  return 1;
}

int Win32GetFileSize(PlatformFile file, uint32_t* size) {
  LARGE_INTEGER value;
  if (!GetFileSizeEx(HandleOf(file), &value) || value.QuadPart > 0xFFFFFFFFll) return 0;
  *size = uint32_t(value.QuadPart);
  return 1;
}

int Win32GetLastWriteTime(PlatformFile file, uint64_t* time) {
  FILETIME ft;
  if (!GetFileTime(HandleOf(file), nullptr, nullptr, &ft)) return 0;
  *time = uint64_t(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
  return 1;
}

int Win32SetFileTimes(PlatformFile file, uint64_t time) {
  FILETIME ft;
  ft.dwLowDateTime = DWORD(time);
  ft.dwHighDateTime = DWORD(time >> 32);
  return SetFileTime(HandleOf(file), &ft, &ft, &ft) != 0;
}

void Win32CloseFile(PlatformFile file) { CloseHandle(HandleOf(file)); }

int Win32ReplaceFile(const char* from, const char* to) {
  return MoveFileExW(Wide(from).text, Wide(to).text, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

int Win32DeleteFile(const char* path) { return DeleteFileW(Wide(path).text) != 0; }

uint32_t Win32GetAttributes(const char* path) { return GetFileAttributesW(Wide(path).text); }

int Win32SetAttributes(const char* path, uint32_t attributes) {
  return SetFileAttributesW(Wide(path).text, attributes) != 0;
}

int Win32CreateFolder(const char* path) { return CreateDirectoryW(Wide(path).text, nullptr) != 0; }

typedef BOOL(WINAPI* FreeSpaceExW)(LPCWSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);

FreeSpaceEntry Win32FindFreeSpaceEx() {
  HMODULE kernel = LoadLibraryW(L"kernel32.dll");
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

int Win32MessageBox(PlatformWindow owner, const char* text, const char* caption, uint32_t kind) {
  return MessageBoxW(static_cast<HWND>(owner), Wide(text).text, Wide(caption).text, kind);
}

const PlatformApi kWin32Platform = {
    Win32CreateTempFileBeside, Win32OpenFileForRead, Win32WriteFile,  Win32ReadFile,
    Win32GetFileSize,          Win32GetLastWriteTime, Win32SetFileTimes, Win32CloseFile,
    Win32ReplaceFile,          Win32DeleteFile,      Win32GetAttributes, Win32SetAttributes,
    Win32CreateFolder,         Win32FindFreeSpaceEx, Win32CallFreeSpaceEx, Win32FreeSpaceByClusters,
    Win32Alloc,                Win32Free,            Win32MessageBox,
};

}  // namespace

const PlatformApi* NativePlatform() { return &kWin32Platform; }
const PlatformApi* Os = &kWin32Platform;
