# Debian packages of the installed components, made with `cpack -G DEB` in a build folder:
#   libqel2        the run-time library (its soname's number is in the name, so that two ABIs
#                  can be installed side by side)
#   libqel-dev     headers, libqel.so, qel.pc, the CMake package and the examples
#   qel-telemetry  the telemetry add-on, which the library loads from beside itself
#   qel-tools      qel-info, qel-adapter, qel-camsim and, where built, qel-recv
#   libqelcamera1, libqelcamera-dev   camera control (where built, with Aravis)
#   gstreamer1.0-qel                  the qelsrc element (where built)
# The packages install into /usr. Their dependencies on system libraries come from
# dpkg-shlibdeps (package dpkg-dev, with `file`); those between them are written here, each
# on the exact release, as the library's internals (the driver records qel-adapter reads) may
# change between releases of one soname.
set(CPACK_PACKAGE_NAME qel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "qel developers <qel-dev@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "GigE Vision stream receiver with a software adapter")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL library development addon)
if(qel_installed_tools)
    list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
if(TARGET qelcamera)
    list(APPEND CPACK_COMPONENTS_ALL camera camera_development)
endif()
if(TARGET gstqel)
    list(APPEND CPACK_COMPONENTS_ALL gstreamer)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools link the library of the library package: dpkg-shlibdeps finds it in the build.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${qel_build_libdir})
set(qel_exact "(= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libqel${QEL_SOVERSION})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SUGGESTS qel-telemetry)
set(CPACK_COMPONENT_LIBRARY_DESCRIPTION "GigE Vision stream receiver: run-time library
 libqel receives GigE Vision (GVSP) camera streams through an adapter whose firmware
 reassembles each block into an application buffer; on Linux it brings a software
 adapter that does so from UDP sockets on any interface.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libqel-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libqel${QEL_SOVERSION} ${qel_exact}")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "GigE Vision stream receiver: development files
 Headers (qel/qel.h, qel/hux.h), the pkg-config file, the CMake package (find_package(qel),
 target qel::qel) and example programs for libqel.")

set(CPACK_DEBIAN_ADDON_PACKAGE_NAME qel-telemetry)
set(CPACK_DEBIAN_ADDON_PACKAGE_ENHANCES libqel${QEL_SOVERSION})
set(CPACK_COMPONENT_ADDON_DESCRIPTION "GigE Vision stream receiver: telemetry add-on
 libqeltelemetry writes libqel's metrics as a Prometheus text file and its trace spans as
 JSON lines. The library loads it when present.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME qel-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libqel${QEL_SOVERSION} ${qel_exact}")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "GigE Vision stream receiver: command-line tools
 qel-recv receives a camera stream, qel-adapter lists adapter boards and keeps their names,
 qel-info prints versions and boards, qel-camsim simulates a GigE Vision camera.")

set(CPACK_DEBIAN_CAMERA_PACKAGE_NAME libqelcamera1)
set(CPACK_COMPONENT_CAMERA_DESCRIPTION "GigE Vision stream receiver: camera control library
 libqelcamera finds GigE Vision cameras and controls one for a qel stream (destination, packet
 size, pixel format, image size, frame rate, acquisition start and stop), through Aravis.")

set(CPACK_DEBIAN_CAMERA_DEVELOPMENT_PACKAGE_NAME libqelcamera-dev)
set(CPACK_DEBIAN_CAMERA_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_CAMERA_DEVELOPMENT_PACKAGE_DEPENDS "libqelcamera1 ${qel_exact}")
set(CPACK_COMPONENT_CAMERA_DEVELOPMENT_DESCRIPTION "GigE Vision stream receiver: camera control development files
 The header (qel/qelcamera.h), libqelcamera.so and the pkg-config file qelcamera.pc.")

set(CPACK_DEBIAN_GSTREAMER_PACKAGE_NAME gstreamer1.0-qel)
set(CPACK_DEBIAN_GSTREAMER_PACKAGE_SECTION video)
set(CPACK_DEBIAN_GSTREAMER_PACKAGE_DEPENDS "libqel${QEL_SOVERSION} ${qel_exact}")
# qel-recv and the element link libqelcamera where it is built.
if(TARGET qelcamera)
    string(APPEND CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS ", libqelcamera1 ${qel_exact}")
    string(APPEND CPACK_DEBIAN_GSTREAMER_PACKAGE_DEPENDS ", libqelcamera1 ${qel_exact}")
endif()
set(CPACK_COMPONENT_GSTREAMER_DESCRIPTION "GigE Vision stream receiver: GStreamer element
 qelsrc, a live source of the frames libqel receives, handed downstream without a copy;
 it controls the camera where camera control is built.")

include(CPack)
