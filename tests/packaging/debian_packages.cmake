# Run with cmake -P; see CMakeLists.txt beside this file for the variables. Makes the Debian
# packages of the build, installs them into this system, uses them (debian_use.cmake) and
# removes them again, whatever the use showed.
include(${CMAKE_CURRENT_LIST_DIR}/installed_use.cmake)

string(REPLACE "|" ";" PACKAGES "${PACKAGES}")
list(FILTER PACKAGES EXCLUDE REGEX "^$")
string(REPLACE "|" ";" TOOLS "${TOOLS}")
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
find_program(APT_GET apt-get)
find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NOT uid STREQUAL "0" OR NOT APT_GET OR NOT DPKG_SHLIBDEPS)
    message("SKIPPED: installing packages needs root, apt-get and dpkg-dev")
    return()
endif()
# Packages someone installed are theirs: this test would replace and then remove them.
foreach(package IN LISTS PACKAGES)
    execute_process(COMMAND dpkg-query -W -f=\${Status} ${package} OUTPUT_VARIABLE status
        ERROR_QUIET)
    if(status MATCHES "install ok installed")
        message("SKIPPED: ${package} is installed already")
        return()
    endif()
endforeach()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
execute_process(COMMAND ${CPACK} -G DEB --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK_DIR}/debs
    WORKING_DIRECTORY ${BUILD_DIR} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(GLOB debs ${WORK_DIR}/debs/*.deb)
list(LENGTH debs made)
list(LENGTH PACKAGES wanted)
if(NOT rc EQUAL 0 OR NOT made EQUAL wanted)
    message(FATAL_ERROR "cpack made ${made} of ${wanted} packages (${rc}):\n${out}\n${err}")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} "-DDEBS=${debs}" -DWORK_DIR=${WORK_DIR}
        -DC_COMPILER=${C_COMPILER} -DLIBDIR=${LIBDIR} "-DTOOLS=${TOOLS}" -DMAN_PAGES=${MAN_PAGES}
        -P ${CMAKE_CURRENT_LIST_DIR}/debian_use.cmake
    RESULT_VARIABLE use_rc OUTPUT_VARIABLE use_out ERROR_VARIABLE use_err)
run("removing the packages" ${CMAKE_COMMAND} -E env DEBIAN_FRONTEND=noninteractive
    dpkg --purge ${PACKAGES})
if(NOT use_rc EQUAL 0)
    message(FATAL_ERROR "${use_out}\n${use_err}")
endif()
# Removing them leaves nothing behind of what they installed.
foreach(file /usr/include/qel /usr/${LIBDIR}/libqel.so.2 /usr/${LIBDIR}/libqeltelemetry.so
        /usr/${LIBDIR}/pkgconfig/qel.pc /usr/bin/qel-info /usr/share/doc/qel)
    if(EXISTS ${file})
        message(FATAL_ERROR "${file} is still there after the packages were removed")
    endif()
endforeach()
