# What `cmake --install` and the Debian package (scripts/package) hold besides
# the programs, desktop file and icon, which app/ and ui/ install: the manual
# pages, the bash completion and the documents; then CPack's settings.
# Bench programs and tests have no install rules.
include(GNUInstallDirs)

set(RS485_PACKAGE_NAME rs485-upgrader)
set(RS485_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${RS485_PACKAGE_NAME})

# A page for each program that this build makes (no window page without the window).
foreach(page IN LISTS RS485_MANUAL_PAGES)
  get_filename_component(program ${page} NAME)
  string(REGEX REPLACE "\\.1\\.gz$" "" program ${program})
  if(TARGET ${program})
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()

install(FILES completion/rs485-upgrade DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

set(RS485_CHANGELOG ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${RS485_CHANGELOG}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging
  COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${PROJECT_SOURCE_DIR}/packaging/changelog ${RS485_CHANGELOG}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${RS485_CHANGELOG})
install(FILES README.md packaging/copyright ${RS485_CHANGELOG} DESTINATION ${RS485_DOC_DIR})

# The Debian package, from the install rules above and those of app/ and ui/.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${RS485_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "RS485 Firmware upgrader <support@example.com>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The window's fonts (ui/Fonts.cpp falls back to others without them).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wine, fonts-urw-base35")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware upgrade tool for devices on an RS485 bus")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Replaces the firmware of small devices on an RS485 bus reached through a
serial port of the PC. The tool reads the device's type and version, judges
them against a .bin or .bi2 firmware file, puts the device into its upgrade
mode, uploads the code in 64-byte blocks, reads every block back, has the
device flash it, waits for the restart and checks the new version.

The package holds the window (rs485-upgrader, Qt 6), its command-line twin
for scripts and production lines (rs485-upgrade, with JSON Lines output),
and, to try it all without hardware, a simulated bus of devices on a
pseudo-terminal (rs485-devsim) and a firmware file maker (rs485-mkfw).")
include(CPack)
