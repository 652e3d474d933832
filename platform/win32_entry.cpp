// The Windows program's entry: everything else happens in UpdaterMain.
#include <windows.h>

#include "flow/updater_main.h"
#include "platform/platform_win32.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  RestrictDllSearch();       // before anything loads a DLL by name
  EnableRedirectionGuard();  // before the first file is touched
  return UpdaterMain(instance);
}
