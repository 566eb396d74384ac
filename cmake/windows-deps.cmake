# Windows (cross-built): the libraries first, built at configure time by the
# superbuild in cmake/windows-deps into VANTREL_WINDOWS_DEPS, where the
# toolchain file has find_package and pkg-config look. Up to date, it only
# checks its steps.
# Each source tree the libraries are built from, by a file it holds, and
# the upstream release it is unpacked from (Debian's source packages do not
# serve: DevIL's cannot be fetched from Debian 12's archive).
set(sources
  "devil/DevIL/CMakeLists.txt|DevIL 1.8.0 with its later fixes (github.com/DentonW/DevIL, the archive of commit 6f3d5e9, whose DevIL/ folder is then devil/DevIL)"
  "libjpeg-turbo/CMakeLists.txt|libjpeg-turbo 2.1.5"
  "libpng/CMakeLists.txt|libpng 1.6.58"
  "zlib/zlib.h|zlib 1.3.1"
  "libexif/configure.ac|libexif 0.6.24")
set(missing "")
foreach(source IN LISTS sources)
  string(REPLACE "|" ";" source "${source}")
  list(GET source 0 file)
  list(GET source 1 release)
  if(NOT EXISTS "${VANTREL_THIRD_PARTY}/${file}")
    string(REGEX REPLACE "/.*" "" folder "${file}")
    list(APPEND missing "${release} as ${folder}/")
  endif()
endforeach()
if(missing)
  list(JOIN missing ", " missing)
  # Indented, so that CMake prints it as the one line it is.
  message(FATAL_ERROR " The Windows build needs the sources of its libraries, from their upstream release archives, "
    "unpacked in ${VANTREL_THIRD_PARTY} (or set VANTREL_THIRD_PARTY): ${missing}")
endif()
set(depsbuild "${PROJECT_BINARY_DIR}/deps-build")
message(STATUS "Building the Windows libraries into ${VANTREL_WINDOWS_DEPS} (log: ${depsbuild}.log)")
execute_process(
  COMMAND "${CMAKE_COMMAND}" -S "${PROJECT_SOURCE_DIR}/cmake/windows-deps" -B "${depsbuild}"
          "-DVANTREL_THIRD_PARTY=${VANTREL_THIRD_PARTY}" "-DVANTREL_WINDOWS_DEPS=${VANTREL_WINDOWS_DEPS}"
          "-DVANTREL_TOOLCHAIN=${CMAKE_TOOLCHAIN_FILE}"
  COMMAND_ECHO NONE OUTPUT_FILE "${depsbuild}.log" ERROR_FILE "${depsbuild}.log" RESULT_VARIABLE configured)
if(configured EQUAL 0)
  execute_process(COMMAND "${CMAKE_COMMAND}" --build "${depsbuild}" --parallel 2
    OUTPUT_FILE "${depsbuild}.log" ERROR_FILE "${depsbuild}.log" RESULT_VARIABLE built)
endif()
if(NOT configured EQUAL 0 OR NOT built EQUAL 0)
  file(READ "${depsbuild}.log" log)
  string(LENGTH "${log}" length)
  if(length GREATER 6000)
    math(EXPR from "${length} - 6000")
    string(SUBSTRING "${log}" ${from} -1 log)
  endif()
  message(FATAL_ERROR "The Windows libraries did not build:\n${log}")
endif()
