# Debian packages from this build tree with CPack's DEB generator
# (`cpack -G DEB` in the build folder, tools/test does it): the install rules
# above are the one description of what goes where, for `cmake --install`
# and for the packages alike, and the packages come from the build that was
# just tested instead of a second build in a debian/ tree.
#
#   libtessary1     the platform library and the module; registers the module
#                   in /etc/tessary/registry.reg on configure, removes its keys
#                   on purge
#   tessary-run     the script host, its manual page and the examples
#   libtessary-dev  headers, pkg-config file and CMake package for embedding
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessary)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tessary developers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime host dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tessary developers <tessary@example.org>")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/tessary")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The real shared-library dependencies, from dpkg-shlibdeps; the library of
# this build is found among the packaged files and named explicitly below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})

set(_exact "(= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtessary1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
string(CONCAT CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "file-management object model for scripts (runtime)\n"
    "The Tessary automation runtime (libtessary-platform) and the module that\n"
    "gives scripts files, folders, drives, text and binary streams, a\n"
    "dictionary, checksums and file encryption through late-bound dispatch.\n"
    "Installing it registers the module in /etc/tessary/registry.reg.")

set(CPACK_DEBIAN_HOST_PACKAGE_NAME tessary-run)
set(CPACK_DEBIAN_HOST_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_HOST_PACKAGE_DEPENDS "libtessary1 ${_exact}")
string(CONCAT CPACK_COMPONENT_HOST_DESCRIPTION
    "run JScript-dialect scripts against the Tessary object model\n"
    "tessary-run runs scripts written for the Windows script host in the\n"
    "JScript dialect, with WScript, ActiveXObject and Enumerator, against the\n"
    "Tessary file-management object model.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtessary-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libtessary1 ${_exact}")
string(CONCAT CPACK_COMPONENT_DEV_DESCRIPTION
    "file-management object model for scripts (development files)\n"
    "Headers, a pkg-config file and a CMake package (find_package(Tessary))\n"
    "for programs that embed the Tessary automation runtime.")

# Maintainer scripts of the library: the keys the module writes are listed
# at build time from a registration into a scratch store, so that purge
# removes exactly those, even after the module itself is gone.
set(_deb ${CMAKE_BINARY_DIR}/packaging/debian)
set(TESSARY_INSTALLED_MODULE /usr/${TESSARY_MODULE_DIR}/libtessary.so)
set(TESSARY_INSTALLED_REGSVR /usr/${TESSARY_MODULE_DIR}/tessary-regsvr)
add_custom_command(
  OUTPUT ${_deb}/postinst ${_deb}/postrm
  COMMAND ${CMAKE_COMMAND} -DREGSVR=$<TARGET_FILE:tessary-regsvr> -DMODULE=$<TARGET_FILE:tessary>
          -DINSTALLED_MODULE=${TESSARY_INSTALLED_MODULE}
          -DINSTALLED_REGSVR=${TESSARY_INSTALLED_REGSVR}
          -DSOURCE=${CMAKE_SOURCE_DIR}/packaging/debian -DOUT=${_deb}
          -P ${CMAKE_SOURCE_DIR}/packaging/debian/scripts.cmake
  DEPENDS tessary tessary-regsvr ${CMAKE_SOURCE_DIR}/packaging/debian/scripts.cmake
          ${CMAKE_SOURCE_DIR}/packaging/debian/postinst.in
          ${CMAKE_SOURCE_DIR}/packaging/debian/postrm.in
  COMMENT "Debian maintainer scripts with the module's keys"
  VERBATIM)
add_custom_target(tessary-debian-scripts ALL DEPENDS ${_deb}/postinst ${_deb}/postrm)
file(MAKE_DIRECTORY ${_deb})
file(WRITE ${_deb}/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${_deb}/postinst ${_deb}/postrm ${_deb}/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Every package carries its copyright file and, being native, its changelog.
set(_changelog ${_deb}/changelog.gz)
add_custom_command(OUTPUT ${_changelog}
                   COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/packaging/debian/changelog > ${_changelog}
                   DEPENDS ${CMAKE_SOURCE_DIR}/packaging/debian/changelog VERBATIM)
add_custom_target(tessary-debian-changelog ALL DEPENDS ${_changelog})
foreach(_pair runtime:libtessary1 host:tessary-run dev:libtessary-dev)
  string(REPLACE ":" ";" _pair ${_pair})
  list(GET _pair 0 _component)
  list(GET _pair 1 _package)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/debian/copyright ${_changelog}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_package} COMPONENT ${_component}
          EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
