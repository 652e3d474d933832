// The end-to-end driver: runs beside the updater under Wine, sees every
// window the updater opens and answers it as the case's script says.
//
//   driver.exe SCRIPT TRANSCRIPT UPDATER
//
// SCRIPT has one command a line (arguments in UTF-8, separated by tabs):
//   game CLASS TITLE   open a window that plays the running game
//   close-game         close it again
//   start              start the updater
//   look               record the updater's window once it is steady
//   press ID           record it, then click its button ID
//   key enter|escape   record it, then send the key to it
//   close              record it, then press its close box
//   command ID         post a command of button ID to the wizard as is
//                      (it arrives through whatever message loop runs)
//   check ID           record it, then choose radio button ID
//   shot NAME          save a picture of the screen as NAME.bmp
//   second             start another copy and wait for its end
//   put PATH           create an empty file (a disc being inserted)
//   delete PATH        delete a file (space being freed)
//   end                wait for the updater's end
// TRANSCRIPT receives one JSON object a line: each window recorded, each
// copy's exit code, and every failure to see what was expected.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "resources/resource_ids.h"

namespace {

constexpr DWORD kSteadyMs = 400;
// How long a window may take to come; KOUSHIN_DRIVER_WAIT_MS sets it longer
// for benchmarks whose runs take minutes.
DWORD WaitMs() {
  static DWORD wait = [] {
    const wchar_t* text = _wgetenv(L"KOUSHIN_DRIVER_WAIT_MS");
    DWORD ms = text != nullptr ? DWORD(wcstoul(text, nullptr, 10)) : 0;
    return ms > 0 ? ms : DWORD(30000);
  }();
  return wait;
}

FILE* g_transcript = nullptr;
PROCESS_INFORMATION g_updater = {};
HWND g_game = nullptr;

std::string Utf8(const std::wstring& w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), int(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.c_str(), int(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

std::wstring Wide(const std::string& s) {
  int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), int(s.size()), nullptr, 0);
  std::wstring w(size_t(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.c_str(), int(s.size()), w.data(), n);
  return w;
}

std::string Json(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') out += '\\', out += char(c);
    else if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if (c < 0x20) {
      char b[8];
      snprintf(b, sizeof b, "\\u%04x", c);
      out += b;
    } else out += char(c);
  }
  return out + "\"";
}

void Write(const std::string& line) {
  fprintf(g_transcript, "%s\n", line.c_str());
  fflush(g_transcript);
}

std::wstring TextOf(HWND w) {
  wchar_t buffer[8192];
  int n = GetWindowTextW(w, buffer, 8192);
  return std::wstring(buffer, size_t(n > 0 ? n : 0));
}

std::wstring ClassOf(HWND w) {
  wchar_t buffer[256];
  int n = GetClassNameW(w, buffer, 256);
  return std::wstring(buffer, size_t(n > 0 ? n : 0));
}

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void Sleep10() {
  Pump();
  Sleep(10);
}

struct Windows {
  std::vector<HWND> list;
  DWORD pid;
};

BOOL CALLBACK Collect(HWND w, LPARAM p) {
  Windows* ws = reinterpret_cast<Windows*>(p);
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  if (pid == ws->pid && IsWindowVisible(w)) ws->list.push_back(w);
  return TRUE;
}

// The updater's window that takes input: the enabled one among its visible
// top-level windows (a box disables the wizard that owns it).
HWND ActiveWindow(DWORD pid) {
  Windows ws{{}, pid};
  EnumWindows(Collect, LPARAM(&ws));
  for (HWND w : ws.list)
    if (IsWindowEnabled(w)) return w;
  return ws.list.empty() ? nullptr : ws.list.front();
}

bool IsWizard(HWND w) { return GetDlgItem(w, IDC_INFO) != nullptr; }

std::string Describe(HWND w, DWORD pid) {
  if (w == nullptr) return "{\"window\":\"none\"}";
  std::string d = "{\"caption\":" + Json(Utf8(TextOf(w)));
  if (IsWizard(w)) {
    d = "{\"window\":\"wizard\"," + d.substr(1);
    d += ",\"info\":" + Json(Utf8(TextOf(GetDlgItem(w, IDC_INFO))));
    d += ",\"controls\":{";
    bool first = true;
    for (int id : {IDC_NEXT, IDC_CANCEL, IDC_BACK, IDC_AGREEMENT_TEXT, IDC_AGREE, IDC_DISAGREE}) {
      HWND c = GetDlgItem(w, id);
      if (c == nullptr) continue;
      d += std::string(first ? "" : ",") + "\"" + std::to_string(id) + "\":{";
      first = false;
      d += "\"text\":" + Json(Utf8(id == IDC_AGREEMENT_TEXT ? TextOf(c).substr(0, 40) : TextOf(c)));
      d += std::string(",\"enabled\":") + (IsWindowEnabled(c) ? "true" : "false");
      d += std::string(",\"visible\":") + (IsWindowVisible(c) ? "true" : "false");
      if (id == IDC_AGREE || id == IDC_DISAGREE)
        d += std::string(",\"checked\":") + (SendMessageW(c, BM_GETCHECK, 0, 0) == BST_CHECKED ? "true" : "false");
      d += "}";
    }
    d += "}";
    bool focus_on_next = false;
    GUITHREADINFO info = {sizeof info};
    if (GetGUIThreadInfo(GetWindowThreadProcessId(w, nullptr), &info))
      focus_on_next = info.hwndFocus == GetDlgItem(w, IDC_NEXT);
    d += std::string(",\"focus_next\":") + (focus_on_next ? "true" : "false");
  } else {
    d = "{\"window\":\"box\"," + d.substr(1);
    HWND text = GetDlgItem(w, 0xFFFF);
    d += ",\"text\":" + Json(text ? Utf8(TextOf(text)) : "");
    HWND icon = GetDlgItem(w, 0x440);  // Wine's icon control, there even without an icon
    bool has_icon = icon && SendMessageW(icon, STM_GETICON, 0, 0) != 0;
    d += std::string(",\"icon\":") + (has_icon ? "true" : "false");
    d += ",\"buttons\":[";
    bool first = true;
    for (HWND c = GetWindow(w, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
      if (ClassOf(c) != L"Button" || !IsWindowVisible(c)) continue;
      d += std::string(first ? "" : ",") + Json(Utf8(TextOf(c)));
      first = false;
    }
    d += "]";
    HWND owner = GetWindow(w, GW_OWNER);
    d += std::string(",\"owner\":") + (owner == nullptr ? "\"none\"" : IsWizard(owner) ? "\"wizard\"" : "\"other\"");
  }
  (void)pid;
  return d + "}";
}

// The wizard while the run works: its three buttons are all disabled. That
// state is never answered; the run's boxes and its end are.
bool RunInProgress(HWND w) {
  if (!IsWizard(w)) return false;
  for (int id : {IDC_NEXT, IDC_CANCEL, IDC_BACK}) {
    HWND b = GetDlgItem(w, id);
    if (b && IsWindowEnabled(b)) return false;
  }
  return true;
}

bool Running() { return WaitForSingleObject(g_updater.hProcess, 0) == WAIT_TIMEOUT; }

// Waits until the updater's active window has stayed the same, described
// the same, for kSteadyMs; returns it (none when the updater has ended).
HWND Steady(std::string* description) {
  DWORD start = GetTickCount(), since = start;
  std::string last = "?";
  HWND last_window = nullptr;
  while (GetTickCount() - start < WaitMs()) {
    if (!Running()) {
      *description = "{\"window\":\"none\"}";
      return nullptr;
    }
    HWND w = ActiveWindow(g_updater.dwProcessId);
    std::string d = w ? Describe(w, g_updater.dwProcessId) : "";
    if (d != last || w != last_window || (w != nullptr && RunInProgress(w))) {
      last = d;
      last_window = w;
      since = GetTickCount();
    } else if (w != nullptr && GetTickCount() - since >= kSteadyMs) {
      *description = d;
      return w;
    }
    Sleep10();
  }
  *description = "{\"window\":\"timeout\",\"last\":" + (last.empty() ? std::string("null") : last) + "}";
  return nullptr;
}

HWND Record() {
  std::string d;
  HWND w = Steady(&d);
  Write(d);
  return w;
}

LRESULT CALLBACK GameProc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return DefWindowProcW(w, m, wp, lp); }

void OpenGame(const std::wstring& cls, const std::wstring& title) {
  WNDCLASSW wc = {};
  wc.lpfnWndProc = GameProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = cls.c_str();
  RegisterClassW(&wc);
  g_game = CreateWindowW(cls.c_str(), title.c_str(), WS_OVERLAPPEDWINDOW, 0, 0, 320, 200, nullptr, nullptr,
                         wc.hInstance, nullptr);
  // Left hidden: the window tests find hidden windows too, and the updater's
  // "show it" is then visible in the transcript.
  Pump();
}

bool Launch(const std::wstring& exe, PROCESS_INFORMATION* pi) {
  STARTUPINFOW si = {sizeof si};
  std::wstring command = L"\"" + exe + L"\"";
  return CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, pi) != 0;
}

