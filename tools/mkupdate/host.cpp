#include "tools/mkupdate/host.h"

#include <chrono>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <random>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <iconv.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

#ifndef _WIN32
bool Convert(const char* to, const char* from, const std::string& in, std::string* out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == iconv_t(-1)) return false;
  std::string src = in;
  out->assign(src.size() * 4 + 4, '\0');
  char* s = src.data();
  char* d = out->data();
  size_t left = src.size(), room = out->size();
  bool ok = iconv(cd, &s, &left, &d, &room) != size_t(-1);
  iconv_close(cd);
  out->resize(out->size() - room);
  return ok;
}
#endif

}  // namespace

#ifdef _WIN32
namespace {

// UTF-16 as code page 932, refused where a character has no exact form there.
bool Cp932OfWide(const std::wstring& wide, std::string* out) {
  char bytes[1024];
  BOOL lossy = FALSE;
  int n = WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, wide.c_str(), int(wide.size()), bytes, sizeof bytes, nullptr,
                              &lossy);
  if (n <= 0 || lossy) return false;
  out->assign(bytes, size_t(n));
  return true;
}

}  // namespace
#endif

bool ArchiveNameOf(const fs::path& path, std::string* name) {
#ifdef _WIN32
  return Cp932OfWide(path.filename().wstring(), name);
#else
  return Convert("CP932", "UTF-8", path.filename().string(), name);
#endif
}

bool Cp932OfArgument(const std::string& text, std::string* out) {
#ifdef _WIN32
  wchar_t wide[1024];
  int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.c_str(), int(text.size()), wide, 1024);
  return text.empty() ? (out->clear(), true) : n > 0 && Cp932OfWide(std::wstring(wide, size_t(n)), out);
#else
  return Convert("CP932", "UTF-8", text, out);
#endif
}

bool HostPathOf(const fs::path& folder, const std::string& name, fs::path* path) {
#ifdef _WIN32
  wchar_t wide[1024];
  int n = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, name.c_str(), int(name.size()), wide, 1024);
  if (n <= 0) return false;
  *path = folder / std::wstring(wide, size_t(n));
#else
  std::string utf8;
  if (!Convert("UTF-8", "CP932", name, &utf8)) return false;
  *path = folder / utf8;
#endif
  return true;
}

std::string DisplayText(const std::string& cp932) {
#ifdef _WIN32
  std::wstring wide(cp932.size() + 1, L'\0');
  int n = MultiByteToWideChar(932, 0, cp932.data(), int(cp932.size()), wide.data(), int(wide.size()));
  std::string out(size_t(n) * 3 + 1, '\0');
  int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, out.data(), int(out.size()), nullptr, nullptr);
  out.resize(size_t(m > 0 ? m : 0));
  return out;
#else
  std::string out;
  return Convert("UTF-8", "CP932", cp932, &out) ? out : cp932;
#endif
}

bool ErrorIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(fileno(stderr)) != 0;
#endif
}

#ifdef _WIN32
// The C runtime behind std::filesystem keeps whole seconds on Windows; the
// system's own calls keep the full 100-nanosecond FILETIME.
uint64_t FileTimeOf(const fs::path& path) {
  HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  FILETIME ft = {};
  if (h != INVALID_HANDLE_VALUE) {
    GetFileTime(h, nullptr, nullptr, &ft);
    CloseHandle(h);
  }
  return uint64_t(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
}

bool SetFileTimeOf(const fs::path& path, uint64_t time) {
  HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  FILETIME ft = {DWORD(time), DWORD(time >> 32)};
  BOOL ok = SetFileTime(h, nullptr, nullptr, &ft);
  CloseHandle(h);
  return ok != 0;
}
#else
uint64_t FileTimeOf(const fs::path& path) {
  std::error_code ec;
  fs::file_time_type time = fs::last_write_time(path, ec);
  if (ec) return 0;
  auto sys = std::chrono::file_clock::to_sys(time);
  int64_t ticks =
      std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, 10000000> > >(sys.time_since_epoch())
          .count();
  return uint64_t(ticks + kUnixEpochAsFileTime);
}

bool SetFileTimeOf(const fs::path& path, uint64_t time) {
  std::chrono::duration<int64_t, std::ratio<1, 10000000> > ticks(int64_t(time) - kUnixEpochAsFileTime);
  std::chrono::sys_time<std::chrono::nanoseconds> sys(std::chrono::duration_cast<std::chrono::nanoseconds>(ticks));
  std::error_code ec;
  fs::last_write_time(path, std::chrono::file_clock::from_sys(sys), ec);
  return !ec;
}
#endif

bool IsBrokenLink(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_symlink(fs::symlink_status(path, ec))) return false;
  // Unknown for a link that loops, not found for one whose target is missing.
  return !fs::exists(fs::status(path, ec));
}

namespace {

// A name for the temporary file beside `path`, never one a file there has
// (the file is made exclusively), and never a device's name on Windows.
fs::path TemporaryBeside(const fs::path& path, unsigned attempt) {
  static std::random_device random;
  char name[40];
  snprintf(name, sizeof name, ".mkupdate-%08x-%u.tmp", unsigned(random()), attempt);
  return path.parent_path() / name;
}

}  // namespace

#ifdef _WIN32
bool WriteFileInPlace(const fs::path& path, const uint8_t* data, size_t size, const uint64_t* time) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    fs::path temp = TemporaryBeside(path, attempt);
    HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      return false;
    }
    bool ok = true;
    for (size_t done = 0; ok && done < size;) {
      DWORD chunk = DWORD(std::min<size_t>(size - done, 1u << 30)), written = 0;
      ok = WriteFile(h, data + done, chunk, &written, nullptr) && written == chunk;
      done += written;
    }
    if (ok && time != nullptr) {
      FILETIME ft = {DWORD(*time), DWORD(*time >> 32)};
      ok = SetFileTime(h, nullptr, nullptr, &ft) != 0;
    }
    ok = ok && FlushFileBuffers(h);
    ok = CloseHandle(h) && ok;
    ok = ok && MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) DeleteFileW(temp.c_str());
    return ok;
  }
  return false;
}
#else
bool WriteFileInPlace(const fs::path& path, const uint8_t* data, size_t size, const uint64_t* time) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    fs::path temp = TemporaryBeside(path, attempt);
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    bool ok = true;
    for (size_t done = 0; ok && done < size;) {
      ssize_t n = write(fd, data + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      ok = n > 0;
      if (ok) done += size_t(n);
    }
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && (time == nullptr || SetFileTimeOf(temp, *time));
    ok = ok && rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) unlink(temp.c_str());
    return ok;
  }
  return false;
}
#endif
