// The Win32 layer's file operations with the faults Wine cannot produce (a
// scanner that holds a file for a moment, or for good; a replacement that
// stops halfway), made by replacing the system calls the layer goes
// through; the RedirectionGuard request; what this system does with links;
// and the layer's own refusal of links that no administrator made, by
// handle, with the folders of each path pinned while it acts (Windows
// builds only).
#include <windows.h>
#include <aclapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "archive/file_output.h"
#include "common/text.h"
#include "common/update_state.h"
#include "flow/recovery.h"
#include "platform/platform.h"
#include "platform/platform_win32.h"
#include "tests/support/test_files.h"

namespace {

constexpr uint64_t kTime = 133000000000000000ull;

// What the replaced calls do: fail with `error` the first `failures` times
// (or always, with -1), then do what the system does.
struct Faults {
  int failures = 0;
  DWORD error = ERROR_SHARING_VIOLATION;
  LONG status = LONG(0xC0000043);  // STATUS_SHARING_VIOLATION, for the calls of ntdll
  int calls = 0;
  bool Fail() {
    ++calls;
    if (failures != -1 && calls > failures) return false;
    SetLastError(error);
    return true;
  }
};
Faults g_replace, g_move, g_rename;
int g_sleeps = 0;
bool g_halfway = false;  // ReplaceFile moves the old file to the backup name, then stops

BOOL WINAPI FakeReplaceFile(LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup, DWORD flags, LPVOID a, LPVOID b) {
  if (g_halfway) {
    ++g_replace.calls;
    MoveFileExW(replaced, backup, MOVEFILE_REPLACE_EXISTING);
    SetLastError(ERROR_UNABLE_TO_MOVE_REPLACEMENT_2);
    return FALSE;
  }
  if (g_replace.Fail()) return FALSE;
  return ReplaceFileW(replaced, replacement, backup, flags, a, b);
}
BOOL WINAPI FakeMoveFileEx(LPCWSTR from, LPCWSTR to, DWORD flags) {
  if (g_move.Fail()) return FALSE;
  return MoveFileExW(from, to, flags);
}
typedef LONG(WINAPI* SetInformationProc)(HANDLE, PVOID, PVOID, ULONG, int);
LONG WINAPI FakeSetInformation(HANDLE file, PVOID status_block, PVOID data, ULONG size, int kind) {
  constexpr int kFileRenameInformation = 10;
  if (kind == kFileRenameInformation && g_rename.Fail()) return g_rename.status;
  static auto real = reinterpret_cast<SetInformationProc>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetInformationFile")));
  return real(file, status_block, data, size, kind);
}
void WINAPI CountSleep(DWORD) { ++g_sleeps; }

int g_policy = -1;
DWORD g_flags = 0;
SIZE_T g_size = 0;
BOOL WINAPI RecordPolicy(int policy, PVOID data, SIZE_T size) {
  g_policy = policy;
  g_flags = *static_cast<DWORD*>(data);
  g_size = size;
  return TRUE;
}

class Win32LayerTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    saved_ = Win32Kernel;
    g_replace = g_move = g_rename = Faults{};
    g_sleeps = 0;
    g_halfway = false;
    Win32Kernel = {FakeReplaceFile, FakeMoveFileEx, FakeSetInformation, nullptr, CountSleep, nullptr};
    os = NativePlatform();
  }
  void TearDown() override {
    Win32Kernel = saved_;
    PlatformTest::TearDown();
  }
  Win32Calls saved_;
  const PlatformApi* os = nullptr;  // the layer itself, without the check of links in front of it
};

TEST_F(Win32LayerTest, ABusyReplacementIsTriedAgain) {
  std::string path = folder.Join("GAME.EXE");
  WriteWholeFile(path, "old");
  g_replace.failures = 3;
  ASSERT_EQ(WriteBufferToFile(path.c_str(), "new", 3, &kTime), 1);
  EXPECT_EQ(ReadWholeFile(path), "new");
  EXPECT_EQ(g_replace.calls, 4);
  EXPECT_EQ(g_sleeps, 3);
  EXPECT_EQ(folder.CountEntries(), 1) << "no temporary or backup file is left";
}

