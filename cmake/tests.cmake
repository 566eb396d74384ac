# The test suite: one GoogleTest program, vantrel_tests, whose tests CTest
# runs one by one, each with its labels, which follow the file a test is in
# (testlabels below), not its name:
#   unit         a module's own tests (src/<module>/*_test.cc), in the test
#                program's process (and the workers it starts)
#   end-to-end   the built vantrel, run as a user runs it (driver_test.cc,
#                driver-*_test.cc)
#   corpus       also: a test that reads the camera stills in VANTREL_CORPUS
#   frameserver  the script rendered by AviSynth+ (show_test.cc,
#                VANTREL_FRAMESERVER_TESTS)
#   emulated     every test of a cross build, run under its emulator
# so that `ctest --preset test -L unit` runs a slice.
enable_testing()
include(GoogleTest)

set(tests
  testing/testmain.cc testing/workerrun.cc
  src/script/script_test.cc src/slide/slide_test.cc src/slide/picture_test.cc src/worker/wire_test.cc
  src/worker/pool_test.cc src/base/text_test.cc src/kit/names_test.cc src/kit/folder_test.cc src/kit/avi_test.cc
  src/kit/kit_test.cc src/kit/journal_test.cc src/driver/report_test.cc src/driver/commit_test.cc
  src/driver/listing_test.cc src/driver/driver_test.cc)
if(WIN32)
  list(APPEND tests src/worker/subprocess-win32_test.cc)
else()
  list(APPEND tests src/worker/subprocess-linux_test.cc src/worker/renderwire_test.cc src/base/output_test.cc src/base/io_test.cc src/driver/driver-posix_test.cc
    src/script/show_test.cc)
endif()
if(VANTREL_VIDEO)
  list(APPEND tests src/video/media_test.cc)
endif()
if(WIN32)
  # As vantrel.exe's, the test program's code page is UTF-8: the names it
  # makes reach the files whole.
  list(APPEND tests "${PROJECT_BINARY_DIR}/generated/vantrel.rc")
endif()
if(VANTREL_VIDEO)
  # The video read back with the media library.
  list(APPEND tests src/script/timeline_test.cc src/video/render_test.cc src/video/pictures_test.cc src/video/motion_test.cc
    src/video/format_test.cc src/video/framequeue_test.cc
    src/video/descriptorio_test.cc testing/videoread.cc)
else()
  list(APPEND tests src/script/timeline_test.cc)
endif()
add_executable(vantrel_tests ${tests})
target_link_libraries(vantrel_tests PRIVATE vantrel_driver vantrel_fixtures GTest::gtest)
if(VANTREL_VIDEO)
  # The tests render with the render program's own code, read videos back
  # with the media library, and ask fontconfig (found as the text engine
  # is, CMakeLists.txt) which scripts have a font.
  find_path(FONTCONFIG_INCLUDE_DIR fontconfig/fontconfig.h)
  find_library(FONTCONFIG_LIBRARY fontconfig)
  if(NOT FONTCONFIG_INCLUDE_DIR OR NOT FONTCONFIG_LIBRARY)
    message(FATAL_ERROR "fontconfig not found (Debian: libfontconfig-dev)")
  endif()
  target_include_directories(vantrel_tests PRIVATE "${FONTCONFIG_INCLUDE_DIR}")
  target_link_libraries(vantrel_tests PRIVATE vantrel_video PkgConfig::MEDIA "${FONTCONFIG_LIBRARY}")
  target_compile_definitions(vantrel_tests PRIVATE VANTREL_VIDEO)
  add_dependencies(vantrel_tests vantrel-render)
endif()
# Paths of this machine, as the tests see them: under wine, on drive Z:.
set(here "")
if(WIN32 AND CMAKE_CROSSCOMPILING)
  set(here "Z:")
endif()
target_compile_definitions(vantrel_tests PRIVATE
  VANTREL_SOURCE="${here}${PROJECT_SOURCE_DIR}" VANTREL_CORPUS="${here}${VANTREL_CORPUS}")
add_dependencies(vantrel_tests vantrel)
if(WIN32)
  target_compile_definitions(vantrel_tests PRIVATE VANTREL_BINARY="${here}$<TARGET_FILE:vantrel>")
endif()

