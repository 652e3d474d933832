#include "tests/support/test_files.h"

#include <filesystem>
#include <random>

#include "common/update_state.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

static fs::path NativeOf(const std::string& path) {
#ifdef _WIN32
  wchar_t wide[1024];
  MultiByteToWideChar(932, 0, path.c_str(), -1, wide, 1024);
  return fs::path(wide);
#else
  // As the native platform reads it: C:\tmp\x is /tmp/x.
  std::string p = path.size() > 2 && path[1] == ':' ? path.substr(2) : path;
  for (char& c : p)
    if (c == '\\') c = '/';
  return fs::path(p);
#endif
}

TempFolder::TempFolder() {
  std::random_device rd;
  fs::path p = fs::temp_directory_path() / ("koushin-test-" + std::to_string(rd()) + std::to_string(rd()));
  fs::create_directories(p);
  path_ = p.string();
#ifndef _WIN32
  // An absolute path as the updater takes one, with a drive: the native
  // platform reads C:\ as the root of the file system.
  for (char& c : path_)
    if (c == '/') c = '\\';
  path_ = "C:" + path_;
#endif
}

TempFolder::~TempFolder() {
  std::error_code ec;
  for (auto& e : fs::recursive_directory_iterator(NativeOf(path_), ec))
    fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
#ifdef _WIN32
  for (auto& e : fs::recursive_directory_iterator(NativeOf(path_), ec))
    SetFileAttributesW(e.path().c_str(), FILE_ATTRIBUTE_NORMAL);
#endif
  fs::remove_all(NativeOf(path_), ec);
}

int TempFolder::CountEntries() const { return CountEntriesIn(path_); }

int CountEntriesIn(const std::string& folder) {
  int n = 0;
  for ([[maybe_unused]] auto& e : fs::directory_iterator(NativeOf(folder))) ++n;
  return n;
}

bool FileExists(const std::string& path) { return NativePlatform()->GetAttributes(path.c_str()) != kInvalidAttributes; }

std::string ReadWholeFile(const std::string& path) {
  const PlatformApi* os = NativePlatform();
  PlatformFile f = os->OpenFileForRead(path.c_str());
  if (f == nullptr) return "<missing>";
  uint32_t size = 0;
  os->FileSize(f, &size);
  std::string bytes(size, '\0');
  uint32_t got = 0;
  os->ReadFileBytes(f, bytes.data(), size, &got);
  os->CloseFile(f);
  bytes.resize(got);
  return bytes;
}

void WriteWholeFile(const std::string& path, const std::string& bytes, uint64_t time) {
  std::error_code ec;
  fs::remove(NativeOf(path), ec);
  const PlatformApi* os = NativePlatform();
  char temp[1024];
  PlatformFile f = os->CreateTempFileBeside(path.c_str(), temp);
  ASSERT_NE(f, nullptr) << path;
  os->WriteFileBytes(f, bytes.data(), uint32_t(bytes.size()));
  ASSERT_TRUE(os->CommitFile(f, temp, path.c_str(), time != 0 ? &time : nullptr)) << path;
}

FileTimes AllFileTimes(const std::string& path) {
#ifdef _WIN32
  wchar_t wide[1024];
  MultiByteToWideChar(932, 0, path.c_str(), -1, wide, 1024);
  HANDLE h = CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  FILETIME c{}, a{}, w{};
  GetFileTime(h, &c, &a, &w);
  CloseHandle(h);
  auto v = [](FILETIME t) { return uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime; };
  return {v(c), v(a), v(w)};
#else
  const PlatformApi* os = NativePlatform();
  PlatformFile f = os->OpenFileForRead(path.c_str());
  uint64_t w = 0;
  if (f) {
    os->GetLastWriteTime(f, &w);
    os->CloseFile(f);
  }
  return {w, w, w};
#endif
}

uint64_t LastWriteTime(const std::string& path) { return AllFileTimes(path).write; }

void MakeReadOnly(const std::string& path) { NativePlatform()->SetAttributes(path.c_str(), kAttrReadOnly); }

void MakeFolder(const std::string& path) { NativePlatform()->CreateFolder(path.c_str()); }

void PlatformTest::SetUp() {
  ResetUpdateState();
  fake = &InstallFakePlatform();
}

void PlatformTest::TearDown() {
  RemoveFakePlatform();
  // What a run keeps until the process ends, a test releases here.
  if (UpdateState.ArchiveDirectory) NativePlatform()->Free(UpdateState.ArchiveDirectory);
  UpdateState.ArchiveDirectory = nullptr;
  ResetUpdateState();  // the agreement texts and the run's lists with it
}
