/* The must-fail twin of the planted-DLL cases: a Windows program that imports
   the shell and COM as programs usually do, and restricts nothing. Planted
   DLLs beside it do run under Wine, so the updater's cases, where none runs,
   show the updater's hardening and not a test that cannot fail. */
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
  (void)instance;
  (void)previous;
  (void)command_line;
  (void)show;
  CoInitialize(NULL);
  DragAcceptFiles(NULL, FALSE); /* any import of the shell will do */
  CoUninitialize();
  return 0;
}
