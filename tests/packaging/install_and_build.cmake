# Run with cmake -P; see CMakeLists.txt beside this file for the variables.
function(run what)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
    endif()
endfunction()

# The example, started where the adapter's only board is loopback, is asked for an address that
# no board carries: getting that far means the program loaded the installed library, which
# initialised (loading the installed telemetry add-on beside it) and answered.
function(expect_example_starts program)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env QEL_ADAPTER_IFACES=lo
            QEL_ADAPTER_RUN_DIR=${WORK_DIR}/run QEL_ADAPTER_STATE_DIR=${WORK_DIR}/state
            QEL_DEBUG=1 ${program} 192.0.2.1 50000 1
        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 1 OR NOT err MATCHES "cannot open a stream on 192.0.2.1: "
            OR err MATCHES "Telemetry library is not available")
        message(FATAL_ERROR "${program} did not start as expected (${rc}):\n${out}\n${err}")
    endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(file include/qel.h include/hux.h bin/qel-info bin/qel-adapter bin/qel-camsim
        ${LIBDIR}/libqel.so ${LIBDIR}/libqel.so.2 ${LIBDIR}/libqeltelemetry.so
        ${LIBDIR}/cmake/qel/qelConfig.cmake ${LIBDIR}/cmake/qel/qelConfigVersion.cmake
        ${LIBDIR}/pkgconfig/qel.pc)
    if(NOT EXISTS ${prefix}/${file})
        message(FATAL_ERROR "not installed: ${file}")
    endif()
endforeach()
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
execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig
        pkg-config --cflags --libs qel
    RESULT_VARIABLE rc OUTPUT_VARIABLE flags ERROR_VARIABLE err OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0 OR NOT flags MATCHES "-I${prefix}/.*include" OR NOT flags MATCHES "-lqel")
    message(FATAL_ERROR "pkg-config qel gave (${rc}): '${flags}' ${err}")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
run("compile with pkg-config" ${C_COMPILER} ${EXAMPLE} ${flags}
    -Wl,-rpath,${prefix}/${LIBDIR} -o ${WORK_DIR}/recv_minimal_pc)
expect_example_starts(${WORK_DIR}/recv_minimal_pc)
