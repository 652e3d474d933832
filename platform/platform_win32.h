// What the Windows program's entry needs of the Win32 platform layer beyond
// the seam itself.
#pragma once

// Restricts the DLL search of the whole process to the system folder. The
// entry calls it first, before anything can load a DLL by name.
void RestrictDllSearch();
