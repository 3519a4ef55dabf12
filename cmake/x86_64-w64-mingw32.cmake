# The same sources as x86-64 Windows programs, for machines that cannot run 32-bit code; run
# under Wine's 64-bit loader in a 64-bit prefix. Nothing built here is shipped.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
set(UNINST_WINE_LOADER /usr/lib/wine/wine64 CACHE FILEPATH "Wine's loader for this build's programs")
set(UNINST_WINE_PREFIX_ARCH win64 CACHE STRING "The kind of Wine prefix the tests run in")