TEST_F(Win32LayerTest, ABusyRenameOfANewFileIsTriedAgain) {
  std::string path = folder.Join("NEW.DAT");
  g_rename.failures = 2;
  g_rename.status = LONG(0xC0000022);  // STATUS_ACCESS_DENIED
  ASSERT_EQ(WriteBufferToFile(path.c_str(), "new", 3, &kTime), 1);
  EXPECT_EQ(ReadWholeFile(path), "new");
  EXPECT_EQ(g_sleeps, 2);
}

// A file held for good: about two seconds of tries, then a clean failure.
TEST_F(Win32LayerTest, AReplacementBusyForGoodFailsCleanly) {
  std::string path = folder.Join("GAME.EXE");
  WriteWholeFile(path, "old");
  g_replace.failures = -1;
  EXPECT_EQ(WriteBufferToFile(path.c_str(), "new", 3, &kTime), 0);
  EXPECT_EQ(ReadWholeFile(path), "old");
  EXPECT_EQ(g_replace.calls, 10);
  EXPECT_EQ(g_sleeps, 9);
  EXPECT_EQ(folder.CountEntries(), 1) << "the temporary file and the backup name are gone";
}

// Another error is no scanner's: no second try.
TEST_F(Win32LayerTest, OtherErrorsAreNotTriedAgain) {
  std::string path = folder.Join("GAME.EXE");
  WriteWholeFile(path, "old");
  g_replace.failures = -1;
  g_replace.error = ERROR_DISK_FULL;
  EXPECT_EQ(WriteBufferToFile(path.c_str(), "new", 3, &kTime), 0);
  EXPECT_EQ(g_replace.calls, 1);
  EXPECT_EQ(g_sleeps, 0);
}

// The replacement stops after the old file went to the backup name: it is
// put back.
TEST_F(Win32LayerTest, AReplacementStoppedHalfwayPutsTheOldFileBack) {
  std::string path = folder.Join("GAME.EXE");
  WriteWholeFile(path, "old");
  g_halfway = true;
  EXPECT_EQ(WriteBufferToFile(path.c_str(), "new", 3, &kTime), 0);
  EXPECT_EQ(ReadWholeFile(path), "old");
  EXPECT_EQ(folder.CountEntries(), 1);
}

// And when the old file cannot be put back either, its backup is the only
// copy of the player's file: it stays, never deleted.
TEST_F(Win32LayerTest, AnOldFileThatCannotBePutBackIsKept) {
  std::string path = folder.Join("GAME.EXE");
  WriteWholeFile(path, "old");
  g_halfway = true;
  g_move.failures = -1;
  EXPECT_EQ(WriteBufferToFile(path.c_str(), "new", 3, &kTime), 0);
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(ReadWholeFile(path + kBackupSuffix), "old") << "under a name found again from the target's";
  EXPECT_EQ(folder.CountEntries(), 1);
}

// The next start puts it back, as the system's own rename (on Windows, where
// the names and the rename by handle are the Win32 layer's).
TEST_F(Win32LayerTest, TheNextStartPutsBackAnOldFileLeftAside) {
  std::string path = folder.Join("GAME.EXE");
  WriteWholeFile(path, "old", kTime);
  g_halfway = true;
  g_move.failures = -1;
  EXPECT_EQ(WriteBufferToFile(path.c_str(), "new", 3, &kTime), 0);
  Win32Kernel = saved_;
  CopyText(UpdateState.InstPath, kPathSize, folder.path().c_str());
  RepairInterruptedRun();
  EXPECT_EQ(ReadWholeFile(path), "old");
  EXPECT_EQ(LastWriteTime(path), kTime) << "the very file that was there";
  EXPECT_EQ(folder.CountEntries(), 1);
}

