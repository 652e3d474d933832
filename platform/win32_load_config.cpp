// The executable's load configuration, for one field: DependentLoadFlags.
// Windows (10 1607 and later) resolves the DLLs that the program's own
// imports pull in (shcore for shell32, uxtheme, version and so on) with these
// flags. LOAD_LIBRARY_SEARCH_SYSTEM32 keeps that search in the system folder,
// so a DLL planted beside the downloaded updater is never loaded, not even
// before the program's first line runs, where nothing the program does at
// run time can help.
//
// The layout is the PE format's IMAGE_LOAD_CONFIG_DIRECTORY up to
// SecurityCookie (the Windows headers of the toolchain name the field
// differently), Size covering exactly these fields. The linker of the
// toolchain does not point the header's load-configuration directory at this
// symbol by itself: tools/dev/set_load_config.py does it after linking, from
// the link map.
#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace {

struct LoadConfig {
  uint32_t Size;
  uint32_t TimeDateStamp;
  uint16_t MajorVersion, MinorVersion;
  uint32_t GlobalFlagsClear, GlobalFlagsSet;
  uint32_t CriticalSectionDefaultTimeout;
  uintptr_t DeCommitFreeBlockThreshold, DeCommitTotalFreeThreshold;
  uintptr_t LockPrefixTable, MaximumAllocationSize, VirtualMemoryThreshold;
#if defined(_WIN64)
  uintptr_t ProcessAffinityMask;
  uint32_t ProcessHeapFlags;
#else
  uint32_t ProcessHeapFlags;
  uintptr_t ProcessAffinityMask;
#endif
  uint16_t CSDVersion;
  uint16_t DependentLoadFlags;
  uintptr_t EditList;
  uintptr_t SecurityCookie;
};

// Where the PE format puts the field, for each machine.
static_assert(offsetof(LoadConfig, DependentLoadFlags) == (sizeof(void*) == 8 ? 78 : 54), "layout");
static_assert(sizeof(LoadConfig) == (sizeof(void*) == 8 ? 96 : 64), "layout");

}  // namespace

extern "C" const LoadConfig _load_config_used = {
    sizeof(LoadConfig), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, LOAD_LIBRARY_SEARCH_SYSTEM32, 0, 0,
};
