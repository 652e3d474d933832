// The Win32 layer's file operations with the faults Wine cannot produce (a
// scanner that holds a file for a moment, or for good; a replacement that
// stops halfway), made by replacing the system calls the layer goes
// through; the RedirectionGuard request; and what this system does with
// links (Windows builds only).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

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
  }
  void TearDown() override {
    Win32Kernel = saved_;
    PlatformTest::TearDown();
  }
  Win32Calls saved_;
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
// reparse points owned by the user, are tested end to end).
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

}  // namespace
