# typelib/tessary.idl is the one description of the object model. From it:
# - widl writes the C++ interface header (both targets) and, for Windows, the
#   binary type library that the DLL embeds;
# - tessary-idlgen (ours, built with the build machine's compiler so that the
#   cross builds can run it too) writes the class table, the E_NOTIMPL bases
#   of every interface and, for POSIX, the dispatch tables.
set(TESSARY_IDL ${CMAKE_SOURCE_DIR}/typelib/tessary.idl)
set(TESSARY_GEN ${CMAKE_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${TESSARY_GEN})

if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND WIN32)
  set(_widl_names i686-w64-mingw32-widl widl)
  set(_widl_arch --win32)
else()
  set(_widl_names x86_64-w64-mingw32-widl widl)
  set(_widl_arch --win64)
endif()
find_program(WIDL NAMES ${_widl_names} REQUIRED)
set(WIDL_IDL_DIR /usr/include/wine/wine/windows CACHE PATH "Folder holding oaidl.idl and ocidl.idl")
set(WIDL_TLB_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows CACHE PATH "Folder holding stdole2.tlb")

add_custom_command(
  OUTPUT ${TESSARY_GEN}/tessary_widl.h ${TESSARY_GEN}/tessary.tlb
  COMMAND ${WIDL} ${_widl_arch} -I${WIDL_IDL_DIR} -L${WIDL_TLB_DIR} -h -H ${TESSARY_GEN}/tessary_widl.h
          -t -T ${TESSARY_GEN}/tessary.tlb ${TESSARY_IDL}
  DEPENDS ${TESSARY_IDL}
  COMMENT "widl: interface header and type library"
  VERBATIM)

find_program(HOST_CXX NAMES c++ g++ REQUIRED)
set(IDLGEN ${CMAKE_BINARY_DIR}/host/tessary-idlgen)
add_custom_command(
  OUTPUT ${IDLGEN}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/host
  COMMAND ${HOST_CXX} -std=c++17 -O1 -Wall -Wextra -Werror -o ${IDLGEN}
          ${CMAKE_SOURCE_DIR}/typelib/idlgen.cpp
  DEPENDS ${CMAKE_SOURCE_DIR}/typelib/idlgen.cpp
  COMMENT "Building the interface table generator for the build machine"
  VERBATIM)

set(TESSARY_GENERATED_SOURCES
  ${TESSARY_GEN}/tessary.h
  ${TESSARY_GEN}/tessary_stubs.h
  ${TESSARY_GEN}/tessary_classes.cpp
  ${TESSARY_GEN}/tessary_dispatch.cpp)
add_custom_command(
  OUTPUT ${TESSARY_GENERATED_SOURCES}
  COMMAND ${IDLGEN} ${TESSARY_IDL} ${TESSARY_GEN}/tessary_widl.h ${TESSARY_GEN}
  DEPENDS ${IDLGEN} ${TESSARY_IDL} ${TESSARY_GEN}/tessary_widl.h
  COMMENT "tessary-idlgen: class table, stubs and dispatch tables"
  VERBATIM)
add_custom_target(tessary_typelib DEPENDS ${TESSARY_GEN}/tessary.tlb ${TESSARY_GENERATED_SOURCES})
