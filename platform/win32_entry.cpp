// The Windows program's entry: everything else happens in UpdaterMain.
#include <windows.h>

#include "flow/updater_main.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) { return UpdaterMain(instance); }
