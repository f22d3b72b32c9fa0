# Run with cmake -P; see CMakeLists.txt beside this file for the variables.
# Builds the tree in Release with warnings as errors, as a user or a distribution would on a
# machine that has a compiler and CMake but none of the optional libraries: the library, the
# add-on and the tools that need nothing else must build; the parts that need more are left
# out, each with its line saying so.
include(${CMAKE_CURRENT_LIST_DIR}/installed_use.cmake)

file(REMOVE_RECURSE ${WORK_DIR})
set(hidden "")
foreach(package GTest GMock benchmark Boost PNG nlohmann_json)
    list(APPEND hidden -DCMAKE_DISABLE_FIND_PACKAGE_${package}=ON)
endforeach()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR} -G ${GENERATOR}
        -DCMAKE_BUILD_TYPE=Release -DQEL_WERROR=ON -DCMAKE_C_COMPILER=${C_COMPILER}
        -DCMAKE_CXX_COMPILER=${CXX_COMPILER} ${hidden}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "configure failed (${rc}):\n${out}\n${err}")
endif()
foreach(line "Tests: not built" "qel-recv: not built")
    if(NOT out MATCHES "${line}")
        message(FATAL_ERROR "the configure step does not say \"${line}\":\n${out}")
    endif()
endforeach()
run("build" ${CMAKE_COMMAND} --build ${WORK_DIR})
foreach(file libqel.so libqeltelemetry.so)
    file(GLOB_RECURSE found ${WORK_DIR}/${file})
    if(NOT found)
        message(FATAL_ERROR "the bare build made no ${file}")
    endif()
endforeach()
file(REMOVE_RECURSE ${WORK_DIR})
