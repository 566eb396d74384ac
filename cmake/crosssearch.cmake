# What a cross build finds where (the toolchain files include this, after
# setting CMAKE_FIND_ROOT_PATH): libraries, headers, CMake packages and
# pkg-config files in the target's root alone, programs on the host.
#   crosssearch(PKGCONFIGDIRS)  the target's pkg-config folders, ;-separated
macro(crosssearch pkgconfigdirs)
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
  string(REPLACE ";" ":" crosspkgconfig "${pkgconfigdirs}")
  set(ENV{PKG_CONFIG_PATH} "")
  set(ENV{PKG_CONFIG_LIBDIR} "${crosspkgconfig}")
endmacro()
