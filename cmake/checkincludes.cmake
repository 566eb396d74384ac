# cmake -DMODULE=name -DALLOWED=a,b -DMODULES=a,b,c -DFILES=f1;f2 -DSTAMP=file
#   -P checkincludes.cmake
# Fails if one of FILES includes a header of a module (a folder of src/,
# one of MODULES) that is not among ALLOWED; otherwise touches STAMP.
cmake_minimum_required(VERSION 3.25)
string(REPLACE "," ";" allowed "${ALLOWED}")
string(REPLACE "," ";" modules "${MODULES}")
set(faults "")
foreach(file IN LISTS FILES)
  file(STRINGS "${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[a-z0-9]+/")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([a-z0-9]+)/.*" "\\1" used "${line}")
    if(used IN_LIST modules AND NOT used IN_LIST allowed)
      string(APPEND faults "\n  ${file}: ${line}")
    endif()
  endforeach()
endforeach()
if(faults)
  message(FATAL_ERROR "The ${MODULE} module may include the headers of ${ALLOWED} only"
                      " (CMakeLists.txt, vantrel_module); these reach further:${faults}")
endif()
get_filename_component(folder "${STAMP}" DIRECTORY)
file(MAKE_DIRECTORY "${folder}")
file(TOUCH "${STAMP}")
