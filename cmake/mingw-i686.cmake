# Windows, 32-bit x86: the shipped BODYCUT.EXE. Windows 95 runs on an 80386
# and NT 4 on an 80486, where the compiler's default, the Pentium Pro,
# brings instructions they lack: the tool is built for the 80386. The test
# framework that the unit tests build with the same compiler needs the
# 486's atomic instructions, so this goes to the tool's own code only.
set(BODYCUT_MINGW_ARCH i686)
set(BODYCUT_TOOL_ARCH_OPTIONS -march=i386)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
