# What a user gets: the install tree and the packages made from it by CPack.
#
#   Linux:   bin/hiltpush, share/man/man1/hiltpush.1, share/doc/hiltpush/
#            (README.md, CHANGELOG.md); packaged as a Debian package and a
#            .tar.gz.
#   Windows: hiltpush.exe and README.txt (CR LF line ends) side by side in a
#            .zip.
#
# Only the program and its documents are installed: the test programs, the
# board simulator and GoogleTest have no install rules.
# The package version is the file version of the version table, so the
# program, its manual page and its packages cannot disagree.
include_guard(GLOBAL)
include(GNUInstallDirs)

set(HP_PACKAGE_VERSION "${HP_VER_FileVersion}")
set(HP_VERSION "${HP_VER_FileVersion}")   # the name the document templates use

if(WIN32)
  # Windows users open the read-me with Notepad: CR LF line ends throughout,
  # whatever the checkout's line ends are.
  set(HP_README_TXT "${CMAKE_BINARY_DIR}/README.txt")
  file(READ "${PROJECT_SOURCE_DIR}/docs/README-windows.txt" hp_readme)
  string(CONFIGURE "${hp_readme}" hp_readme @ONLY)
  string(REPLACE "\r\n" "\n" hp_readme "${hp_readme}")
  string(REPLACE "\n" "\r\n" hp_readme "${hp_readme}")
  file(WRITE "${CMAKE_BINARY_DIR}/CMakeFiles/README.txt.tmp" "${hp_readme}")
  configure_file("${CMAKE_BINARY_DIR}/CMakeFiles/README.txt.tmp" "${HP_README_TXT}" COPYONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               "${PROJECT_SOURCE_DIR}/docs/README-windows.txt")

  install(TARGETS hiltpush RUNTIME DESTINATION .)
  install(FILES "${HP_README_TXT}" DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "hiltpush-${HP_PACKAGE_VERSION}-windows-x86_64")
  # "Extract all" makes the folder itself; a folder inside would nest twice.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  # The manual page carries the version in its title line.
  set(HP_MAN_PAGE "${CMAKE_BINARY_DIR}/docs/hiltpush.1")
  configure_file("${PROJECT_SOURCE_DIR}/docs/hiltpush.1" "${HP_MAN_PAGE}" @ONLY)

  install(TARGETS hiltpush RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
  install(FILES "${HP_MAN_PAGE}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
  install(FILES "${PROJECT_SOURCE_DIR}/README.md" "${PROJECT_SOURCE_DIR}/CHANGELOG.md"
          DESTINATION "${CMAKE_INSTALL_DOCDIR}")

  # The packages are for the machine that builds them: the tarball is named
  # for its processor (x86_64, aarch64, ...), the .deb for its architecture
  # as dpkg names it (amd64, arm64, ...), which CPack asks dpkg for.
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_PACKAGE_FILE_NAME "hiltpush-${HP_PACKAGE_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}")

  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)   # hiltpush_<version>_<architecture>.deb
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The run-time libraries are read off the binary by dpkg-shlibdeps.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The summary line comes from CPACK_PACKAGE_DESCRIPTION_SUMMARY.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"hiltpush copies files into the serial flash of an Ilvara saber sound board
attached by USB (a USB CDC-ACM serial port, /dev/ttyACM*). It finds the board
among the serial ports on its own, checks it with a short handshake, and then
uploads a file, shows the firmware version and serial number, lists the stored
files or the sound-file arrays, sends any command text, or erases the flash.")
endif()

set(CPACK_PACKAGE_NAME hiltpush)
set(CPACK_PACKAGE_VERSION "${HP_PACKAGE_VERSION}")
set(CPACK_PACKAGE_VENDOR "${HP_VER_CompanyName}")
# Debian wants a maintainer address; the project publishes none, so the
# field carries a reserved, never-delivered domain.
set(CPACK_PACKAGE_CONTACT "${HP_VER_CompanyName} <developers@hiltpush.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "upload sound and config files to an Ilvara saber sound board")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
