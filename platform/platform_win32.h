// What the Windows program's entry and the Win32 layer's own tests need of
// the Win32 platform layer beyond the seam itself.
#pragma once

#include <windows.h>

// Restricts the DLL search of the whole process to the system folder. The
// entry calls it first, before anything can load a DLL by name.
void RestrictDllSearch();

// Asks Windows not to let this process follow a junction or a symbolic link
// that a non-administrator made (RedirectionGuard: Windows 10 22H2, Windows
// 11). Where the system lacks it, nothing happens; the seam's own check of
// links before every write, and this layer's own refusal of them (by handle,
// on folders held open while it acts), stand either way.
void EnableRedirectionGuard();

// The calls of the layer that the tests replace to produce what Wine cannot
// (a scanner holding a file, a replacement that fails halfway) or to act in
// the middle of an operation. None: the system's own, looked up when first
// needed.
struct Win32Calls {
  BOOL(WINAPI* ReplaceFile)(LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup, DWORD flags, LPVOID, LPVOID);
  BOOL(WINAPI* MoveFileEx)(LPCWSTR from, LPCWSTR to, DWORD flags);
  // ntdll's NtSetInformationFile (an NTSTATUS; `status_block` is an
  // IO_STATUS_BLOCK): every rename, delete and attribute change of the
  // layer goes through it, on a handle.
  LONG(WINAPI* SetInformationFile)(HANDLE file, PVOID status_block, PVOID data, ULONG size, int kind);
  BOOL(WINAPI* SetProcessMitigationPolicy)(int policy, PVOID data, SIZE_T size);
  void(WINAPI* Sleep)(DWORD milliseconds);
  // Called by every operation that changes the file system once the
  // folders of its path are pinned (platform_win32.cpp), just before it
  // acts on them. None: nothing is called.
  void (*FoldersPinned)();
};
extern Win32Calls Win32Kernel;
