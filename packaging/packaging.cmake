# Desktop integration and the Debian package: what `cmake --install` puts beside the program
# (app/ installs the binary itself) and how `cpack` turns that into radiolist_<version>_<arch>.deb.
include(GNUInstallDirs)

set(RL_PKG_DIR ${PROJECT_SOURCE_DIR}/packaging)

# radiolist-launch finds the starter files at ../share/radiolist from its own directory.
if(NOT CMAKE_INSTALL_BINDIR STREQUAL "bin" OR NOT CMAKE_INSTALL_DATAROOTDIR STREQUAL "share")
  message(WARNING "radiolist-launch expects bin/ and share/ side by side; "
                  "CMAKE_INSTALL_BINDIR=${CMAKE_INSTALL_BINDIR}, "
                  "CMAKE_INSTALL_DATAROOTDIR=${CMAKE_INSTALL_DATAROOTDIR} will not find them")
endif()

install(PROGRAMS ${RL_PKG_DIR}/radiolist-launch DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${RL_PKG_DIR}/radiolist.desktop DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
install(FILES ${RL_PKG_DIR}/org.radiolist.radiolist.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo)
install(DIRECTORY ${RL_PKG_DIR}/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons
        FILES_MATCHING PATTERN "radiolist.png")
install(FILES ${RL_PKG_DIR}/icons/radiolist.svg
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps)
# Starter files the launcher copies into the user's own directory on first start.
install(FILES ${PROJECT_SOURCE_DIR}/example/Name.txt ${PROJECT_SOURCE_DIR}/example/url.txt
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/radiolist/example)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/imag/ DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/radiolist/imag
        FILES_MATCHING PATTERN "*.bmp")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME radiolist)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "radiolist developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "personal list of internet radio channels, and a player for it")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "radiolist developers")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The long description; CPack puts the summary above it.
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
       "A small Qt desktop program that keeps a list of internet radio channels in two\n"
       "text files, edits them in place and plays the chosen channel (MP3, AAC, Ogg and\n"
       "other formats) through PulseAudio, showing the station name and the title on air.")
# Depends comes from dpkg-shlibdeps: exactly the packages whose libraries the program links.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window is laid out for Tahoma; DejaVu Sans Condensed stands in where it is missing.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-dejavu-core)
# A sanitizer build must never become a package: CPack reads this through the project config.
set(CPACK_RADIOLIST_SANITIZE "${RADIOLIST_SANITIZE}")
set(CPACK_PROJECT_CONFIG_FILE ${RL_PKG_DIR}/cpack-project.cmake)
include(CPack)

# The launcher's choices, against a stand-in program in a scratch prefix: no root, no package.
if(NOT DEFINED BUILD_TESTING OR BUILD_TESTING)
  add_test(NAME package.launcher COMMAND ${RL_PKG_DIR}/test-launcher.sh)
  set_tests_properties(package.launcher PROPERTIES LABELS package TIMEOUT 60)
endif()

# Builds the .deb, installs it into this machine with dpkg, starts the launcher for a fresh user
# and removes the package again. Needs root (or sudo without a password); skips in sanitizer builds.
if(NOT DEFINED BUILD_TESTING OR BUILD_TESTING)
  add_test(NAME package.deb
           COMMAND ${PROJECT_SOURCE_DIR}/tools/test-package.sh ${CMAKE_BINARY_DIR} "${RADIOLIST_SANITIZE}")
  set_tests_properties(package.deb PROPERTIES LABELS package TIMEOUT 300 RUN_SERIAL TRUE
                                              SKIP_RETURN_CODE 77)
endif()