// A backup left by a run whose replacement completed is an older version:
// the next replacement takes its name.
TEST_F(Win32LayerTest, AStaleBackupMakesWayForTheNextReplacement) {
  std::string path = folder.Join("GAME.EXE");
  WriteWholeFile(path, "current");
  WriteWholeFile(path + kBackupSuffix, "older");
  ASSERT_EQ(WriteBufferToFile(path.c_str(), "new", 3, &kTime), 1);
  EXPECT_EQ(ReadWholeFile(path), "new");
  EXPECT_EQ(folder.CountEntries(), 1);
}

TEST_F(Win32LayerTest, RedirectionGuardIsAskedFor) {
  Win32Kernel.SetProcessMitigationPolicy = RecordPolicy;
  EnableRedirectionGuard();
  EXPECT_EQ(g_policy, 16) << "ProcessRedirectionTrustPolicy";
  EXPECT_EQ(g_flags, 1u) << "EnforceRedirectionTrust";
  EXPECT_EQ(g_size, sizeof(DWORD));
}

// What this system does with links, printed as a trace: Windows makes a
// directory symbolic link (for an administrator, or in developer mode) and
// reports it as a reparse point owned by its maker; Wine 8 accepts the call
// and makes nothing (the host's own symbolic links, which it does report as
// reparse points owned by the user, are made by the tests below and end to
// end).
TEST_F(Win32LayerTest, WhatThisSystemDoesWithLinks) {
  std::string real = folder.Join("real"), link = folder.Join("link");
  MakeFolder(real);
  EXPECT_EQ(NativePlatform()->LinkAt(real.c_str()), kNoLink);
  EXPECT_EQ(NativePlatform()->LinkAt(folder.Join("nothing").c_str()), kNoLink);
  BOOL made = CreateSymbolicLinkA(link.c_str(), real.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);
  DWORD attributes = GetFileAttributesA(link.c_str());
  LinkKind kind = NativePlatform()->LinkAt(link.c_str());
  printf("trace: CreateSymbolicLink %s (error %lu); the name's attributes %#lx; LinkAt %d\n",
         made ? "succeeded" : "failed", made ? 0ul : GetLastError(), attributes, int(kind));
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    EXPECT_NE(kind, kNoLink);
  }
}

// --- Links that the player's own programs made -----------------------------------

std::wstring WideOf(const std::string& text) {
  wchar_t wide[1024];
  if (MultiByteToWideChar(932, 0, text.c_str(), -1, wide, 1024) == 0) wide[0] = L'\0';
  return wide;
}

std::wstring FromUtf8(const char* text) {
  wchar_t wide[1024];
  if (MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, 1024) == 0) wide[0] = L'\0';
  return wide;
}

std::string ToUtf8(const std::wstring& wide) {
  char bytes[4096];
  if (WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, bytes, sizeof bytes, nullptr, nullptr) == 0) bytes[0] = '\0';
  return bytes;
}

bool UnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

