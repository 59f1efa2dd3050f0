# `make package`: one Debian package with everything `cmake --install` lays out, for /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarno-assistant)
set(CPACK_PACKAGE_VENDOR tarno)
set(CPACK_PACKAGE_CONTACT "tarno developers <dev@tarno.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "helper process of the tarno photo editor's AI assistant")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "tarno-assistant serves the photo editor's assistant on a socket in the user's home and\n"
       "runs its turns on the claude CLI. The package also holds tarno-mcp, tarno-codec,\n"
       "tarno-native, tarno-headless (the editor's methods served over a folder of photos; it\n"
       "alone links exiv2, GPL, and libvips, LGPL), the example client tarno-helper-client, the\n"
       "static libraries and headers with their CMake package and pkg-config files, the systemd\n"
       "user unit and the man pages.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Debug information stays in the build tree, which makes the package far smaller.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The runtime dependencies are read from the executables by dpkg-shlibdeps, so they always name
# the packages of the libraries actually linked.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Building against the static libraries needs the development packages of what they link.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS
    "libsimdjson-dev, libicu-dev, libcurl4-openssl-dev | libcurl-dev, uuid-dev, pkg-config")
include(CPack)
