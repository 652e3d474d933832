# Cross build for Windows (i686), the shipped updater.
set(KOUSHIN_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
