# Unit tests mirror the sources: tests/unit/<subsystem>/*_test.cpp make one
# GoogleTest binary per subsystem. Platform tests link only the platform
# library; the others link the core objects as well.
find_package(GTest REQUIRED)
include(GoogleTest)

file(GLOB _subsystems LIST_DIRECTORIES true CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/*)
foreach(dir ${_subsystems})
  if(NOT IS_DIRECTORY ${dir})
    continue()
  endif()
  get_filename_component(name ${dir} NAME)
  file(GLOB _src CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT _src)
    continue()
  endif()
  if(name STREQUAL "platform")
    add_executable(${name}_tests ${_src})
  else()
    add_executable(${name}_tests ${_src} $<TARGET_OBJECTS:tessary_core>)
    add_dependencies(${name}_tests tessary_typelib)
  endif()
  target_include_directories(${name}_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/tests/unit)
  target_link_libraries(${name}_tests PRIVATE tessary-platform GTest::gtest GTest::gtest_main pthread dl)
  if(name STREQUAL "host")
    target_link_libraries(host_tests PRIVATE tessary_host_core)
  endif()
  target_compile_definitions(${name}_tests PRIVATE
    TESSARY_MODULE_PATH="$<TARGET_FILE:tessary>"
    TESSARY_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    TESSARY_BINARY_DIR="${CMAKE_BINARY_DIR}")
  if(NOT name STREQUAL "platform")
    add_dependencies(${name}_tests tessary)
  endif()
  gtest_discover_tests(${name}_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit)
endforeach()

if(TARGET tessary-run)
  file(GLOB _scripts CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/scripts/*.js)
  foreach(script ${_scripts})
    get_filename_component(name ${script} NAME_WE)
    add_test(NAME script.${name}
             COMMAND ${CMAKE_COMMAND} -DRUN=$<TARGET_FILE:tessary-run> -DSCRIPT=${script}
                     -DMODULE=$<TARGET_FILE:tessary> -DWORK=${CMAKE_BINARY_DIR}/scriptwork/${name}
                     -P ${CMAKE_SOURCE_DIR}/tests/run_script.cmake)
    set_tests_properties(script.${name} PROPERTIES LABELS script)
  endforeach()
  add_test(NAME host.manual_lists_options
           COMMAND ${CMAKE_COMMAND} -DRUN=$<TARGET_FILE:tessary-run>
                   -DMANUAL=${CMAKE_SOURCE_DIR}/host/tessary-run.1
                   -P ${CMAKE_SOURCE_DIR}/tests/manual_options.cmake)
endif()

if(TESSARY_FUZZ)
  # The dispatch fuzzer drives the whole module: the code under test is
  # compiled again for it, with coverage and the sanitizers, so that the
  # fuzzer is led by its branches and sees its memory errors (undefined
  # behaviour stops the run like a crash). The other fuzzers build what they
  # test into themselves and take the rest from the platform library.
  set(_fuzz_flags -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined)
  add_library(tessary_platform_fuzz OBJECT EXCLUDE_FROM_ALL ${TESSARY_PLATFORM_SOURCES})
  target_compile_options(tessary_platform_fuzz PRIVATE ${_fuzz_flags})
  # The platform library carries its own copy of the MD5 the core uses
  # (crypt_md5.cpp); linked into one program, the core's copy would be a
  # second definition.
  set(_core_fuzz_sources ${TESSARY_CORE_SOURCES})
  list(FILTER _core_fuzz_sources EXCLUDE REGEX "/crypto/md5\\.cpp$")
  add_library(tessary_core_fuzz OBJECT EXCLUDE_FROM_ALL ${_core_fuzz_sources}
              ${TESSARY_GEN}/tessary_classes.cpp ${TESSARY_GEN}/tessary_dispatch.cpp)
  add_dependencies(tessary_core_fuzz tessary_typelib)
  target_compile_options(tessary_core_fuzz PRIVATE ${_fuzz_flags})
  set(_whole_module_fuzzers dispatch_fuzz)

  file(GLOB _fuzzers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/*_fuzz.cpp)
  foreach(src ${_fuzzers})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined
                                           -fno-sanitize-recover=undefined)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    if(name IN_LIST _whole_module_fuzzers)
      target_sources(${name} PRIVATE $<TARGET_OBJECTS:tessary_platform_fuzz>
                                     $<TARGET_OBJECTS:tessary_core_fuzz>)
      add_dependencies(${name} tessary_typelib)
      target_link_libraries(${name} PRIVATE dl pthread)
    else()
      target_link_libraries(${name} PRIVATE tessary-platform)
    endif()
  endforeach()
endif()
