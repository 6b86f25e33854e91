# Cross-builds the Windows program on Debian with mingw-w64 (64-bit) and runs
# what it builds under Wine, so ctest works on the cross build as on the native
# one:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# Needs g++-mingw-w64-x86-64, libz-mingw-w64-dev, wine and wine64
# (scripts/install-deps installs them).

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw_triplet x86_64-w64-mingw32)

# The -posix variants: the default win32 thread model has no std::thread or
# std::mutex, and the installer's worker thread needs both.
set(CMAKE_C_COMPILER ${_mingw_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw_triplet}-windres)

# Headers and libraries come only from the Windows sysroot, never from the
# build machine's /usr; programs run during the build (and the emulator) are
# the build machine's own.
set(CMAKE_FIND_ROOT_PATH /usr/${_mingw_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: the GCC, C++ and winpthread runtimes are linked in,
# so the installer runs on a bare Windows without libstdc++-6.dll,
# libgcc_s_seh-1.dll or libwinpthread-1.dll beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# Debian ships zlib for mingw both as libz.a and as the import library
# libz.dll.a, and FindZLIB takes the import library first, which would make
# the .exe need zlib1.dll. Ask for the static one (CMake 3.24 and later).
set(ZLIB_USE_STATIC_LIBS ON)

# ctest and gtest_discover_tests run the test programs through Wine, in the
# prefix named by WINEPREFIX (scripts/wine-env makes one under the build tree).
get_filename_component(_wine_run ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${_wine_run})
