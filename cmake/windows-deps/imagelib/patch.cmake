# cmake -DSOURCE=.../DevIL -P patch.cmake: what the image library's tree
# needs to cross-build (on a copy of it).
# IL's CMakeLists lists ../libraries.txt among the DLL's (text) sources on
# Windows; the file is Libraries.txt, which only a case-blind file system finds.
file(COPY_FILE "${SOURCE}/Libraries.txt" "${SOURCE}/libraries.txt")
# Their resource scripts (version information, icon) name the icon with a
# backslash, relative to their own folder; windres wants it found from here.
foreach(rc src-IL/msvc/IL.rc src-ILU/msvc/ILU.rc)
  get_filename_component(folder "${SOURCE}/${rc}" DIRECTORY)
  file(READ "${SOURCE}/${rc}" text)
  string(REPLACE "\"resources\\\\IL Logo.ico\"" "\"${folder}/resources/IL Logo.ico\"" text "${text}")
  file(WRITE "${SOURCE}/${rc}" "${text}")
endforeach()
