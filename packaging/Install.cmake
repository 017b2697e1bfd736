# What `cmake --install` puts where, and the Debian package made from it.
include(GNUInstallDirs)

set(TARVOS_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit goes, relative to the install prefix")

install(TARGETS tarvos RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The manual page carries the version and is installed compressed, as man reads it.
configure_file(${CMAKE_SOURCE_DIR}/packaging/tarvos.1.in ${CMAKE_BINARY_DIR}/packaging/tarvos.1 @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/packaging/tarvos.1.gz
  COMMAND sh -c "gzip -9 -n -c \"$0\" > \"$1\"" ${CMAKE_BINARY_DIR}/packaging/tarvos.1
          ${CMAKE_BINARY_DIR}/packaging/tarvos.1.gz
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/tarvos.1
  VERBATIM)
add_custom_target(tarvos_manpage ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/tarvos.1.gz)
install(FILES ${CMAKE_BINARY_DIR}/packaging/tarvos.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarvos)

# The unit's ExecStart names the installed binary, so it is made when the
# prefix is known: at install time (`cmake --install --prefix` may differ from
# the configured prefix). Each prefix gets a scratch copy of its own.
install(CODE "
  string(MD5 tarvos_prefix_key \"\${CMAKE_INSTALL_PREFIX}\")
  set(tarvos_unit_scratch \"${CMAKE_BINARY_DIR}/packaging/unit-\${tarvos_prefix_key}\")
  if(IS_ABSOLUTE \"${CMAKE_INSTALL_BINDIR}\")
    set(TARVOS_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  else()
    set(TARVOS_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  endif()
  configure_file(\"${CMAKE_SOURCE_DIR}/packaging/tarvos.service.in\"
                 \"\${tarvos_unit_scratch}/tarvos.service\" @ONLY)
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${TARVOS_UNIT_DIR}\" TYPE FILE
       FILES \"\${tarvos_unit_scratch}/tarvos.service\")
")

# make package: a .deb whose dependencies are read off the binary's libraries.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "tarvos")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Tarvos")
set(CPACK_PACKAGE_CONTACT "Tarvos maintainers <maintainers@tarvos.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "HiSLIP test and reference server")
# The summary is the package's synopsis; this is the text below it, one line each.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Makes a PC look like a measuring instrument on the network: instrument-control\nclients open HiSLIP 1.0 sessions to it. Behind the protocol sits an emulated\ninstrument with IEEE 488.2 common commands, an SCPI error queue, service\nrequests and file transfer. Includes a systemd unit (tarvos.service) and an\noptional announcement over multicast DNS.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(TARVOS_HAVE_AVAHI)
  # -m needs the responder running on the machine, not only its client library.
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "avahi-daemon")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
    ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