bool IsLink(const std::string& path) {
  DWORD attributes = GetFileAttributesW(WideOf(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// On Windows: a junction (which needs no privilege) at `link`, given to the
// user as its owner, where an elevated test would give it to the
// Administrators group.
bool MakeUsersJunction(const std::wstring& link, const std::wstring& target) {
  wchar_t full[1024];
  DWORD n = GetFullPathNameW(target.c_str(), 1024, full, nullptr);
  if (n == 0 || n >= 1024) return false;
  std::wstring substitute = L"\\??\\" + std::wstring(full), print = full;
  struct {
    DWORD tag;
    WORD data_length, reserved, substitute_offset, substitute_length, print_offset, print_length;
    WCHAR names[2100];
  } buffer = {};
  WORD substitute_bytes = WORD(substitute.size() * sizeof(WCHAR)), print_bytes = WORD(print.size() * sizeof(WCHAR));
  buffer.tag = IO_REPARSE_TAG_MOUNT_POINT;
  buffer.substitute_length = substitute_bytes;
  buffer.print_offset = WORD(substitute_bytes + sizeof(WCHAR));
  buffer.print_length = print_bytes;
  memcpy(buffer.names, substitute.c_str(), substitute_bytes);
  memcpy(buffer.names + substitute.size() + 1, print.c_str(), print_bytes);
  buffer.data_length = WORD(8 + substitute_bytes + print_bytes + 2 * sizeof(WCHAR));
  if (!CreateDirectoryW(link.c_str(), nullptr)) return false;
  HANDLE h = CreateFileW(link.c_str(), GENERIC_WRITE | WRITE_OWNER, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD returned = 0;
  bool made =
      DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, &buffer, 8 + buffer.data_length, nullptr, 0, &returned, nullptr) != 0;
  HANDLE token = nullptr;
  union {
    TOKEN_USER user;
    char room[256];
  } who;
  DWORD length = 0;
  made = made && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
         GetTokenInformation(token, TokenUser, &who, sizeof who, &length) &&
         SetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, who.user.User.Sid, nullptr, nullptr, nullptr) ==
             ERROR_SUCCESS;
  if (token != nullptr) CloseHandle(token);
  CloseHandle(h);
  return made;
}

// A link at `link` to the folder `target`, as a program of the player's,
// unelevated, can make one. Under Wine, a symbolic link of the host, which
// Wine shows as a reparse point owned by the user (Wine 8 makes nothing for
// CreateSymbolicLink): the host's own ln makes it, started as Wine starts
// any program of the host. False when this system cannot make one.
bool MakePlayersLink(const std::string& link, const std::string& target) {
  std::wstring wide_link = WideOf(link), wide_target = WideOf(target);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  auto unix_name = reinterpret_cast<char*(CDECL*)(const wchar_t*)>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_unix_file_name")));
  auto dos_name = reinterpret_cast<wchar_t*(CDECL*)(const char*)>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_dos_file_name")));
  if (unix_name == nullptr || dos_name == nullptr) return MakeUsersJunction(wide_link, wide_target);
  char* unix_target = unix_name(wide_target.c_str());
  char* unix_link = unix_name(wide_link.c_str());
  wchar_t* ln = dos_name("/bin/ln");
  bool started = false;
  if (unix_target != nullptr && unix_link != nullptr && ln != nullptr) {
    std::wstring command = L"ln -sT \"" + FromUtf8(unix_target) + L"\" \"" + FromUtf8(unix_link) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    started = CreateProcessW(ln, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process) != 0;
  }
  for (void* block : {static_cast<void*>(unix_target), static_cast<void*>(unix_link), static_cast<void*>(ln)})
    if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
  // Wine gives no handle of a host program to wait for: the link is made
  // once it shows.
  for (int tries = 0; started && tries < 400; ++tries) {
    if (IsLink(link)) return true;
    Sleep(25);
  }
  return false;
}

// Everything in a folder tree, the folder itself included: each name with
// its attributes, last-write time and content.
std::string TreeOf(const std::string& folder) {
  namespace fs = std::filesystem;
  fs::path root = WideOf(folder);
  std::ostringstream out;
  auto describe = [&](const fs::path& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) data.dwFileAttributes = 0;
    out << ToUtf8(path.lexically_relative(root).wstring()) << " " << std::hex << data.dwFileAttributes << " "
        << data.ftLastWriteTime.dwHighDateTime << ":" << data.ftLastWriteTime.dwLowDateTime;
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      std::ifstream in(path, std::ios::binary);
      out << " " << std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    out << "\n";
  };
  describe(root);
  std::error_code error;
  for (auto& entry : fs::recursive_directory_iterator(root, error)) describe(entry.path());
  return out.str();
}

// What the operations below work in: game\data, the folder they go through
// (in some tests a player's link), and elsewhere, a folder such a link
// leads to; both hold the same names.
struct Scene {
  const PlatformApi* os;
  std::string root, game, data, elsewhere;
};

void FillLikeAGameFolder(const std::string& path) {
  MakeFolder(path);
  WriteWholeFile(path + "\\keep", "kept", kTime);
  WriteWholeFile(path + "\\OLD.DAT", "old", kTime);
  MakeFolder(path + "\\SUB");
}

Scene MakeScene(const PlatformApi* os, const std::string& root) {
  Scene scene = {os, root, root + "\\game", root + "\\game\\data", root + "\\elsewhere"};
  MakeFolder(root);
  MakeFolder(scene.game);
  FillLikeAGameFolder(scene.elsewhere);
  WriteWholeFile(root + "\\SOURCE.DAT", "copied");
  MakeFolder(root + "\\SOURCE");
  WriteWholeFile(root + "\\SOURCE\\INNER.DAT", "inner");
  return scene;
}

// A player's program that swaps a folder for a link to another while an
// operation goes through it: it tries to move the folder aside and, once
// that worked, puts its link in the folder's place. Called by the layer once
// the folders of an operation's path are pinned, just before it acts.
struct Swap {
  bool armed = false, tried = false, moved = false;
  std::string folder, link_to;
} g_swap;

void SwapTheFolderForALink() {
  if (!g_swap.armed) return;
  g_swap.armed = false;
  g_swap.tried = true;
  g_swap.moved = MoveFileW(WideOf(g_swap.folder).c_str(), WideOf(g_swap.folder + ".old").c_str()) != 0;
  if (g_swap.moved) MakePlayersLink(g_swap.folder, g_swap.link_to);
}

// The next operation is the one to race (when a test races at all).
void Race() { g_swap.armed = !g_swap.folder.empty(); }

// A temporary file of the game's own folder with "new" written to it.
PlatformFile NewTemporaryFile(const Scene& s, char* temp) {
  PlatformFile file = s.os->CreateTempFileBeside((s.game + "\\GAME.EXE").c_str(), temp);
  if (file != nullptr) s.os->WriteFileBytes(file, "new", 3);
  return file;
}

// The names in a folder (a path of any length).
std::vector<std::wstring> NamesIn(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((L"\\\\?\\" + folder + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) names.push_back(found.cFileName);
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return names;
}

int NamesStartingWith(const std::string& folder, const std::string& prefix) {
  int n = 0;
  for (const std::wstring& name : NamesIn(WideOf(folder))) n += ToUtf8(name).rfind(prefix, 0) == 0;
  return n;
}

// Removes a tree of real folders (no links) of any length.
void RemoveLongTree(const std::wstring& path) {
  std::wstring verbatim = L"\\\\?\\" + path;
  SetFileAttributesW(verbatim.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!(GetFileAttributesW(verbatim.c_str()) & FILE_ATTRIBUTE_DIRECTORY)) {
    DeleteFileW(verbatim.c_str());
    return;
  }
  for (const std::wstring& name : NamesIn(path)) RemoveLongTree(path + L"\\" + name);
  RemoveDirectoryW(verbatim.c_str());
}

// Every operation of the layer that changes the file system, on a name in
// game\data or on game\data itself: true when the layer reports success.
// `effect` checks, in a data folder the operation reached, what it did.
struct Operation {
  const char* name;
  bool on_the_folder_itself;
  bool by_the_shell;  // the shell takes no path longer than MAX_PATH
  std::function<bool(const Scene&)> run;
  std::function<void(const Scene&)> effect;
};

const Operation kOperations[] = {
    {"a folder made in it", false, false,
     [](const Scene& s) { return Race(), s.os->CreateFolder((s.data + "\\NEW").c_str()) != 0; },
     [](const Scene& s) { EXPECT_NE(GetFileAttributesW(WideOf(s.data + "\\NEW").c_str()), INVALID_FILE_ATTRIBUTES); }},
    {"a temporary file made in it", false, false,
     [](const Scene& s) {
       char temp[kPlatformTextSize];
       Race();
       PlatformFile file = s.os->CreateTempFileBeside((s.data + "\\NEW.DAT").c_str(), temp);
       if (file != nullptr) s.os->CloseFile(file);
       return file != nullptr;
     },
     [](const Scene& s) { EXPECT_EQ(NamesStartingWith(s.data, kTemporaryPrefix), 1); }},
    {"a new file put in it", false, false,
     [](const Scene& s) {
       char temp[kPlatformTextSize];
       PlatformFile file = NewTemporaryFile(s, temp);
       return Race(), file != nullptr && s.os->CommitFile(file, temp, (s.data + "\\NEW.DAT").c_str(), &kTime) != 0;
     },
     [](const Scene& s) { EXPECT_EQ(ReadWholeFile(s.data + "\\NEW.DAT"), "new"); }},
    {"a file in it replaced", false, false,
     [](const Scene& s) {
       char temp[kPlatformTextSize];
       PlatformFile file = NewTemporaryFile(s, temp);
       return Race(), file != nullptr && s.os->CommitFile(file, temp, (s.data + "\\OLD.DAT").c_str(), &kTime) != 0;
     },
     [](const Scene& s) { EXPECT_EQ(ReadWholeFile(s.data + "\\OLD.DAT"), "new"); }},
    {"a file in it deleted", false, false,
     [](const Scene& s) { return Race(), s.os->RemoveFile((s.data + "\\keep").c_str()) != 0; },
     [](const Scene& s) { EXPECT_FALSE(FileExists(s.data + "\\keep")); }},
    {"a folder in it removed", false, false,
     [](const Scene& s) { return Race(), s.os->RemoveFolder((s.data + "\\SUB").c_str()) != 0; },
     [](const Scene& s) { EXPECT_FALSE(FileExists(s.data + "\\SUB")); }},
    {"a file in it made read-only", false, false,
     [](const Scene& s) { return Race(), s.os->SetAttributes((s.data + "\\keep").c_str(), kAttrReadOnly) != 0; },
     [](const Scene& s) {
       EXPECT_EQ(s.os->GetAttributes((s.data + "\\keep").c_str()) & kAttrReadOnly, kAttrReadOnly);
     }},
    {"a file in it touched", false, false,
     [](const Scene& s) { return Race(), s.os->TouchLastWriteTime((s.data + "\\keep").c_str()) != 0; },
     [](const Scene& s) { EXPECT_NE(LastWriteTime(s.data + "\\keep"), kTime); }},
    {"a file in it taken away", false, false,
     [](const Scene& s) {
       std::string from = s.data + "\\keep";
       Race();
       PlatformFile file = s.os->OpenFileForMove(from.c_str());
       return file != nullptr && s.os->CommitFile(file, from.c_str(), (s.game + "\\MOVED").c_str(), nullptr) != 0;
     },
     [](const Scene& s) { EXPECT_EQ(ReadWholeFile(s.game + "\\MOVED"), "kept"); }},
    {"a file copied into it by the shell", false, true,
     [](const Scene& s) {
       Race();
       return !s.os->ShellCopy(nullptr, (s.root + "\\SOURCE.DAT").c_str(), (s.data + "\\COPY.DAT").c_str(),
                               kShellCopyFile)
                   .Failed;
     },
     [](const Scene& s) { EXPECT_EQ(ReadWholeFile(s.data + "\\COPY.DAT"), "copied"); }},
    {"a file copied by the shell into a new folder in it", false, true,
     [](const Scene& s) {
       Race();
       return !s.os->ShellCopy(nullptr, (s.root + "\\SOURCE.DAT").c_str(), (s.data + "\\NEWSUB\\COPY.DAT").c_str(),
                               kShellCopyFile)
                   .Failed;
     },
     [](const Scene& s) { EXPECT_EQ(ReadWholeFile(s.data + "\\NEWSUB\\COPY.DAT"), "copied"); }},
    {"a folder copied into it by the shell", false, true,
     [](const Scene& s) {
       Race();
       return !s.os->ShellCopy(nullptr, (s.root + "\\SOURCE").c_str(), s.data.c_str(), kShellCopyFolder).Failed;
     },
     [](const Scene& s) { EXPECT_EQ(ReadWholeFile(s.data + "\\SOURCE\\INNER.DAT"), "inner"); }},
    {"the folder itself replaced by a file", true, false,
     [](const Scene& s) {
       char temp[kPlatformTextSize];
       PlatformFile file = NewTemporaryFile(s, temp);
       return file != nullptr && s.os->CommitFile(file, temp, s.data.c_str(), &kTime) != 0;
     },
     nullptr},
    {"the folder itself made read-only", true, false,
     [](const Scene& s) { return s.os->SetAttributes(s.data.c_str(), kAttrReadOnly) != 0; }, nullptr},
};

// Each operation through a folder that is a player's link, or on that link
// itself where that could change what it leads to, is refused by the layer
// itself (the check of paths in front of it taken away), and nothing
// changes where the link leads.
TEST_F(Win32LayerTest, EveryOperationRefusesAPlayersLinkOnItsWay) {
  int row = 0;
  for (const Operation& operation : kOperations) {
    SCOPED_TRACE(operation.name);
    Scene scene = MakeScene(os, folder.Join("r" + std::to_string(row++)));
    if (!MakePlayersLink(scene.data, scene.elsewhere)) GTEST_SKIP() << "this system makes no link here";
    std::string before = TreeOf(scene.elsewhere);
    EXPECT_FALSE(operation.run(scene));
    EXPECT_EQ(TreeOf(scene.elsewhere), before) << "nothing changes where the link leads";
    EXPECT_TRUE(IsLink(scene.data));
  }
}

// Removing a link removes the link, never the folder it leads to, whoever
// made it. Wine opens what a host's link leads to even when asked for the
// link itself, so there a delete through the handle would remove that: the
// layer refuses, and the link stays.
TEST_F(Win32LayerTest, RemovingAPlayersLinkNeverRemovesWhatItLeadsTo) {
  const struct {
    const char* name;
    bool empty;
  } targets[] = {{"a link to an empty folder", true}, {"a link to a folder with files", false}};
  int row = 0;
  for (const auto& target : targets) {
    SCOPED_TRACE(target.name);
    Scene scene = MakeScene(os, folder.Join("r" + std::to_string(row++)));
    std::string led_to = target.empty ? scene.elsewhere + "\\SUB" : scene.elsewhere;
    if (!MakePlayersLink(scene.data, led_to)) GTEST_SKIP() << "this system makes no link here";
    std::string before = TreeOf(scene.elsewhere);
    int removed = os->RemoveFolder(scene.data.c_str());
    EXPECT_EQ(TreeOf(scene.elsewhere), before) << "what the link leads to is as it was";
    if (UnderWine()) {
      EXPECT_EQ(removed, 0);
      EXPECT_TRUE(IsLink(scene.data));
    } else {
      EXPECT_EQ(removed, 1);
      EXPECT_EQ(GetFileAttributesW(WideOf(scene.data).c_str()), INVALID_FILE_ATTRIBUTES) << "the link is gone";
    }
  }
}

// A program that swaps a folder on the way for a link while an operation
// runs (between any look at the path and the act) cannot: the folders of
// the path are held open without delete sharing until the operation is
// done, so the folder cannot be moved aside, and the operation lands in the
// folder that was there.
TEST_F(Win32LayerTest, AFolderOnTheWayCannotBeSwappedForALinkMidway) {
  Win32Kernel.FoldersPinned = SwapTheFolderForALink;
  int row = 0;
  for (const Operation& operation : kOperations) {
    if (operation.on_the_folder_itself) continue;
    SCOPED_TRACE(operation.name);
    Scene scene = MakeScene(os, folder.Join("r" + std::to_string(row++)));
    FillLikeAGameFolder(scene.data);
    g_swap = Swap{false, false, false, scene.data, scene.elsewhere};
    std::string before = TreeOf(scene.elsewhere);
    EXPECT_TRUE(operation.run(scene));
    EXPECT_TRUE(g_swap.tried) << "the operation went through pinned folders";
    EXPECT_FALSE(g_swap.moved) << "a pinned folder cannot be moved aside";
    EXPECT_FALSE(IsLink(scene.data));
    operation.effect(scene);
    EXPECT_EQ(TreeOf(scene.elsewhere), before) << "nothing lands where the link would lead";
  }
  g_swap = Swap{};
}

// The same operations on a folder whose path is far longer than 260
// characters, as a deep installation has (but the shell's copy, which takes
// no such path).
TEST_F(Win32LayerTest, EveryOperationWorksOnALongPath) {
  int row = 0;
  for (const Operation& operation : kOperations) {
    if (operation.on_the_folder_itself || operation.by_the_shell) continue;
    SCOPED_TRACE(operation.name);
    Scene scene = MakeScene(os, folder.Join("r" + std::to_string(row++)));
    scene.data = scene.game;
    for (int level = 0; level < 6; ++level) {
      scene.data += "\\" + std::string(60, char('a' + level));
      ASSERT_EQ(os->CreateFolder(scene.data.c_str()), 1);
    }
    ASSERT_GT(scene.data.size(), 360u);
    FillLikeAGameFolder(scene.data);
    EXPECT_TRUE(operation.run(scene));
    operation.effect(scene);
    RemoveLongTree(WideOf(scene.game + "\\" + std::string(60, 'a')));  // beyond what the test folder's removal reaches
  }
}

// A new file takes its place under any name the system allows, however
// short: the rename's record is never shorter than its own declared size.
TEST_F(Win32LayerTest, ANewFileTakesANameOfOneCharacter) {
  for (const char* name : {"x", "xy", "x.y"}) {
    SCOPED_TRACE(name);
    std::string path = folder.Join(name);
    char temp[1024];
    PlatformFile file = os->CreateTempFileBeside(path.c_str(), temp);
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(os->WriteFileBytes(file, "new", 3));
    EXPECT_EQ(os->CommitFile(file, temp, path.c_str(), nullptr), 1);
    EXPECT_EQ(ReadWholeFile(path), "new");
    EXPECT_FALSE(FileExists(temp));
  }
}

// What the system's own deletes refuse stays refused: a read-only file, a
// folder that is not empty, a name that is not there, a folder taken for a
// file and the other way round.
TEST_F(Win32LayerTest, DeletesRefuseWhatTheSystemRefuses) {
  std::string file = folder.Join("READONLY.DAT"), full = folder.Join("FULL");
  WriteWholeFile(file, "kept");
  MakeReadOnly(file);
  MakeFolder(full);
  WriteWholeFile(full + "\\INNER.DAT", "kept");
  EXPECT_EQ(os->RemoveFile(file.c_str()), 0);
  EXPECT_EQ(ReadWholeFile(file), "kept");
  EXPECT_EQ(os->RemoveFolder(full.c_str()), 0);
  EXPECT_EQ(ReadWholeFile(full + "\\INNER.DAT"), "kept");
  EXPECT_EQ(os->RemoveFile(folder.Join("NOTHING").c_str()), 0);
  EXPECT_EQ(os->RemoveFolder(file.c_str()), 0);
  EXPECT_EQ(os->RemoveFile(full.c_str()), 0);
  EXPECT_TRUE(FileExists(file));
  EXPECT_TRUE(FileExists(full));
}

}  // namespace
