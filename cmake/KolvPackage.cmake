# The Debian packages (scripts/package.sh), one per install component, made by CPack:
#   component  package                what
#   camera     kolv-camera            kolv-camera, its systemd user unit and Info.plist, kolv-publish, docs
#   runtime    libkolv-companion0     the companion library, libkolv_companion.so.0
#   dev        libkolv-companion-dev  its headers, static library, .so link, pkg-config and CMake files
#   python     python3-kolv           the Python module
#   gstreamer  gstreamer1.0-kolv      the GStreamer plugin
#   obs        obs-kolv-camera        the OBS plugin
# A component becomes a package as soon as an install rule names it. Each package carries
# packaging/debian/copyright and the changelog in /usr/share/doc/<package>, and Depends on what
# dpkg-shlibdeps finds its binaries need - libkolv_companion.so.0 included, through the shlibs and
# symbols of the library built here - plus what is listed below. The version is the latest entry
# of packaging/debian/changelog, whose upstream part must be this project's version.
# The top CMakeLists.txt includes this file last: it sees only the install rules made before it.
option(KOLV_DEB_PACKAGE "Check the install components and the library's symbols for the Debian packages" OFF)

set(KOLV_DEB_SOURCE ${PROJECT_SOURCE_DIR}/packaging/debian)
set(KOLV_DEB_DIR ${PROJECT_BINARY_DIR}/deb)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KOLV_DEB_SOURCE}/changelog ${KOLV_DEB_SOURCE}/copyright)

file(STRINGS ${KOLV_DEB_SOURCE}/changelog kolv_deb_latest LIMIT_COUNT 1)
if(NOT kolv_deb_latest MATCHES "^kolv-camera \\(([0-9][^ ()-]*)-([0-9][^ ()-]*)\\) ")
  message(FATAL_ERROR "packaging/debian/changelog: the first line must read \"kolv-camera (VERSION-REVISION) ...\", "
                      "not \"${kolv_deb_latest}\"")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "packaging/debian/changelog: its latest entry is version ${CMAKE_MATCH_1}, the project is "
                      "${PROJECT_VERSION}: add an entry for ${PROJECT_VERSION}-1")
endif()
set(KOLV_DEB_REVISION ${CMAKE_MATCH_2})
file(MAKE_DIRECTORY ${KOLV_DEB_DIR})
execute_process(COMMAND gzip -9n -c ${KOLV_DEB_SOURCE}/changelog OUTPUT_FILE ${KOLV_DEB_DIR}/changelog.Debian.gz
                RESULT_VARIABLE kolv_gzip_status)
if(NOT kolv_gzip_status EQUAL 0)
  message(FATAL_ERROR "gzip -9n packaging/debian/changelog failed (${kolv_gzip_status})")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kolv-camera)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Kolv Camera developers <kolv-camera@example.org>" CACHE STRING
    "Maintainer field of the Debian packages")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KOLV_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_SOURCE kolv-camera)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Each component's description starts with its own synopsis. CPackDeb puts the package summary
# before it unless that is CPack's default, which is therefore what it is set to.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
# The ldconfig trigger of the library package replaces the ldconfig calls of CPack's own
# postinst and postrm, which cmake/KolvDebFinish.cmake takes out of the package.
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/KolvDebFinish.cmake)
set(kolv_deb_version ${PROJECT_VERSION}-${KOLV_DEB_REVISION})

