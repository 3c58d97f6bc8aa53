# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (the POSIX thread
# model, which std::thread and std::mutex need).
#
# ZARVIK_WINDOWS_DEPS names a folder of further Windows libraries (libpng and
# libjpeg, which scripts/build-windows.sh builds there); it is searched
# before MinGW's own folder.

set (CMAKE_SYSTEM_NAME Windows)
set (CMAKE_SYSTEM_PROCESSOR x86_64)

set (zarvik_mingw x86_64-w64-mingw32)
set (CMAKE_C_COMPILER ${zarvik_mingw}-gcc-posix)
set (CMAKE_CXX_COMPILER ${zarvik_mingw}-g++-posix)
set (CMAKE_RC_COMPILER ${zarvik_mingw}-windres)

list (APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZARVIK_WINDOWS_DEPS)
set (CMAKE_FIND_ROOT_PATH ${ZARVIK_WINDOWS_DEPS} /usr/${zarvik_mingw})
set (CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set (CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set (CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set (CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Executables that need only Windows' own DLLs: the C++ runtime and the
# thread library are linked in.
set (CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Programs built for Windows run here through Wine (the tests, CTest's discovery).
find_program (ZARVIK_WINE wine)
if (ZARVIK_WINE)
    set (CMAKE_CROSSCOMPILING_EMULATOR "${ZARVIK_WINE}")
endif()
