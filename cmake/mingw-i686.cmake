# Windows, 32-bit x86: the shipped BODYCUT.EXE.
set(BODYCUT_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
