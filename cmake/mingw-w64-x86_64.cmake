# CMake toolchain for 64-bit Windows programs built on Debian with mingw-w64
# (the windows preset, and the library builds of cmake/windows-deps).
#
# - Compilers: the "posix" thread model of x86_64-w64-mingw32-gcc/g++, whose
#   C++ library has std::thread and std::mutex (GoogleTest needs them).
# - Libraries and headers are searched for only in the Windows dependency
#   prefix (VANTREL_WINDOWS_DEPS, by default build/windows/deps, which the
#   windows preset's configure step fills) and in mingw-w64's own sysroot,
#   never in the Linux system. pkg-config reads only the prefix's .pc files.
# - Programs and DLLs link the compiler's runtime (libgcc, libstdc++,
#   winpthread) statically, so that they need no DLL of the compiler. Because
#   of -static, link libraries by full path (imported targets do that) and not
#   as -lNAME where only a DLL import library exists.
# - Test programs run under wine: CMAKE_CROSSCOMPILING_EMULATOR is wine with
#   the prefix's bin/ (where the DLLs are) on WINEPATH, its own prefix in the
#   build tree (VANTREL_WINEPREFIX), no debug output and no Mono or Gecko
#   install prompts. The tests' fixtures start and stop wine (cmake/wine.cmake).

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VANTREL_MINGW_TRIPLET x86_64-w64-mingw32)

set(VANTREL_WINDOWS_DEPS "${CMAKE_CURRENT_LIST_DIR}/../build/windows/deps"
  CACHE PATH "Prefix holding the cross-built Windows libraries (cmake/windows-deps)")
get_filename_component(VANTREL_WINDOWS_DEPS "${VANTREL_WINDOWS_DEPS}" ABSOLUTE)
# try_compile projects read this file again; hand them the same prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VANTREL_WINDOWS_DEPS)

find_program(CMAKE_C_COMPILER NAMES ${VANTREL_MINGW_TRIPLET}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${VANTREL_MINGW_TRIPLET}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${VANTREL_MINGW_TRIPLET}-windres REQUIRED)
find_program(CMAKE_AR NAMES ${VANTREL_MINGW_TRIPLET}-gcc-ar-posix ${VANTREL_MINGW_TRIPLET}-ar)
find_program(CMAKE_RANLIB NAMES ${VANTREL_MINGW_TRIPLET}-gcc-ranlib-posix ${VANTREL_MINGW_TRIPLET}-ranlib)
find_program(CMAKE_ASM_NASM_COMPILER NAMES nasm)

set(CMAKE_FIND_ROOT_PATH "${VANTREL_WINDOWS_DEPS}" "/usr/${VANTREL_MINGW_TRIPLET}")
# Only the prefix's pkg-config files, not the Linux system's.
include("${CMAKE_CURRENT_LIST_DIR}/crosssearch.cmake")
crosssearch("${VANTREL_WINDOWS_DEPS}/lib/pkgconfig")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# wine from Debian's wine package (/usr/bin/wine); without it, the 64-bit
# loader itself.
find_program(VANTREL_WINE NAMES wine wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(VANTREL_WINE)
  set(VANTREL_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "The wine prefix the tests run in")
  set(VANTREL_WINEENV "WINEPREFIX=${VANTREL_WINEPREFIX}" WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml=")
  set(CMAKE_CROSSCOMPILING_EMULATOR env ${VANTREL_WINEENV} "WINEPATH=${VANTREL_WINDOWS_DEPS}/bin" "${VANTREL_WINE}")
endif()
