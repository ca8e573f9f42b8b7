# Windows: tessary.dll, an in-process COM server over the system's own
# services. The runtime is linked statically so the DLL ships alone; the
# type library is embedded as a resource and the exports come from a .def.
include_directories(${CMAKE_SOURCE_DIR} ${TESSARY_GEN})
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

# The few services of the seam that are ours on Windows too, and the path
# rules both targets share.
file(GLOB _platform CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/win32/*.cpp)
list(APPEND TESSARY_CORE_SOURCES ${_platform} ${CMAKE_SOURCE_DIR}/platform/winpath.cpp)

configure_file(${CMAKE_SOURCE_DIR}/frame/tessary.rc.in ${TESSARY_GEN}/tessary.rc @ONLY)
set_source_files_properties(${TESSARY_GEN}/tessary.rc PROPERTIES OBJECT_DEPENDS ${TESSARY_GEN}/tessary.tlb)

add_library(tessary SHARED ${TESSARY_CORE_SOURCES} ${TESSARY_GEN}/tessary_classes.cpp ${TESSARY_GEN}/tessary_dispatch.cpp
            ${TESSARY_GEN}/tessary.rc ${CMAKE_SOURCE_DIR}/frame/tessary.def)
add_dependencies(tessary tessary_typelib)
set_target_properties(tessary PROPERTIES PREFIX "" OUTPUT_NAME tessary)
target_link_options(tessary PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--enable-stdcall-fixup)
target_link_libraries(tessary PRIVATE ole32 oleaut32 uuid advapi32 shell32 mpr ntdll)

# The dispatcher's unit tests as a Windows program, built on request
# (tests/wine/run builds and runs it under Wine) from the GoogleTest sources
# the distribution ships, so the table dispatcher is tested against the
# system's own automation services too.
set(GTEST_SOURCE_DIR /usr/src/googletest/googletest CACHE PATH "GoogleTest sources")
if(EXISTS ${GTEST_SOURCE_DIR}/src/gtest-all.cc)
  add_executable(frame_tests EXCLUDE_FROM_ALL
                 ${GTEST_SOURCE_DIR}/src/gtest-all.cc ${GTEST_SOURCE_DIR}/src/gtest_main.cc
                 ${CMAKE_SOURCE_DIR}/tests/unit/frame/dispatch_test.cpp
                 ${CMAKE_SOURCE_DIR}/frame/dispatcher.cpp ${CMAKE_SOURCE_DIR}/frame/name_index.cpp
                 ${CMAKE_SOURCE_DIR}/frame/errors.cpp ${CMAKE_SOURCE_DIR}/frame/values.cpp)
  add_dependencies(frame_tests tessary_typelib)
  target_include_directories(frame_tests PRIVATE ${GTEST_SOURCE_DIR} ${GTEST_SOURCE_DIR}/include
                             ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/tests/unit)
  target_compile_options(frame_tests PRIVATE -include ${CMAKE_SOURCE_DIR}/tests/wine/gtest_mingw.h)
  target_link_options(frame_tests PRIVATE -static -static-libgcc -static-libstdc++)
  target_link_libraries(frame_tests PRIVATE ole32 oleaut32 uuid)

  # The listing's probe against the open it answers for, under the system's
  # own file services.
  add_executable(find_probe_tests EXCLUDE_FROM_ALL
                 ${GTEST_SOURCE_DIR}/src/gtest-all.cc ${GTEST_SOURCE_DIR}/src/gtest_main.cc
                 ${CMAKE_SOURCE_DIR}/tests/wine/find_probe_test.cpp
                 ${CMAKE_SOURCE_DIR}/platform/win32/find_probe.cpp
                 ${CMAKE_SOURCE_DIR}/platform/win32/find_names.cpp)
  target_include_directories(find_probe_tests PRIVATE ${GTEST_SOURCE_DIR} ${GTEST_SOURCE_DIR}/include)
  target_compile_options(find_probe_tests PRIVATE -include ${CMAKE_SOURCE_DIR}/tests/wine/gtest_mingw.h)
  target_link_options(find_probe_tests PRIVATE -static -static-libgcc -static-libstdc++)
  target_link_libraries(find_probe_tests PRIVATE ntdll)
endif()

# The search and the probe of a listing timed on their own, for
# bench/wine_files_bench.sh; built on request.
add_executable(wine_listing_parts EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/bench/wine/listing_parts.cpp
               ${CMAKE_SOURCE_DIR}/platform/win32/find_probe.cpp
               ${CMAKE_SOURCE_DIR}/platform/win32/find_names.cpp)
target_link_options(wine_listing_parts PRIVATE -static -static-libgcc -static-libstdc++)
target_link_libraries(wine_listing_parts PRIVATE ntdll)
