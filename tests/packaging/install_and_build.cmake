# Run with cmake -P; see CMakeLists.txt beside this file for the variables.
include(${CMAKE_CURRENT_LIST_DIR}/installed_use.cmake)

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(file include/qel/qel.h include/qel/hux.h share/doc/qel/examples/recv_minimal.c
        share/doc/qel/examples/recv_worker_resend.c bin/qel-info bin/qel-adapter bin/qel-camsim
        ${LIBDIR}/libqel.so ${LIBDIR}/libqel.so.2 ${LIBDIR}/libqeltelemetry.so
        ${LIBDIR}/cmake/qel/qelConfig.cmake ${LIBDIR}/cmake/qel/qelConfigVersion.cmake
        ${LIBDIR}/pkgconfig/qel.pc)
    if(NOT EXISTS ${prefix}/${file})
        message(FATAL_ERROR "not installed: ${file}")
    endif()
endforeach()
# The example is built from its installed copy, as a user of the package finds it.
set(EXAMPLE ${prefix}/share/doc/qel/examples/recv_minimal.c)
include(${CMAKE_CURRENT_LIST_DIR}/run_path_check.cmake)
expect_clean_run_paths(${prefix}/bin/qel-info ${prefix}/bin/qel-adapter ${prefix}/bin/qel-camsim
    ${prefix}/${LIBDIR}/libqel.so.2 ${prefix}/${LIBDIR}/libqeltelemetry.so)
# An installed tool runs from the prefix alone.
run("installed qel-adapter --help" ${prefix}/bin/qel-adapter --help)

# find_package(qel)
run("configure the consumer" ${CMAKE_COMMAND} -S ${CONSUMER} -B ${WORK_DIR}/consumer
    -G ${GENERATOR} -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_PREFIX_PATH=${prefix}
    -DEXAMPLE=${EXAMPLE})
run("build the consumer" ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
expect_example_starts(${WORK_DIR}/consumer/recv_minimal)

# pkg-config
build_with_pkg_config(${WORK_DIR}/recv_minimal_pc ${prefix} ${prefix}/${LIBDIR}/pkgconfig
    -Wl,-rpath,${prefix}/${LIBDIR})
expect_example_starts(${WORK_DIR}/recv_minimal_pc)
