# Writes the library package's maintainer scripts: registers the built module
# into a scratch store and lists the keys it wrote at the top of their
# subtrees, so that the purge script removes exactly those keys.
#
#   cmake -DREGSVR=... -DMODULE=... -DINSTALLED_MODULE=... -DINSTALLED_REGSVR=...
#         -DSOURCE=<packaging/debian> -DOUT=<folder> -P scripts.cmake
set(scratch ${OUT}/keys)
file(REMOVE_RECURSE ${scratch})
file(MAKE_DIRECTORY ${scratch})
set(ENV{TESSARY_REGISTRY} ${scratch}/registry.reg)
execute_process(COMMAND ${REGSVR} ${MODULE} RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "registering ${MODULE} into a scratch store failed: ${err}")
endif()
file(STRINGS ${scratch}/registry.reg headers REGEX "^\\[.*\\]$")
set(keys)
foreach(header IN LISTS headers)
  string(REGEX REPLACE "^\\[(.*)\\]$" "\\1" key "${header}")
  # A subtree of its own: a key right below HKEY_CLASSES_ROOT, or right below
  # its shared CLSID and TypeLib keys, which stay.
  if(key MATCHES "^HKEY_CLASSES_ROOT\\\\(CLSID|TypeLib)\\\\[^\\\\]+$" OR
     (key MATCHES "^HKEY_CLASSES_ROOT\\\\[^\\\\]+$" AND
      NOT key MATCHES "^HKEY_CLASSES_ROOT\\\\(CLSID|TypeLib)$"))
    string(APPEND keys "${key}\n")
  endif()
endforeach()
if(NOT keys MATCHES "Quennel\\.Tessary")
  message(FATAL_ERROR "the scratch store lacks the root object's keys")
endif()
string(REGEX REPLACE "\n$" "" TESSARY_KEYS "${keys}")
foreach(script postinst postrm)
  configure_file(${SOURCE}/${script}.in ${OUT}/${script} @ONLY)
  file(CHMOD ${OUT}/${script} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
