# Debian package: the relay, its systemd unit and its man page. `cpack` in a build folder makes
# it for that build's architecture.
add_custom_command(OUTPUT nmea-relay.8.gz
    COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/nmea-relay.8 > nmea-relay.8.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/nmea-relay.8)
add_custom_target(manpage ALL DEPENDS nmea-relay.8.gz)

install(TARGETS nmea-relay RUNTIME DESTINATION sbin)
install(FILES packaging/nmea-relay.service DESTINATION lib/systemd/system)
install(FILES ${CMAKE_BINARY_DIR}/nmea-relay.8.gz DESTINATION share/man/man8)

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
else()
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nmea-relay)
set(CPACK_PACKAGE_CONTACT "nmea-relay developers <nmea-relay@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relay of NMEA-0183 datagrams from UDP port 10110 to TCP clients")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Once a second, sends the next datagram that arrived on UDP port 10110,\nunchanged, to every TCP client connected to port 10110, and logs what the\nclients send. Runs as the systemd service nmea-relay.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34)")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