# The companion library's shlibs and symbols. The symbols file is checked against
# packaging/debian/libkolv-companion0.symbols on every build of the library (KOLV_DEB_PACKAGE):
# a symbol gone from the library fails the build, since programs built against it would no
# longer load. The library and both files also form a package tree of their own under
# deb/shlibdeps, where dpkg-shlibdeps finds which package a program that loads the library needs.
get_target_property(kolv_companion_soversion kolv_companion_shared SOVERSION)
set(kolv_companion_package libkolv-companion${kolv_companion_soversion})
set(kolv_shlibs_tree ${KOLV_DEB_DIR}/shlibdeps/${kolv_companion_package})
set(kolv_shlibs_libdir ${kolv_shlibs_tree}${CMAKE_INSTALL_FULL_LIBDIR})
file(MAKE_DIRECTORY ${kolv_shlibs_tree}/DEBIAN ${kolv_shlibs_libdir})
file(WRITE ${kolv_shlibs_tree}/DEBIAN/shlibs
     "libkolv_companion ${kolv_companion_soversion} ${kolv_companion_package} (>= ${PROJECT_VERSION})\n")
file(WRITE ${KOLV_DEB_DIR}/triggers "activate-noawait ldconfig\n")
if(KOLV_DEB_PACKAGE)
  find_program(KOLV_DPKG_GENSYMBOLS dpkg-gensymbols REQUIRED)
  set(kolv_symbols_template ${KOLV_DEB_SOURCE}/${kolv_companion_package}.symbols)
  # -v is the package's full version: dpkg-gensymbols counts a symbol as gone only in a version
  # after the one that brought it. A new symbol passes and shows in the diff it prints, with
  # that version, which lintian reports as an error: add it to the file with its upstream version.
  add_custom_command(
    OUTPUT ${kolv_shlibs_tree}/DEBIAN/symbols
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:kolv_companion_shared>
            ${kolv_shlibs_libdir}/$<TARGET_SONAME_FILE_NAME:kolv_companion_shared>
    COMMAND ${KOLV_DPKG_GENSYMBOLS} -c1 -p${kolv_companion_package} -v${kolv_deb_version} -I${kolv_symbols_template}
            -e$<TARGET_FILE:kolv_companion_shared> -O${kolv_shlibs_tree}/DEBIAN/symbols
    DEPENDS kolv_companion_shared ${kolv_symbols_template}
    WORKING_DIRECTORY ${KOLV_DEB_DIR}
    COMMENT "Checking libkolv_companion.so's symbols against packaging/debian/${kolv_companion_package}.symbols"
    VERBATIM)
  add_custom_target(kolv_deb_symbols ALL DEPENDS ${kolv_shlibs_tree}/DEBIAN/symbols)
endif()
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${kolv_shlibs_libdir})

# kolv_deb_component(COMPONENT PACKAGE SECTION DESCRIPTION [VAR VALUE]...): the package of one
# install component. DESCRIPTION's first line is the synopsis. Each VAR VALUE pair sets
# CPACK_DEBIAN_<COMPONENT>_<VAR> (to one item: a list would come apart here).
set(kolv_deb_components "")
function(kolv_deb_component component package section description)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package} PARENT_SCOPE)
  set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${section} PARENT_SCOPE)
  set(CPACK_DEBIAN_${upper}_DESCRIPTION "${description}" PARENT_SCOPE)
  set(extra ${ARGN})
  while(extra)
    list(POP_FRONT extra var value)
    set(CPACK_DEBIAN_${upper}_${var} "${value}" PARENT_SCOPE)
  endwhile()
  set(KOLV_DEB_PACKAGE_${component} ${package} PARENT_SCOPE)
  set(kolv_deb_components ${kolv_deb_components} ${component} PARENT_SCOPE)
endfunction()

kolv_deb_component(camera kolv-camera video
  "virtual camera for PipeWire desktops
Kolv Camera publishes one camera, named Kolv Camera, on PipeWire: 1280x720 BGRA
at 30 frames a second, with the pictures a companion application draws into
shared memory, and grey frames while there are none. Browsers (through the
Camera portal), GStreamer and V4L2 programs (through pw-v4l2, or through a
v4l2loopback device the camera writes into) can open it.
.
This package holds the camera with its systemd user unit, kolv-publish,
which publishes a test pattern, an image or raw frames to it, and the
options that load v4l2loopback at boot for the camera's V4L2 device."
  PACKAGE_DEPENDS "pipewire"
  PACKAGE_RECOMMENDS "wireplumber, pipewire-bin, v4l2loopback-dkms"
  PACKAGE_SUGGESTS "pipewire-v4l2, xdg-desktop-portal-gtk | xdg-desktop-portal-kde")

