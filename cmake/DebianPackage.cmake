# `make package`: build/quillon_<version>_amd64.deb from the install rules,
# with dependencies computed from the binaries by dpkg-shlibdeps.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Quillon developers")
set(CPACK_PACKAGE_CONTACT "${QUILLON_MAINTAINER}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${QUILLON_HOMEPAGE_URL}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop monitor of the machine's IPv4 connections")
set(CPACK_PACKAGE_DESCRIPTION [=[
Quillon lists every TCP connection and listener and every UDP listener of
the machine in one window, with their protocol, local and remote address
and TCP state, and keeps the list current by taking a new snapshot of the
kernel's socket tables at a fixed period. Addresses turn into host names
once a reverse lookup in the background answers. Every change of the set
is written to a text log.

The program lives in the notification area of the desktop.]=])
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Without the SVG icon engine Qt draws the icon from its 32 px picture.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt6svg6, qt6-wayland")
# Most desktops bring a notification area of their own, and no virtual package
# names one, so a stand-alone tray host is only suggested.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnome-shell-extension-appindicator | trayer | stalonetray")

include(CPack)
