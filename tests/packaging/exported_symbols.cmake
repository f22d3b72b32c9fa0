# Run with cmake -P; see CMakeLists.txt beside this file for the variables. The dynamic symbols
# LIBRARY defines are exactly the functions its public HEADERS declare with EXPORT_MACRO (at
# least AT_LEAST of them).
string(REPLACE "|" ";" HEADERS "${HEADERS}")
set(declared "")
foreach(header IN LISTS HEADERS)
    file(STRINGS ${INCLUDE_DIR}/${header} lines REGEX "^${EXPORT_MACRO} ")
    foreach(line IN LISTS lines)
        if(line MATCHES "([A-Za-z_][A-Za-z0-9_]*) *\\(")
            list(APPEND declared ${CMAKE_MATCH_1})
        endif()
    endforeach()
endforeach()

execute_process(COMMAND nm -D --defined-only ${LIBRARY} RESULT_VARIABLE rc OUTPUT_VARIABLE out
    ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm -D ${LIBRARY} failed (${rc}): ${err}")
endif()
set(exported "")
set(not_functions "")
string(REPLACE "\n" ";" symbols "${out}")
foreach(symbol IN LISTS symbols)
    if(symbol MATCHES "^[0-9a-f]* ([A-Za-z]) (.+)$")
        list(APPEND exported ${CMAKE_MATCH_2})
        if(NOT CMAKE_MATCH_1 STREQUAL "T")
            list(APPEND not_functions ${CMAKE_MATCH_2})
        endif()
    endif()
endforeach()

set(undeclared ${exported})
list(REMOVE_ITEM undeclared ${declared})
set(missing ${declared})
list(REMOVE_ITEM missing ${exported})
list(LENGTH declared count)
if(undeclared OR missing OR not_functions OR count LESS AT_LEAST)
    message(FATAL_ERROR "${LIBRARY} exports what the headers do not declare: ${undeclared}\n"
        "declared but not exported: ${missing}\nexported other than as a function: "
        "${not_functions}\n(${count} functions declared)")
endif()