kolv_deb_component(runtime ${kolv_companion_package} libs
  "library to publish pictures to Kolv Camera
Kolv Camera is a virtual camera on PipeWire. Applications hand it their
pictures through shared-memory surfaces and two small files; this library
does that for them, from C, C++ or any language that can call C.
.
This package holds the shared library.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${kolv_shlibs_tree}/DEBIAN/shlibs ${KOLV_DEB_DIR}/triggers)
if(KOLV_DEB_PACKAGE)
  list(APPEND CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${kolv_shlibs_tree}/DEBIAN/symbols)
endif()

kolv_deb_component(dev libkolv-companion-dev libdevel
  "library to publish pictures to Kolv Camera - development files
Kolv Camera is a virtual camera on PipeWire. Applications hand it their
pictures through shared-memory surfaces and two small files; this library
does that for them, from C, C++ or any language that can call C.
.
This package holds the headers (kolv_companion.h for C, kolv/companion.h for
C++20), the static library, and the pkg-config and CMake files."
  PACKAGE_DEPENDS "${kolv_companion_package} (= ${kolv_deb_version}), libplist-dev, libsystemd-dev, pkg-config")

# The module is Python alone: it loads libkolv_companion.so.N with ctypes, so it is the same on
# every architecture and Depends on the library package by name. Its postinst and prerm
# byte-compile it and remove the byte-code again (py3compile, py3clean: python3-minimal).
kolv_deb_component(python python3-kolv python
  "Python module to publish pictures to Kolv Camera
Kolv Camera is a virtual camera on PipeWire. This module lets Python
programs hand it their pictures, through the companion library."
  PACKAGE_ARCHITECTURE all
  PACKAGE_DEPENDS "python3, python3-numpy, ${kolv_companion_package} (>= ${PROJECT_VERSION})")
configure_file(${KOLV_DEB_SOURCE}/python3-kolv.postinst ${KOLV_DEB_DIR}/python3-kolv/postinst COPYONLY)
configure_file(${KOLV_DEB_SOURCE}/python3-kolv.prerm ${KOLV_DEB_DIR}/python3-kolv/prerm COPYONLY)
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA ${KOLV_DEB_DIR}/python3-kolv/postinst ${KOLV_DEB_DIR}/python3-kolv/prerm)

kolv_deb_component(gstreamer gstreamer1.0-kolv video
  "GStreamer plugin to publish video to Kolv Camera
Kolv Camera is a virtual camera on PipeWire. This GStreamer plugin sends
the video of a pipeline to it.")

kolv_deb_component(obs obs-kolv-camera video
  "OBS Studio plugin to publish its output to Kolv Camera
Kolv Camera is a virtual camera on PipeWire. This plugin for OBS Studio
sends OBS's picture to it."
  PACKAGE_ENHANCES "obs-studio")

# Every component that has install rules is packaged; each must have its package above.
get_cmake_property(kolv_install_components COMPONENTS)
foreach(component IN LISTS kolv_install_components)
  if(NOT component IN_LIST kolv_deb_components)
    set(kolv_deb_message "install component '${component}' has no Debian package: name it in cmake/KolvPackage.cmake")
    if(component STREQUAL "Unspecified")
      set(kolv_deb_message "an install rule names no COMPONENT (cmake/KolvPackage.cmake lists them)")
    endif()
    if(KOLV_DEB_PACKAGE)
      message(FATAL_ERROR "${kolv_deb_message}")
    endif()
    message(WARNING "${kolv_deb_message}")
    continue()
  endif()
  install(FILES ${KOLV_DEB_SOURCE}/copyright ${KOLV_DEB_DIR}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${KOLV_DEB_PACKAGE_${component}} COMPONENT ${component})
endforeach()

include(CPack)
