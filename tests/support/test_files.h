// Real files for tests: a fresh folder per test, and ways to read what the
// code under test wrote, through the real platform of the build.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/fake_platform.h"

// A new empty folder, removed with everything in it when the object goes.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  // The folder joined with a name, with a backslash (code page 932 bytes).
  std::string Join(const std::string& name) const { return path_ + "\\" + name; }
  const std::string& path() const { return path_; }
  // The names in the folder (for checking that nothing was left behind).
  int CountEntries() const;

 private:
  std::string path_;
};

bool FileExists(const std::string& path);
// The number of names in a folder (code page 932 path, as the code uses it).
int CountEntriesIn(const std::string& folder);
std::string ReadWholeFile(const std::string& path);
// Writes a file with the given last-write time (0: leave the system's).
void WriteWholeFile(const std::string& path, const std::string& bytes, uint64_t time = 0);
uint64_t LastWriteTime(const std::string& path);
// Creation, last-access and last-write time; where the system keeps no
// settable creation time, the last-write time stands in for it.
struct FileTimes {
  uint64_t creation, access, write;
};
FileTimes AllFileTimes(const std::string& path);
void MakeReadOnly(const std::string& path);
void MakeFolder(const std::string& path);

// The SETUP.INI of the games the flow tests install: company "Co", title
// "Title", folder "Dir", disc 2 known by DISC2.CHK.
inline constexpr char kSetupIni[] =
    "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameDir=Dir\r\nGameExe=G.EXE\r\nUninstExe=U.EXE\r\n"
    "SetupBmp=a.bmp\r\nInstallSelects=0\r\nShortcuts=0\r\nDiskCheckFile2=DISC2.CHK\r\n";

// A test with UpdateState at its program-start state, the fake platform in
// place and a folder of its own.
class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // The folder "game" with kSetupIni in it: an installed game's folder.
  void MakeGameFolder(uint64_t time = 0) {
    MakeFolder(folder.Join("game"));
    WriteWholeFile(folder.Join("game\\SETUP.INI"), kSetupIni, time);
  }
  // The texts of the boxes shown so far, in order.
  std::vector<std::string> Texts() const {
    std::vector<std::string> t;
    for (auto& b : fake->boxes) t.push_back(b.text);
    return t;
  }
  FakePlatform* fake = nullptr;
  TempFolder folder;
};
