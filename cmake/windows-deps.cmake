# Windows (cross-built): the libraries first, built at configure time by the
# superbuild in cmake/windows-deps into VANTREL_WINDOWS_DEPS, where the
# toolchain file has find_package and pkg-config look. Up to date, it only
# checks its steps.
if(NOT EXISTS "${VANTREL_THIRD_PARTY}/devil")
  message(FATAL_ERROR "No library sources at ${VANTREL_THIRD_PARTY} (set VANTREL_THIRD_PARTY)")
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
