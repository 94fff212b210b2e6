# Windows, x86-64: the same source, for the tests under 64-bit wine.
set(BODYCUT_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
