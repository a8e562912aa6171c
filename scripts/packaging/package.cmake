# What `cmake --install` puts where, and the Debian package CPack makes of
# it (`cpack -G DEB` in a build directory).  With the prefix /usr, as in the
# package:
#
#   /usr/sbin/veldagentd                     the agent
#   /usr/bin/veldcollect                     the demonstration collector
#   /usr/share/man/man8/veldagentd.8.gz      manual pages, compressed when
#   /usr/share/man/man5/veldagentd.cfg.5.gz  built
#   /usr/share/man/man1/veldcollect.1.gz
#   /usr/share/doc/veldagentd/copyright      licence and package history
#   /usr/share/doc/veldagentd/changelog.gz
#   /lib/systemd/system/veldagentd.service   the unit (install-system-files.cmake)
#   /etc/veldagentd.cfg                      example configuration, where the
#   /etc/logrotate.d/veldagentd              agent looks whatever the prefix
#
# Unit, rotation snippet, maintainer scripts and package metadata sit beside
# this file.

include(GNUInstallDirs)

install(TARGETS veldagentd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS veldcollect RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages and the changelog are compressed at build time, without a
# name or time stamp in the gzip header, so that two builds of one source
# give the same package.
set(VELD_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(VELD_MAN_PAGES veldagentd.8 veldagentd.cfg.5 veldcollect.1)
configure_file(${VELD_PACKAGING_DIR}/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
set(veld_gzipped)
foreach(page IN LISTS VELD_MAN_PAGES)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/man/${page} > ${CMAKE_BINARY_DIR}/man/${page}.gz
    DEPENDS ${CMAKE_SOURCE_DIR}/man/${page}
    VERBATIM)
  list(APPEND veld_gzipped ${CMAKE_BINARY_DIR}/man/${page}.gz)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
  install(FILES ${CMAKE_BINARY_DIR}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/packaging/changelog > ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog
  VERBATIM)
list(APPEND veld_gzipped ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_target(veld_docs ALL DEPENDS ${veld_gzipped})
install(FILES ${VELD_PACKAGING_DIR}/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The unit and the files in /etc are placed at install time, when the
# prefix of this install is known (CPack's /usr is not the configured one).
install(CODE "set(VELD_PACKAGING_DIR \"${VELD_PACKAGING_DIR}\")
set(VELD_SOURCE_DIR \"${CMAKE_SOURCE_DIR}\")
set(VELD_BINARY_DIR \"${CMAKE_BINARY_DIR}\")
set(VELD_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")")
install(SCRIPT ${VELD_PACKAGING_DIR}/install-system-files.cmake)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veldagentd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "VELD Systems <packages@veld.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "log file and host metrics forwarder")
# Lines of the long description stay within 80 columns; CPack keeps them.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "veldagentd tails log files, and the files of watched directories, and"
  "sends every new line, with host metrics read from the kernel every five"
  "minutes, to one remote collector over TCP or UDP. It remembers how far it"
  "has read each file across restarts and rotates files that grow past a"
  "size limit."
  "The package also holds veldcollect, a small collector for trying the"
  "agent out.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# veldagentd loads libssl only when a link speaks TLS; veldcollect links
# it, so the dependencies found from the shared libraries name it anyway.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# CPack lists no conffiles of its own: both files in /etc are named here,
# so that an administrator's changes survive upgrades.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${VELD_PACKAGING_DIR}/conffiles ${VELD_PACKAGING_DIR}/postinst
    ${VELD_PACKAGING_DIR}/prerm ${VELD_PACKAGING_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
