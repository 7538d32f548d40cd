# `cpack -G DEB` builds two packages: ferrow-desktop (the client) and ferrow-server.
set(CPACK_PACKAGE_NAME ferrow)
set(CPACK_PACKAGE_VENDOR "Ferrow")
set(CPACK_PACKAGE_CONTACT "Ferrow developers <dev@ferrow.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_COMPONENTS_ALL client server)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Library dependencies are read from the binaries; what they load at run time is named below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME ferrow-desktop)
set(CPACK_COMPONENT_CLIENT_DESCRIPTION
    "Ferrow Desktop chat client\nA desktop chat client for a Ferrow chat server.")
# Emoji render only with a colour emoji font; the password goes to the secret store when one
# runs.
set(CPACK_DEBIAN_CLIENT_PACKAGE_RECOMMENDS "fonts-noto-color-emoji, gnome-keyring | kwalletmanager")
set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION net)

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME ferrow-server)
set(CPACK_COMPONENT_SERVER_DESCRIPTION
    "Ferrow chat server\nThe chat server for Ferrow Desktop clients, with a systemd unit.")
# The SQLite driver is a Qt plug-in, loaded at run time.
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "libqt5sql5-sqlite")
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)

include(CPack)
