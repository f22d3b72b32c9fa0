# expect_clean_run_paths(<binary>...): fails when the run path (RUNPATH or RPATH) of a binary
# holds an empty element, which the loader takes for the current folder.
function(expect_clean_run_paths)
    foreach(binary IN LISTS ARGN)
        execute_process(COMMAND readelf -d ${binary} RESULT_VARIABLE rc OUTPUT_VARIABLE dynamic
            ERROR_VARIABLE err)
        if(NOT rc EQUAL 0)
            message(FATAL_ERROR "readelf -d ${binary} failed (${rc}): ${err}")
        endif()
        string(REGEX MATCHALL "\\(R(UN)?PATH\\)[^\n]*" entries "${dynamic}")
        foreach(entry IN LISTS entries)
            string(REGEX REPLACE "^[^[]*\\[(.*)\\]$" "\\1" path "${entry}")
            if(path STREQUAL "" OR path MATCHES "^:|::|:$")
                message(FATAL_ERROR "${binary}: run path '${path}' holds an empty element")
            endif()
        endforeach()
    endforeach()
endfunction()
