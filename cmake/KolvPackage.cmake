# The Debian package kolv-camera_<version>_<arch>.deb, made by CPack (scripts/package.sh):
# everything `cmake --install` puts under the prefix, with its library dependencies worked out
# by dpkg-shlibdeps (dpkg-dev) from the binaries.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kolv-camera)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "virtual camera for Linux desktops on PipeWire")
set(CPACK_PACKAGE_DESCRIPTION
    "Kolv Camera publishes one camera, \"Kolv Camera\", on PipeWire: 1280x720 BGRA at 30 frames\n"
    "a second, with the pictures a companion application draws into shared memory.\n"
    "Includes kolv-publish (a test pattern, an image or raw frames), the companion\n"
    "library with its headers, pkg-config and CMake files, and a systemd user unit.")
set(CPACK_PACKAGE_CONTACT "Kolv Camera developers <kolv-camera@example.org>" CACHE STRING
    "Maintainer field of the Debian package")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The shlibs file for libkolv_companion.so.0, and ldconfig run on install and removal.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# Beyond libraries: the camera publishes itself on a running PipeWire, which WirePlumber
# manages; the companion library's pkg-config and CMake files find libplist with pkg-config.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "pipewire")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "wireplumber, pipewire-bin")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pipewire-v4l2, xdg-desktop-portal-gtk | xdg-desktop-portal-kde, libplist-dev, pkg-config")

include(CPack)
