# 32-bit Windows programs from mingw-w64, run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Every test program runs through this: Wine, in the build tree's own prefix and X display. The
# prefix is a 64-bit one, so the programs run under WOW64 as on the 64-bit Windows users have.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
set(UNINST_WINE_LOADER /usr/lib/wine/wine CACHE FILEPATH "Wine's loader for this build's programs")
set(UNINST_WINE_PREFIX_ARCH win64 CACHE STRING "The kind of Wine prefix the tests run in")
