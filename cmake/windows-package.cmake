# What the Windows zip holds, at its top: vantrel.exe, the DLLs it needs from
# the library prefix (its runtime dependencies found there; those of Windows
# itself are not, and stay out), README.txt (with CR LF line breaks) and
# every licence. `cpack` (the windows preset's package step) makes
# vantrel-VERSION-win64.zip of it.
install(TARGETS vantrel RUNTIME DESTINATION .)
install(CODE "set(VANTREL_PROGRAM \"$<TARGET_FILE:vantrel>\")
  set(VANTREL_DLLS \"${VANTREL_WINDOWS_DEPS}/bin\")
  set(VANTREL_OBJDUMP \"${CMAKE_OBJDUMP}\")")
install(SCRIPT cmake/windows-dlls.cmake)
file(READ doc/README-windows.txt readme)
string(CONFIGURE "${readme}" readme @ONLY)
file(CONFIGURE OUTPUT "${PROJECT_BINARY_DIR}/generated/README.txt" CONTENT "${readme}" NEWLINE_STYLE CRLF)
install(FILES "${PROJECT_BINARY_DIR}/generated/README.txt" DESTINATION .)
install(FILES LICENSE DESTINATION licenses/vantrel)
install(DIRECTORY "${VANTREL_WINDOWS_DEPS}/licenses/" DESTINATION licenses)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME vantrel)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}-${VANTREL_RELEASE}")
set(CPACK_PACKAGE_FILE_NAME "vantrel-${PROJECT_VERSION}-${VANTREL_RELEASE}-win64")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES vantrel.exe)
include(CPack)
