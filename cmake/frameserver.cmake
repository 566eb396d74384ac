# The frame server the script is for, AviSynth+, built once into the build
# tree from VANTREL_THIRD_PARTY (never installed into the system) for the
# test that renders the show, and the tests' own renderer that loads it.
set(frameserver "")
set(rendershow "")
if(NOT VANTREL_FRAMESERVER_TESTS)
  set(frameservermissing "built without the frame server (VANTREL_FRAMESERVER_TESTS is OFF)")
elseif(CMAKE_CROSSCOMPILING)
  set(frameservermissing "the frame server is built for the host only")
elseif(NOT EXISTS "${VANTREL_THIRD_PARTY}/avisynthplus/CMakeLists.txt")
  set(frameservermissing "no AviSynth+ source at ${VANTREL_THIRD_PARTY}/avisynthplus")
else()
  include(ExternalProject)
  set(frameserverprefix "${PROJECT_BINARY_DIR}/avisynthplus")
  set(frameserver "${frameserverprefix}/install/lib/libavisynth.so")
  ExternalProject_Add(avisynthplus
    SOURCE_DIR "${VANTREL_THIRD_PARTY}/avisynthplus"
    PREFIX "${frameserverprefix}"
    INSTALL_DIR "${frameserverprefix}/install"
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
               -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}
               -DBUILD_TIMESTRETCH=OFF -DBUILD_SHIBATCH=OFF
    BUILD_BYPRODUCTS "${frameserver}")
  # Outside the sanitizers like the library it loads, and optimised: every
  # frame of every show passes through it.
  add_executable(rendershow testing/rendershow.cc testing/frameserver.cc)
  add_dependencies(rendershow avisynthplus)
  target_include_directories(rendershow PRIVATE "${frameserverprefix}/install/include")
  target_compile_options(rendershow PRIVATE -O2 -fno-sanitize=all)
  target_link_options(rendershow PRIVATE -fno-sanitize=all)
  target_link_libraries(rendershow PRIVATE ${CMAKE_DL_LIBS})
  add_dependencies(vantrel_tests rendershow)
  set(rendershow "$<TARGET_FILE:rendershow>")
endif()
target_compile_definitions(vantrel_tests PRIVATE
  VANTREL_RENDERSHOW="${rendershow}"
  VANTREL_FRAMESERVER="${frameserver}"
  VANTREL_FRAMESERVER_MISSING="${frameservermissing}")
