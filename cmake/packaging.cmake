# Install rules, and the packages that CPack makes from them: a Debian
# package from a Linux build (cpack -G DEB), a zip from the Windows build
# (cpack -G ZIP). scripts/package.sh makes both.
set(QUIB_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

set(CPACK_PACKAGE_NAME quib)
set(CPACK_PACKAGE_VENDOR Wendfield)
# A placeholder until the project has a list address.
set(CPACK_PACKAGE_CONTACT "Quib developers <quib@example.org>")
set(QUIB_COPYRIGHT "Copyright (c) 2026 The Quib developers")  # as in LICENSE
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "command-line mail sender for scripts and scheduled jobs")
# Lines of at most 80 characters, as a Debian control file wants them.
set(CPACK_PACKAGE_DESCRIPTION
    "Quib sends one text message (a file, or console input) to To, Cc and Bcc
recipients through an SMTP server, and ends; its exit status tells the
outcome. The default server and sender are stored once for the whole machine.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # Version resources (what Explorer's Details tab shows), from the project
  # version.
  function(quib_version_resource target file type description)
    set(QUIB_RC_NAME ${target})
    set(QUIB_RC_FILE ${file})
    set(QUIB_RC_TYPE ${type})
    set(QUIB_RC_DESCRIPTION ${description})
    configure_file(${QUIB_PACKAGING_DIR}/windows/version.rc.in
                   ${PROJECT_BINARY_DIR}/${target}-version.rc @ONLY)
    target_sources(${target} PRIVATE ${PROJECT_BINARY_DIR}/${target}-version.rc)
  endfunction()
  quib_version_resource(quib quib.exe VFT_APP "Quib command-line mail sender")
  quib_version_resource(gensock gensock.dll VFT_DLL "Quib socket library")

  # quib.exe finds gensock.dll beside itself; the zip holds both and the
  # texts, with Windows line ends.
  install(TARGETS quib RUNTIME DESTINATION .)
  install(TARGETS gensock LIBRARY DESTINATION .)
  configure_file(${QUIB_PACKAGING_DIR}/windows/README.txt.in ${PROJECT_BINARY_DIR}/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_BINARY_DIR}/LICENSE.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt ${PROJECT_BINARY_DIR}/LICENSE.txt DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME quib-${PROJECT_VERSION}-win64)
else()
  include(GNUInstallDirs)
  install(TARGETS quib RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Private to quib, which looks for it in <its folder>/../lib/quib.
  install(TARGETS gensock gensock_tls LIBRARY DESTINATION lib/quib)

  # <file>.gz, compressed as installed (no name or time stamp in it).
  function(quib_gzipped file target)
    add_custom_command(OUTPUT ${file}.gz COMMAND gzip -9 -n -f -k ${file} DEPENDS ${file} VERBATIM)
    add_custom_target(${target} ALL DEPENDS ${file}.gz)
  endfunction()

  # The manual page, with the version filled in.
  set(QUIB_MAN_PAGE ${PROJECT_BINARY_DIR}/quib.1)
  configure_file(${PROJECT_SOURCE_DIR}/doc/quib.1.in ${QUIB_MAN_PAGE} @ONLY)
  quib_gzipped(${QUIB_MAN_PAGE} man_page)
  install(FILES ${QUIB_MAN_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${QUIB_PACKAGING_DIR}/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The changelog of a native package, made from packaging/NEWS.
  include(${PROJECT_SOURCE_DIR}/cmake/debian-changelog.cmake)
  quib_debian_changelog(${QUIB_PACKAGING_DIR}/NEWS ${PROJECT_BINARY_DIR}/changelog)
  quib_gzipped(${PROJECT_BINARY_DIR}/changelog changelog)
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The flush of the queue as systemd user units (systemctl --user enable
  # --now quib-flush.timer).
  install(FILES ${QUIB_PACKAGING_DIR}/systemd/quib-flush.service
                ${QUIB_PACKAGING_DIR}/systemd/quib-flush.timer
          DESTINATION lib/systemd/user)

  # What lintian reports but is right as it is, each with its reason.
  install(FILES ${QUIB_PACKAGING_DIR}/debian/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME quib)

  # Stripped as Debian strips them: cpack's stripping (CPACK_STRIP_FILES)
  # leaves the compiler's .comment and .note sections in.
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      set(root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
      execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                              \"\${root}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:quib>\"
                              \"\${root}/lib/quib/$<TARGET_FILE_NAME:gensock>\"
                              \"\${root}/lib/quib/$<TARGET_FILE_NAME:gensock_tls>\"
                      RESULT_VARIABLE status)
      if(NOT status EQUAL 0)
        message(FATAL_ERROR \"strip: \${status}\")
      endif()
    endif()")

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION mail)
  # Depends: from dpkg-shlibdeps over quib and libgensock.so, as built.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # -oauth loads libcurl (and OpenSSL's libcrypto, which it brings) at run
  # time: quib without -oauth needs neither.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libcurl4)
  # postrm: purging removes the stored settings; removing keeps them.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${QUIB_PACKAGING_DIR}/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # CPack writes a postinst calling ldconfig into any package with libraries
  # below /usr/lib, even in a folder of their own that ld.so never searches;
  # the .deb is made again without it.
  set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb-without-ldconfig.cmake)
endif()

include(CPack)
