# Part of `cmake --install`: the files that name installed paths, made from
# their templates with the prefix of this installation, and the two links.
# Set by the install rules: VTD_SOURCE_DIR, VTD_BINARY_DIR, VTD_LOG_DIR,
# VTD_SYSTEMD_UNIT_DIR (empty: <prefix>/lib/systemd/system).

set(VTD_PROGRAM_DIR "${CMAKE_INSTALL_PREFIX}/lib/vantry")
set(VTD_PROGRAM "${CMAKE_INSTALL_PREFIX}/sbin/vtd")
set(VTD_CHECK_PROGRAM "${CMAKE_INSTALL_PREFIX}/sbin/vtd-check")
if(VTD_SYSTEMD_UNIT_DIR STREQUAL "")
  set(VTD_SYSTEMD_UNIT_DIR "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
endif()
set(made "${VTD_BINARY_DIR}/install-files")

# The units and the log rotation rule.
foreach(unit vtd.service vtd@.service)
  configure_file("${VTD_SOURCE_DIR}/scripts/systemd/${unit}.in" "${made}/${unit}" @ONLY)
  file(INSTALL "${made}/${unit}" DESTINATION "${VTD_SYSTEMD_UNIT_DIR}")
endforeach()
configure_file("${VTD_SOURCE_DIR}/scripts/etc/logrotate.in" "${made}/logrotate/vtd" @ONLY)
file(INSTALL "${made}/logrotate/vtd" DESTINATION /etc/logrotate.d)

# The settings sample, readable by root only (settings hold passwords); an
# administrator's settings file is never replaced.
if(EXISTS "$ENV{DESTDIR}/etc/vantry/vtd.reg")
  message(STATUS "Kept: $ENV{DESTDIR}/etc/vantry/vtd.reg")
else()
  file(INSTALL "${VTD_SOURCE_DIR}/scripts/etc/vtd.reg" DESTINATION /etc/vantry
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE)
endif()

# sbin/vtd reaches the program by a relative link, so the daemon (which finds
# its folder through /proc/self/exe) still sees lib/vantry; logs beside it
# leads to the log folder. sbin/vtd-check reaches the settings check the same
# way.
file(RELATIVE_PATH target "${CMAKE_INSTALL_PREFIX}/sbin" "${VTD_PROGRAM_DIR}/vtd")
file(RELATIVE_PATH check_target "${CMAKE_INSTALL_PREFIX}/sbin" "${VTD_PROGRAM_DIR}/vtd-check")
foreach(link "sbin/vtd=${target}" "sbin/vtd-check=${check_target}" "lib/vantry/logs=${VTD_LOG_DIR}")
  string(REGEX REPLACE "=.*" "" name "${link}")
  string(REGEX REPLACE "^[^=]*=" "" points "${link}")
  set(path "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${name}")
  get_filename_component(folder "${path}" DIRECTORY)
  file(MAKE_DIRECTORY "${folder}")
  if(IS_DIRECTORY "${path}" AND NOT IS_SYMLINK "${path}")
    message(FATAL_ERROR "${path} is a folder: move what it holds to ${points} and remove it")
  endif()
  message(STATUS "Installing: ${path} -> ${points}")
  file(REMOVE "${path}")
  file(CREATE_LINK "${points}" "${path}" SYMBOLIC)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${path}")
endforeach()
