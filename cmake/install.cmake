# What `cmake --install` puts under the prefix, in the layout Debian uses at
# any prefix: the platform library in lib/<multiarch> (programs link it by
# its SONAME), the module in a private folder below it (only the class
# catalogue loads it, by the path registration records), the host and its
# manual page, the headers and the files that let a program embed the
# runtime. The store is not the prefix's: it stays /etc/tessary/registry.reg.
if(CMAKE_LIBRARY_ARCHITECTURE AND NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR})
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries")
endif()
include(GNUInstallDirs)
set(TESSARY_MODULE_DIR ${CMAKE_INSTALL_LIBDIR}/tessary)

# What a program that embeds the runtime compiles with: the headers, and the
# generated interface header without the Windows system headers.
target_include_directories(tessary-platform INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/tessary>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/tessary/platform/posix/include>)
target_compile_definitions(tessary-platform INTERFACE $<INSTALL_INTERFACE:COM_NO_WINDOWS_H>)
install(TARGETS tessary-platform EXPORT TessaryTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(TARGETS tessary LIBRARY DESTINATION ${TESSARY_MODULE_DIR} COMPONENT runtime)

# regsvr32's part for the package scripts: the library package registers the
# module on its own, without the host, which depends on it.
add_executable(tessary-regsvr ${CMAKE_SOURCE_DIR}/packaging/regsvr.cpp)
target_link_libraries(tessary-regsvr PRIVATE tessary-platform)
install(TARGETS tessary-regsvr RUNTIME DESTINATION ${TESSARY_MODULE_DIR} COMPONENT runtime)

if(TARGET tessary-run)
  install(TARGETS tessary-run RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT host)
  # Manual pages are installed compressed, as man-db finds them and Debian
  # wants them; -n keeps the archive the same from one build to the next.
  set(_man ${CMAKE_BINARY_DIR}/packaging/tessary-run.1.gz)
  add_custom_command(OUTPUT ${_man}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
                     COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/host/tessary-run.1 > ${_man}
                     DEPENDS ${CMAKE_SOURCE_DIR}/host/tessary-run.1 VERBATIM)
  add_custom_target(tessary-manual ALL DEPENDS ${_man})
  install(FILES ${_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT host)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
          COMPONENT host)
endif()

# Headers for embedding: the automation runtime's part of the seam, the
# POSIX stand-ins for the Windows headers they name, and the interface
# header generated from the type library. Programs include them as the core
# does ("platform/automation.h", "tessary.h").
install(FILES platform/automation.h platform/system.h platform/registry.h platform/modules.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tessary/platform COMPONENT dev)
install(FILES platform/posix/com_types.h platform/posix/winerror.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tessary/platform/posix COMPONENT dev)
install(FILES platform/posix/include/oaidl.h platform/posix/include/ocidl.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tessary/platform/posix/include COMPONENT dev)
install(FILES ${TESSARY_GEN}/tessary.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tessary
        COMPONENT dev)

# pkg-config and find_package(Tessary), both relocatable: the prefix is
# worked out from where the file lies.
file(RELATIVE_PATH TESSARY_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
configure_file(${CMAKE_SOURCE_DIR}/packaging/config/tessary.pc.in
               ${CMAKE_BINARY_DIR}/packaging/tessary.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/tessary.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

include(CMakePackageConfigHelpers)
set(_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Tessary)
configure_package_config_file(${CMAKE_SOURCE_DIR}/packaging/config/TessaryConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/packaging/TessaryConfig.cmake
                              INSTALL_DESTINATION ${_cmake_dir}
                              PATH_VARS CMAKE_INSTALL_INCLUDEDIR TESSARY_MODULE_DIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/packaging/TessaryConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(EXPORT TessaryTargets NAMESPACE Tessary:: DESTINATION ${_cmake_dir} COMPONENT dev)
install(FILES ${CMAKE_BINARY_DIR}/packaging/TessaryConfig.cmake
              ${CMAKE_BINARY_DIR}/packaging/TessaryConfigVersion.cmake
        DESTINATION ${_cmake_dir} COMPONENT dev)

# Packages are made from the plain build only.
if(NOT TESSARY_SANITIZE AND NOT TESSARY_TSAN AND NOT TESSARY_FUZZ)
  include(${CMAKE_SOURCE_DIR}/cmake/debian.cmake)
endif()

# Installed programs are plain ones: a sanitizer build is not installed.
if(TESSARY_TESTS AND TARGET tessary-run AND NOT TESSARY_SANITIZE AND NOT TESSARY_TSAN)
  add_test(NAME packaging.install
           COMMAND ${CMAKE_SOURCE_DIR}/tests/packaging/install_test.sh ${CMAKE_BINARY_DIR}
                   ${CMAKE_BINARY_DIR}/packagingwork/install)
  set_tests_properties(packaging.install PROPERTIES LABELS packaging)
endif()
