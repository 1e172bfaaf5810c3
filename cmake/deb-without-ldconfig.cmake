# Run by cpack after it has made the .deb (CPACK_POST_BUILD_SCRIPTS). CPack
# gives a package with libraries below /usr/lib a postinst that calls
# ldconfig, unless the package brings a postinst of its own, even when the
# libraries live, as quib's do, in a folder of their own that ld.so never
# searches. The package is made again without that postinst.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  set(tree ${package}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${package} ${tree} RESULT_VARIABLE status)
  if(status EQUAL 0 AND EXISTS ${tree}/DEBIAN/postinst)
    file(READ ${tree}/DEBIAN/postinst postinst)
    if(postinst MATCHES "ldconfig")
      file(REMOVE ${tree}/DEBIAN/postinst)
      execute_process(COMMAND dpkg-deb --root-owner-group --build ${tree} ${package}
                      OUTPUT_QUIET RESULT_VARIABLE status)
    endif()
  endif()
  file(REMOVE_RECURSE ${tree})
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${package}: making it again without ldconfig failed (${status})")
  endif()
endforeach()