DWORD WaitEnd(PROCESS_INFORMATION* pi) {
  DWORD start = GetTickCount();
  while (WaitForSingleObject(pi->hProcess, 10) == WAIT_TIMEOUT) {
    Pump();
    if (GetTickCount() - start > WaitMs()) {
      TerminateProcess(pi->hProcess, 99);
      Write("{\"failure\":\"the updater did not end; killed\"}");
      return 99;
    }
  }
  DWORD code = 0;
  GetExitCodeProcess(pi->hProcess, &code);
  return code;
}

void Key(HWND w, WPARAM vk) {
  PostMessageW(w, WM_KEYDOWN, vk, 1);
  PostMessageW(w, WM_KEYUP, vk, 0xC0000001);
}

// A picture of the whole screen as a 24-bit BMP.
void Shot(const std::wstring& path) {
  HDC screen = GetDC(nullptr);
  int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
  HDC mem = CreateCompatibleDC(screen);
  HBITMAP bmp = CreateCompatibleBitmap(screen, w, h);
  SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, w, h, screen, 0, 0, SRCCOPY);
  BITMAPINFOHEADER bi = {sizeof bi, w, h, 1, 24, BI_RGB};
  int stride = (w * 3 + 3) & ~3;
  std::vector<char> pixels(size_t(stride) * h);
  GetDIBits(mem, bmp, 0, UINT(h), pixels.data(), reinterpret_cast<BITMAPINFO*>(&bi), DIB_RGB_COLORS);
  BITMAPFILEHEADER bf = {0x4D42, DWORD(sizeof bf + sizeof bi + pixels.size()), 0, 0, DWORD(sizeof bf + sizeof bi)};
  if (FILE* f = _wfopen(path.c_str(), L"wb")) {
    fwrite(&bf, sizeof bf, 1, f);
    fwrite(&bi, sizeof bi, 1, f);
    fwrite(pixels.data(), 1, pixels.size(), f);
    fclose(f);
  }
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t i = 0; i <= line.size(); ++i) {
    if (i == line.size() || line[i] == '\t') {
      parts.push_back(line.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: driver SCRIPT TRANSCRIPT UPDATER\n");
    return 2;
  }
  std::wstring updater = argv[3];
  g_transcript = _wfopen(argv[2], L"w");
  FILE* script = _wfopen(argv[1], L"r");
  if (!g_transcript || !script) return 2;
  Write("{\"code_page\":" + std::to_string(GetACP()) + "}");
  std::wstring folder = std::wstring(argv[2]);
  folder = folder.substr(0, folder.find_last_of(L"\\/") + 1);
  char raw[4096];
  while (fgets(raw, sizeof raw, script)) {
    std::string line = raw;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    std::vector<std::string> a = Split(line);
    const std::string& verb = a[0];
    if (verb.empty()) continue;
    if (verb == "game") {
      OpenGame(Wide(a.at(1)), Wide(a.at(2)));
    } else if (verb == "close-game") {
      DestroyWindow(g_game);
      g_game = nullptr;
      Pump();
    } else if (verb == "start") {
      if (!Launch(updater, &g_updater)) {
        Write("{\"failure\":\"the updater could not be started\"}");
        return 1;
      }
    } else if (verb == "look") {
      Record();
    } else if (verb == "press" || verb == "check") {
      if (HWND w = Record()) {
        HWND button = GetDlgItem(w, std::stoi(a.at(1)));
        if (button) PostMessageW(button, BM_CLICK, 0, 0);
        else Write("{\"failure\":\"no control " + a.at(1) + "\"}");
      }
    } else if (verb == "key") {
      if (HWND w = Record()) {
        HWND target = w;
        GUITHREADINFO info = {sizeof info};
        if (GetGUIThreadInfo(GetWindowThreadProcessId(w, nullptr), &info) && info.hwndFocus) target = info.hwndFocus;
        Key(target, a.at(1) == "enter" ? VK_RETURN : VK_ESCAPE);
      }
    } else if (verb == "close") {
      if (HWND w = Record()) PostMessageW(w, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (verb == "command") {
      Windows ws{{}, g_updater.dwProcessId};
      EnumWindows(Collect, LPARAM(&ws));
      for (HWND w : ws.list)
        if (IsWizard(w))
          PostMessageW(w, WM_COMMAND, WPARAM(std::stoi(a.at(1))), LPARAM(GetDlgItem(w, std::stoi(a.at(1)))));
    } else if (verb == "shot") {
      std::string d;
      Steady(&d);
      Shot(folder + Wide(a.at(1)) + L".bmp");
    } else if (verb == "second") {
      PROCESS_INFORMATION pi = {};
      if (!Launch(updater, &pi)) {
        Write("{\"failure\":\"the second copy could not be started\"}");
        continue;
      }
      DWORD code = WaitEnd(&pi);
      Write("{\"second_exit\":" + std::to_string(code) + "}");
    } else if (verb == "put") {
      HANDLE h = CreateFileW(Wide(a.at(1)).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
      if (h == INVALID_HANDLE_VALUE) Write("{\"failure\":\"cannot create " + a.at(1) + "\"}");
      else CloseHandle(h);
    } else if (verb == "delete") {
      if (!DeleteFileW(Wide(a.at(1)).c_str())) Write("{\"failure\":\"cannot delete " + a.at(1) + "\"}");
    } else if (verb == "kill") {
      // Stopped dead, as a crash or a power cut stops it.
      TerminateProcess(g_updater.hProcess, 99);
      WaitForSingleObject(g_updater.hProcess, WaitMs());
      CloseHandle(g_updater.hProcess);
      CloseHandle(g_updater.hThread);
      g_updater = {};
    } else if (verb == "end") {
      DWORD code = WaitEnd(&g_updater);
      Write("{\"exit\":" + std::to_string(code) + "}");
      Write(std::string("{\"game_visible\":") + (g_game && IsWindowVisible(g_game) ? "true" : "false") + "}");
    } else {
      Write("{\"failure\":\"unknown command " + verb + "\"}");
    }
  }
  if (g_updater.hProcess && Running()) {
    TerminateProcess(g_updater.hProcess, 99);
    Write("{\"failure\":\"the updater was still running at the end of the script; killed\"}");
  }
  fclose(g_transcript);
  return 0;
}
