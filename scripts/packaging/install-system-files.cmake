# Runs at install time, from cmake_install.cmake, with the prefix of this
# install in CMAKE_INSTALL_PREFIX and the staging root, if any, in DESTDIR.
#
#   /etc/veldagentd.cfg           the example configuration; one already
#                                 there is the administrator's and is kept
#   /etc/logrotate.d/veldagentd   the diagnostic log's rotation
#   <unitdir>/veldagentd.service  with ExecStart at <prefix>/<sbindir>; the
#                                 unit directory is /lib/systemd/system for
#                                 the prefix /usr (where Debian 12's systemd
#                                 and packages keep units) and
#                                 <prefix>/lib/systemd/system otherwise
#
# The two files in /etc do not follow the prefix: the agent's built-in
# configuration path is /etc/veldagentd.cfg, and logrotate reads only
# /etc/logrotate.d.

if(EXISTS "$ENV{DESTDIR}/etc/veldagentd.cfg")
  message(STATUS "Keeping: $ENV{DESTDIR}/etc/veldagentd.cfg")
else()
  file(INSTALL DESTINATION /etc TYPE FILE RENAME veldagentd.cfg
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES "${VELD_SOURCE_DIR}/examples/veldagentd.cfg")
endif()
file(INSTALL DESTINATION /etc/logrotate.d TYPE FILE RENAME veldagentd
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     FILES "${VELD_PACKAGING_DIR}/veldagentd.logrotate")

if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(veld_unitdir /lib/systemd/system)
else()
  set(veld_unitdir "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
endif()
if(NOT IS_ABSOLUTE "${VELD_SBINDIR}")
  set(VELD_SBINDIR "${CMAKE_INSTALL_PREFIX}/${VELD_SBINDIR}")
endif()
file(READ "${VELD_PACKAGING_DIR}/veldagentd.service.in" veld_unit)
string(CONFIGURE "${veld_unit}" veld_unit @ONLY)
file(WRITE "${VELD_BINARY_DIR}/packaging/veldagentd.service" "${veld_unit}")
file(INSTALL DESTINATION "${veld_unitdir}" TYPE FILE
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     FILES "${VELD_BINARY_DIR}/packaging/veldagentd.service")
