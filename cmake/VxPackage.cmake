# Debian packages, built with `cpack --config build/CPackConfig.cmake`:
#   irprogrammer    the tool, its simulator, desktop entry, icons, manual pages
#   libvxcomm-dev   the serial component library for other programs
# Two packages, because a user of the tool needs neither the headers nor the
# static libraries, and a program built on the library does not need the tool.
# CPack indents the description's lines and marks its empty lines, as the
# control file wants them.
set(vx_maintainer "IR programmer developers <irprogrammer@example.org>")

# Each package carries its copyright file and, being native, its changelog.
set(vx_deb ${CMAKE_CURRENT_LIST_DIR}/deb)
configure_file(${vx_deb}/changelog.in ${PROJECT_BINARY_DIR}/deb/changelog @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/deb/changelog.gz
  COMMAND ${VX_GZIP} -9nf ${PROJECT_BINARY_DIR}/deb/changelog
  DEPENDS ${PROJECT_BINARY_DIR}/deb/changelog
  VERBATIM)
add_custom_target(vx_deb_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/deb/changelog.gz)
foreach(component_package irprogrammer:irprogrammer dev:libvxcomm-dev)
  string(REPLACE ":" ";" pair ${component_package})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${vx_deb}/copyright ${PROJECT_BINARY_DIR}/deb/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME irprogrammer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${vx_maintainer})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL irprogrammer dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${vx_maintainer})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_IRPROGRAMMER_PACKAGE_NAME irprogrammer)
set(CPACK_DEBIAN_IRPROGRAMMER_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_IRPROGRAMMER_PACKAGE_SHLIBDEPS ON)
set(CPACK_COMPONENT_IRPROGRAMMER_DESCRIPTION
"writes and reads the codes of an IR key-fob transmitter
A desktop tool that prepares the codes of a three-button infrared key-fob
transmitter: for each button a side code (1..255) and an ID (1..65535), and
a relay time of 1 to 8 seconds. It shows each button's code as ten
hexadecimal digits, writes the three codes into a programmer device on a
serial port, and reads them back and decodes them.

The package also holds irprogrammer-sim, which plays the programmer device
on a pseudo-terminal, so that the tool can be tried without hardware
(irprogrammer --demo).")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvxcomm-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "qt6-base-dev (>= 6.4)")
set(CPACK_COMPONENT_DEV_DESCRIPTION
"serial port component library (static, Qt 6)
The serial port component under the IR programmer: a device I/O framework,
a serial port component with its own event threads that delivers received
bytes in the main thread, port enumeration and a device selector box, with
Win32 serial semantics over termios.

This package holds the headers (include/vxcomm/), the static libraries, the
CMake package vxcomm (imported target vxcomm::vxcomm) and vxcomm.pc.")

include(CPack)