if(NOT WIN32)
  # Preloaded into vantrel by the tests to make faults happen on purpose.
  add_library(crashhook SHARED testing/crashhook.cc)
  target_compile_options(crashhook PRIVATE -fno-sanitize=all)
  target_link_options(crashhook PRIVATE -fno-sanitize=all)
  target_link_libraries(crashhook PRIVATE ${CMAKE_DL_LIBS})
  add_dependencies(vantrel_tests crashhook)
  # The end-to-end tests run the built vantrel, or, for a build they cannot
  # execute directly (cross-built: CMAKE_CROSSCOMPILING_EMULATOR), a script
  # that runs it through the emulator. Programs of the host they run as they are.
  set(binary "$<TARGET_FILE:vantrel>")
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    set(binary "${PROJECT_BINARY_DIR}/vantrel-launched")
    set(launch "")
    foreach(word IN LISTS CMAKE_CROSSCOMPILING_EMULATOR)
      string(APPEND launch "'${word}' ")
    endforeach()
    file(GENERATE OUTPUT "${binary}"
         CONTENT "#!/bin/sh\nexec ${launch}'$<TARGET_FILE:vantrel>' \"$@\"\n"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
  target_compile_definitions(vantrel_tests PRIVATE VANTREL_CRASHHOOK="$<TARGET_FILE:crashhook>" VANTREL_BINARY="${binary}")
  include(cmake/frameserver.cmake)
endif()

# The labels of the tests in one source file: by the file, and corpus for
# each test whose text names VANTREL_CORPUS.
function(testlabels source out)
  get_filename_component(file "${source}" NAME)
  if(file STREQUAL "show_test.cc")
    set(labels frameserver)
  elseif(file STREQUAL "driver_test.cc" OR file MATCHES "^driver-[a-z0-9]+_test\\.cc$")
    set(labels end-to-end)
  else()
    set(labels unit)
  endif()
  set(${out} ${labels} PARENT_SCOPE)
endfunction()

# The tests, listed from the sources (nothing is run to list them, so no
# emulator is needed before the tests themselves), with their labels.
set(skipnotes "${PROJECT_BINARY_DIR}/Testing/skipped")
set(found "")
foreach(source IN LISTS tests)
  if(NOT source MATCHES "_test\\.cc$")
    continue()
  endif()
  gtest_add_tests(TARGET vantrel_tests SOURCES ${source} TEST_LIST infile)
  list(APPEND found ${infile})
  testlabels(${source} filelabels)
  # Each test's text, from its TEST line to the next (the file's own
  # semicolons and brackets kept out of CMake's lists).
  file(READ "${PROJECT_SOURCE_DIR}/${source}" text)
  string(REPLACE ";" "," text "${text}")
  string(REPLACE "[" "(" text "${text}")
  string(REPLACE "]" ")" text "${text}")
  string(REGEX REPLACE "\n(TEST(_F)?\\()" ";\\1" chunks "${text}")
  set(corpustests "")
  foreach(chunk IN LISTS chunks)
    if(chunk MATCHES "^TEST(_F)?\\(([A-Za-z0-9_]+), *([A-Za-z0-9_]+)\\)")
      set(test "${CMAKE_MATCH_2}.${CMAKE_MATCH_3}")
      string(FIND "${chunk}" "VANTREL_CORPUS" at)
      if(at GREATER -1)
        list(APPEND corpustests "${test}")
      endif()
    endif()
  endforeach()
  foreach(test IN LISTS infile)
    set(labels ${filelabels})
    if(test IN_LIST corpustests)
      list(APPEND labels corpus)
    endif()
    if(CMAKE_CROSSCOMPILING_EMULATOR)
      list(APPEND labels emulated)
    endif()
    set_tests_properties(${test} PROPERTIES LABELS "${labels}" SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]"
      ENVIRONMENT_MODIFICATION "VANTREL_SKIPPED=set:${here}${skipnotes}")
  endforeach()
endforeach()
# CTest ends its run with one line naming the tests that skipped and why
# (cmake/skipped.cmake), from the notes they leave in this folder.
configure_file(cmake/CTestCustom.cmake.in "${CMAKE_BINARY_DIR}/CTestCustom.cmake" @ONLY)
if(WIN32 AND CMAKE_CROSSCOMPILING_EMULATOR)
  include(cmake/wine.cmake)
  set_tests_properties(${found} PROPERTIES FIXTURES_REQUIRED wine)
endif()
