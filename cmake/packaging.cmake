# Install rules, and the packages that CPack makes from them: a Debian
# package from a Linux build (cpack -G DEB), a zip from the Windows build
# (cpack -G ZIP). scripts/package.sh makes both.
set(QUIB_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

set(CPACK_PACKAGE_NAME quib)
set(CPACK_PACKAGE_VENDOR Wendfield)
set(CPACK_PACKAGE_CONTACT "Quib maintainers <quib@wendfield.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "command-line mail sender for scripts and scheduled jobs")
# Lines of at most 80 characters, as a Debian control file wants them.
set(CPACK_PACKAGE_DESCRIPTION
    "Quib sends one text message (a file, or console input) to To, Cc and Bcc
recipients through an SMTP server, and ends; its exit status tells the
outcome. The default server and sender are stored once for the whole machine.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # quib.exe finds gensock.dll beside itself; the zip holds both and the text.
  install(TARGETS quib RUNTIME DESTINATION .)
  install(TARGETS gensock LIBRARY DESTINATION .)
  configure_file(${QUIB_PACKAGING_DIR}/windows/README.txt.in ${PROJECT_BINARY_DIR}/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME quib-${PROJECT_VERSION}-win64)
else()
  include(GNUInstallDirs)
  install(TARGETS quib RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Private to quib, which looks for it in <its folder>/../lib/quib.
  install(TARGETS gensock gensock_tls LIBRARY DESTINATION lib/quib)

  # The manual page, with the version filled in, compressed as installed.
  set(QUIB_MAN_PAGE ${PROJECT_BINARY_DIR}/quib.1)
  configure_file(${PROJECT_SOURCE_DIR}/doc/quib.1.in ${QUIB_MAN_PAGE} @ONLY)
  add_custom_command(OUTPUT ${QUIB_MAN_PAGE}.gz
                     COMMAND gzip -9 -n -f -k ${QUIB_MAN_PAGE}
                     DEPENDS ${QUIB_MAN_PAGE}
                     VERBATIM)
  add_custom_target(man_page ALL DEPENDS ${QUIB_MAN_PAGE}.gz)
  install(FILES ${QUIB_MAN_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${QUIB_PACKAGING_DIR}/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION mail)
  # Depends: from dpkg-shlibdeps over quib and libgensock.so, as built.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # postrm: purging removes the stored settings; removing keeps them.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${QUIB_PACKAGING_DIR}/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
