# Run with cmake -P by debian_packages.cmake: installs the packages DEBS as a user does (apt,
# which also brings what they depend on), then builds the installed example with pkg-config's
# flags alone and runs it and the tools, whose man pages it finds where they were made.
include(${CMAKE_CURRENT_LIST_DIR}/installed_use.cmake)

run("apt-get install" ${CMAKE_COMMAND} -E env DEBIAN_FRONTEND=noninteractive
    apt-get install -y -qq --no-install-recommends ${DEBS})
foreach(file include/qel/qel.h include/qel/hux.h share/doc/qel/examples/recv_minimal.c
        ${LIBDIR}/libqel.so ${LIBDIR}/libqel.so.2 ${LIBDIR}/libqeltelemetry.so
        ${LIBDIR}/cmake/qel/qelConfig.cmake ${LIBDIR}/pkgconfig/qel.pc)
    if(NOT EXISTS /usr/${file})
        message(FATAL_ERROR "not installed by the packages: /usr/${file}")
    endif()
endforeach()

# Installed in /usr, the library needs no search path and no run path.
set(EXAMPLE /usr/share/doc/qel/examples/recv_minimal.c)
build_with_pkg_config(${WORK_DIR}/recv_minimal /usr "")
expect_example_starts(${WORK_DIR}/recv_minimal)

foreach(tool IN LISTS TOOLS)
    run("installed ${tool} --help" /usr/bin/${tool} --help)
    if(MAN_PAGES AND NOT EXISTS /usr/share/man/man1/${tool}.1.gz)
        message(FATAL_ERROR "${tool} has no man page in the package")
    endif()
endforeach()

# The element's package puts the plugin where the system's GStreamer looks: found with no
# plugin path, in a registry of its own.
if(DEBS MATCHES "gstreamer1.0-qel")
    run("gst-inspect-1.0 qelsrc from the package" ${CMAKE_COMMAND} -E env
        --unset=GST_PLUGIN_PATH GST_REGISTRY=${WORK_DIR}/registry.bin
        gst-inspect-1.0 qelsrc)
endif()
