# Debian packages, one per install component: `cpack -G DEB` in any build.
# Packages always install to /usr, whatever prefix the build was given.
set(OMBRU_PACKAGE_MAINTAINER "Ombru Voice maintainers <maintainers@ombru.invalid>" CACHE STRING
  "Maintainer field of the Debian packages")

set(CPACK_PACKAGE_NAME ombru)
set(CPACK_PACKAGE_VENDOR "Ombru Voice")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${OMBRU_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Ombru Voice companions")
# Staged like any DESTDIR install, so the packages hold exactly what
# `cmake --install` puts in place (the /etc entry and the unit's path too).
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_COMPONENTS_ALL ${components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

# Package names are the program names; each description is the summary line
# and then a paragraph, as dpkg shows them.
set(CPACK_DEBIAN_MENU_PACKAGE_NAME ombru-menu)
set(CPACK_COMPONENT_MENU_DESCRIPTION "tray companion showing the Ombru Voice daemon
 ombru-menu polls the Ombru Voice daemon on 127.0.0.1:8765 every three
 seconds, shows whether it listens, is muted or is not running by a small
 mark in the system tray, and steers it from its menu: mute, smart loops,
 binding a session, the daemon's log and settings, start and restart.")
set(CPACK_DEBIAN_MENU_PACKAGE_SUGGESTS ombru-dev-daemon)

set(CPACK_DEBIAN_AX_PACKAGE_NAME ombru-ax)
set(CPACK_COMPONENT_AX_DESCRIPTION "reads and drives a chat application through AT-SPI
 ombru-ax is a one-shot tool, run by the Ombru Voice daemon, that reads the
 conversation of a running chat application, finds and clicks rows of its
 sidebar, focuses its message field and counts its windows through the
 desktop accessibility interface (AT-SPI2, XTest and Xlib).")
set(CPACK_DEBIAN_AX_PACKAGE_DEPENDS at-spi2-core)

set(CPACK_DEBIAN_STT_PACKAGE_NAME ombru-stt)
set(CPACK_COMPONENT_STT_DESCRIPTION "transcribes an audio file to English text on the device
 ombru-stt is a one-shot tool, run by the Ombru Voice daemon, that
 transcribes one recorded audio file with PocketSphinx and its US English
 model, entirely on the machine, and prints the text or writes it to a file.")
# The model is data, so no library dependency brings it in.
set(CPACK_DEBIAN_STT_PACKAGE_DEPENDS pocketsphinx-en-us)

set(CPACK_DEBIAN_DEV-DAEMON_PACKAGE_NAME ombru-dev-daemon)
set(CPACK_COMPONENT_DEV-DAEMON_DESCRIPTION "stand-in for the Ombru Voice daemon's HTTP service
 ombru-dev-daemon serves a scripted state document and takes the mute, loop
 and bind commands on 127.0.0.1, for trying ombru-menu without the real
 daemon and for its tests. It ships a systemd user unit, dev.ombru.voice,
 which the menu's Start and Restart commands use.")

# Files under /etc are the administrator's: dpkg must keep their changes.
set(package_autostart_dir /etc/xdg/autostart)
if(OMBRU_AUTOSTART_DIR)
  set(package_autostart_dir ${OMBRU_AUTOSTART_DIR})
endif()
if(TARGET ombru-menu AND OMBRU_AUTOSTART AND package_autostart_dir MATCHES "^/etc/")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/menu/conffiles "${package_autostart_dir}/ombru-menu.desktop\n")
  set(CPACK_DEBIAN_MENU_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/menu/conffiles)
endif()

include(CPack)
