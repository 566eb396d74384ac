# CMake toolchain file: vantrel for arm64 (aarch64-linux-gnu), built on an
# x86-64 Debian machine with Debian's cross compiler (g++-aarch64-linux-gnu)
# against a sysroot of Debian's arm64 packages, which tools/arm64-sysroot.sh
# downloads and unpacks the first time (the arm64 and arm64-release presets).
#
# The compiler keeps its own C library (/usr/aarch64-linux-gnu); with
# --sysroot it takes every other header and library from the sysroot and
# none from the host's /usr/include or /usr/lib. find_package, find_library
# and pkg-config look in the sysroot alone; programs (cmake, pkg-config) are
# the host's. Test programs run under qemu-user with the sysroot as their
# root for the dynamic loader and libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

if(NOT VANTREL_SYSROOT)
  get_filename_component(VANTREL_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/arm64-sysroot/sysroot" ABSOLUTE)
endif()
set(VANTREL_SYSROOT "${VANTREL_SYSROOT}" CACHE PATH "Debian's arm64 packages unpacked (tools/arm64-sysroot.sh)")
# Made afresh too when the script's list of packages has changed since.
if(NOT EXISTS "${VANTREL_SYSROOT}/.packages"
   OR "${CMAKE_CURRENT_LIST_DIR}/../tools/arm64-sysroot.sh" IS_NEWER_THAN "${VANTREL_SYSROOT}/.packages")
  get_filename_component(root "${VANTREL_SYSROOT}" DIRECTORY)
  execute_process(COMMAND "${CMAKE_CURRENT_LIST_DIR}/../tools/arm64-sysroot.sh" "${root}" RESULT_VARIABLE made)
  if(NOT made EQUAL 0 OR NOT EXISTS "${VANTREL_SYSROOT}/usr/include/IL/il.h")
    message(FATAL_ERROR "No arm64 sysroot at ${VANTREL_SYSROOT}, and tools/arm64-sysroot.sh could not make one")
  endif()
endif()
# try_compile projects read this file again: they need the sysroot too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VANTREL_SYSROOT)

set(CMAKE_SYSROOT "${VANTREL_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${VANTREL_SYSROOT}")
# pkg-config reads the sysroot's .pc files only (libexif's, libseccomp's and
# the media library's), and puts the sysroot in front of the paths they give.
include("${CMAKE_CURRENT_LIST_DIR}/crosssearch.cmake")
crosssearch("${VANTREL_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig;${VANTREL_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${VANTREL_SYSROOT}")

# The linker follows the libraries' own dependencies (libIL needs libjpeg,
# libtiff, ...) in the sysroot.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,-rpath-link,${VANTREL_SYSROOT}/lib/aarch64-linux-gnu -Wl,-rpath-link,${VANTREL_SYSROOT}/usr/lib/aarch64-linux-gnu")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")

# ctest runs arm64 programs through qemu-user.
find_program(VANTREL_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${VANTREL_QEMU_AARCH64};-L;${VANTREL_SYSROOT}")
