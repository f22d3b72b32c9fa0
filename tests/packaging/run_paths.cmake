# Run with cmake -P; see CMakeLists.txt beside this file for the variables. The binaries of the
# build tree carry no empty run-path element, and a telemetry add-on planted in the working
# folder of a tool is not loaded: the library takes the one beside itself.
include(${CMAKE_CURRENT_LIST_DIR}/run_path_check.cmake)
string(REPLACE "|" ";" binaries "${BINARIES}")
expect_clean_run_paths(${binaries})

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
# The planted add-on lacks one entry point: loading it shows as a missing-symbol report.
file(COPY ${PLANTED_ADDON} DESTINATION ${WORK_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH QEL_VERBOSE=1 QEL_DEBUG=1
        QEL_ADAPTER_IFACES=lo QEL_ADAPTER_RUN_DIR=${WORK_DIR}/run
        QEL_ADAPTER_STATE_DIR=${WORK_DIR}/state ${TOOL}
    WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(err MATCHES "Unable to find symbol" OR err MATCHES "Telemetry library is not available")
    message(FATAL_ERROR "${TOOL} did not load the add-on beside the library (${rc}):\n${out}\n"
        "${err}")
endif()
