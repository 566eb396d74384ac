# The tool's modules, one static library each, and the edges between them.
#
#   vantrel_module(NAME SOURCES file... [USES module...] [LIBRARIES lib...])
#
# makes the library vantrel_NAME of src/NAME/'s sources, linked to the
# modules it USES and to the outside LIBRARIES, which only it links. A
# module's sources and headers may include the headers of the modules it
# uses and its own, and no others: the build checks that before it compiles
# the module (cmake/checkincludes.cmake), so the link lines below are the
# architecture, written once.

set(VANTREL_MODULES "")

function(vantrel_module name)
  cmake_parse_arguments(PARSE_ARGV 1 M "" "" "SOURCES;USES;LIBRARIES")
  set(target vantrel_${name})
  add_library(${target} STATIC ${M_SOURCES})
  target_include_directories(${target} PUBLIC "${PROJECT_SOURCE_DIR}/src")
  foreach(use IN LISTS M_USES)
    target_link_libraries(${target} PUBLIC vantrel_${use})
  endforeach()
  if(M_LIBRARIES)
    target_link_libraries(${target} PRIVATE ${M_LIBRARIES})
  endif()

  # What the module includes: its sources and every header of its folder.
  file(GLOB headers "${PROJECT_SOURCE_DIR}/src/${name}/*.h")
  set(files "")
  foreach(source IN LISTS M_SOURCES headers)
    get_filename_component(path "${source}" ABSOLUTE BASE_DIR "${PROJECT_SOURCE_DIR}")
    list(APPEND files "${path}")
  endforeach()
  list(REMOVE_DUPLICATES files)
  set(stamp "${CMAKE_CURRENT_BINARY_DIR}/includes/${name}.checked")
  set(allowed ${name} ${M_USES})
  string(REPLACE ";" "," allowed "${allowed}")
  string(REPLACE ";" "," modules "${VANTREL_ALL_MODULES}")
  add_custom_command(OUTPUT "${stamp}"
    COMMAND "${CMAKE_COMMAND}" -DMODULE=${name} -DALLOWED=${allowed} -DMODULES=${modules}
            "-DFILES=${files}" "-DSTAMP=${stamp}" -P "${PROJECT_SOURCE_DIR}/cmake/checkincludes.cmake"
    DEPENDS ${files} "${PROJECT_SOURCE_DIR}/cmake/checkincludes.cmake"
    COMMENT "Checking what the ${name} module includes"
    VERBATIM)
  add_custom_target(${target}_includes DEPENDS "${stamp}")
  add_dependencies(${target} ${target}_includes)
endfunction()
