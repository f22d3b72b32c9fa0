# Helpers of the scripts that install qel and use what they installed (cmake -P).

# run(<what> <command>...): runs the command and fails with its output when it fails.
function(run what)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
    endif()
endfunction()

# expect_example_starts(<program>): the example, started where the adapter's only board is
# loopback, is asked for an address that no board carries: getting that far means the program
# loaded the installed library, which initialised (loading the installed telemetry add-on
# beside it) and answered. WORK_DIR holds the adapter's folders.
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

# build_with_pkg_config(<program> <prefix> <pkg-config path>): compiles EXAMPLE into <program>
# with the flags pkg-config gives for qel installed in <prefix> (the path empty: pkg-config's
# own search path), which put the headers' folder include/qel/ on the include path. Further
# arguments are added to the compiler's.
function(build_with_pkg_config program prefix pc_path)
    if(pc_path)
        set(env PKG_CONFIG_PATH=${pc_path})
    else()
        set(env --unset=PKG_CONFIG_PATH)
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E env ${env} pkg-config --cflags --libs qel
        RESULT_VARIABLE rc OUTPUT_VARIABLE flags ERROR_VARIABLE err
        OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT rc EQUAL 0 OR NOT flags MATCHES "-I${prefix}/[^ ]*include/qel( |$)"
            OR NOT flags MATCHES "-lqel")
        message(FATAL_ERROR "pkg-config qel gave (${rc}): '${flags}' ${err}")
    endif()
    separate_arguments(flags UNIX_COMMAND "${flags}")
    run("compile with pkg-config" ${C_COMPILER} ${EXAMPLE} ${flags} ${ARGN} -o ${program})
endfunction()
