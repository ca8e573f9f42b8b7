# POSIX build: our platform layer as a shared library (it plays the part of
# the system's kernel32/advapi32/oleaut32, so the module and the host share one
# copy of the per-thread error record and the class catalogue), the module
# libtessary.so, the script host, tests and benchmarks.
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
include_directories(${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/platform/posix/include ${TESSARY_GEN})
# The generated interface header includes the system headers only on Windows.
add_compile_definitions(COM_NO_WINDOWS_H)

file(GLOB TESSARY_PLATFORM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/posix/*.cpp)
# The path rules both targets share; here the platform library exports them.
list(APPEND TESSARY_PLATFORM_SOURCES ${CMAKE_SOURCE_DIR}/platform/winpath.cpp)
add_library(tessary-platform SHARED ${TESSARY_PLATFORM_SOURCES})
# The platform library is the one shared library programs link against, so it
# carries a SONAME: an incompatible change of its exports bumps SOVERSION.
set_target_properties(tessary-platform PROPERTIES CXX_VISIBILITY_PRESET hidden
                      VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
target_link_libraries(tessary-platform PRIVATE dl pthread)

# The core as objects, so the unit tests can reach what the module hides.
add_library(tessary_core OBJECT ${TESSARY_CORE_SOURCES}
            ${TESSARY_GEN}/tessary_classes.cpp ${TESSARY_GEN}/tessary_dispatch.cpp)
add_dependencies(tessary_core tessary_typelib)
set_target_properties(tessary_core PROPERTIES CXX_VISIBILITY_PRESET hidden)

add_library(tessary SHARED $<TARGET_OBJECTS:tessary_core>)
set_target_properties(tessary PROPERTIES CXX_VISIBILITY_PRESET hidden)
target_link_libraries(tessary PRIVATE tessary-platform)
target_link_options(tessary PRIVATE -Wl,--no-undefined)

file(GLOB TESSARY_HOST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/host/*.cpp)
if(TESSARY_HOST_SOURCES)
  # Everything but main() is a library of its own, which the host's unit
  # tests link too.
  set(_host_main ${CMAKE_SOURCE_DIR}/host/main.cpp)
  list(REMOVE_ITEM TESSARY_HOST_SOURCES ${_host_main})
  add_library(tessary_host_core STATIC ${TESSARY_HOST_SOURCES})
  add_dependencies(tessary_host_core tessary_typelib)
  target_link_libraries(tessary_host_core PUBLIC tessary-platform duktape m)
  add_executable(tessary-run ${_host_main})
  target_link_libraries(tessary-run PRIVATE tessary_host_core)
  target_compile_definitions(tessary_host_core PUBLIC TESSARY_VERSION="${PROJECT_VERSION}")
  # The host finds the module it was built beside when the store names none.
  add_dependencies(tessary-run tessary)
endif()

include(${CMAKE_SOURCE_DIR}/cmake/install.cmake)

if(TESSARY_TESTS)
  enable_testing()
  include(${CMAKE_SOURCE_DIR}/tests/tests.cmake)
endif()
if(TESSARY_BENCH)
  file(GLOB _bench CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/*.cpp)
  if(_bench)
    find_package(benchmark REQUIRED)
    add_executable(tessary-bench ${_bench} $<TARGET_OBJECTS:tessary_core>)
    target_link_libraries(tessary-bench PRIVATE tessary-platform benchmark::benchmark pthread)
    include(${CMAKE_SOURCE_DIR}/bench/crypto_baselines.cmake)
  endif()
endif()
