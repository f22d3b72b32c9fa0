# What `cmake --install` puts in place: the library with its SONAME links, the telemetry
# add-on beside it (where the library looks for it first), the public headers, the tools, and
# two ways for applications to find the library: a CMake package (find_package(qel), target
# qel::qel) and a pkg-config file (qel.pc). Both are relocatable: they find the prefix from
# where they lie.
include(CMakePackageConfigHelpers)

set(QEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qel)

# Run paths. Every installed binary is linked once, with the run path it is installed with:
# a run path that CMake rewrites at install time is padded in the build tree with empty
# elements, which the loader takes for the current folder. The libraries need none (the
# library finds the add-on beside itself); the installed tools find the library relative to
# themselves, and the build tree puts the library and the add-on where that same relative path
# leads from tools/.
file(RELATIVE_PATH qel_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
cmake_path(ABSOLUTE_PATH qel_bin_to_lib BASE_DIRECTORY ${PROJECT_BINARY_DIR}/tools NORMALIZE
    OUTPUT_VARIABLE qel_build_libdir)
cmake_path(IS_PREFIX PROJECT_BINARY_DIR ${qel_build_libdir} NORMALIZE qel_libdir_inside)
if(NOT qel_libdir_inside)
    message(FATAL_ERROR "The tools reach the library through ${qel_bin_to_lib}, which leads out "
        "of the build folder from tools/: install the tools one folder below the prefix")
endif()
set(qel_installed_tools "")
foreach(tool qel-info qel-camsim qel-adapter qel-recv)
    if(TARGET ${tool})
        list(APPEND qel_installed_tools ${tool})
    endif()
endforeach()
set_target_properties(qel qeltelemetry ${qel_installed_tools} PROPERTIES
    BUILD_WITH_INSTALL_RPATH ON)
set_target_properties(qel qeltelemetry PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${qel_build_libdir})
# The camera simulator does not link the library.
set(qel_tools_on_library ${qel_installed_tools})
list(REMOVE_ITEM qel_tools_on_library qel-camsim)
if(qel_tools_on_library)
    set_target_properties(${qel_tools_on_library} PROPERTIES
        INSTALL_RPATH "$ORIGIN/${qel_bin_to_lib}")
endif()

# Each file belongs to one component, and each component becomes one Debian package
# (cmake/packaging.cmake): the run-time library, the development files, the add-on, the tools.
install(TARGETS qel EXPORT qelTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT development)
install(TARGETS qeltelemetry LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT addon)
# libqelcamera, where it is built: a package of its own (it brings Aravis along), with its
# development files beside libqel's. Built where the library is, so that the tools' run path
# finds it in the build tree as installed.
if(TARGET qelcamera)
    set_target_properties(qelcamera PROPERTIES BUILD_WITH_INSTALL_RPATH ON
        LIBRARY_OUTPUT_DIRECTORY ${qel_build_libdir})
    install(TARGETS qelcamera LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT camera
        NAMELINK_COMPONENT camera_development)
    install(FILES ${PROJECT_SOURCE_DIR}/camera/qelcamera.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qel COMPONENT camera_development)
endif()
# The headers go to a folder of their own: hux.h is too generic a name for the top of the
# include folder. Both package files put that folder on the include path, so applications keep
# writing #include <qel.h> (or <qel/qel.h> where the prefix's include folder is searched).
set(QEL_INSTALL_HEADER_DIR ${CMAKE_INSTALL_INCLUDEDIR}/qel)
install(FILES ${PROJECT_SOURCE_DIR}/include/qel.h ${PROJECT_SOURCE_DIR}/include/hux.h
    DESTINATION ${QEL_INSTALL_HEADER_DIR} COMPONENT development)
# The examples are documentation: the programs users start from, as they are in the tree.
install(FILES ${PROJECT_SOURCE_DIR}/examples/recv_minimal.c
    ${PROJECT_SOURCE_DIR}/examples/recv_worker_resend.c
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT development)

if(qel_installed_tools)
    install(TARGETS ${qel_installed_tools} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT tools)
endif()

install(EXPORT qelTargets NAMESPACE qel:: FILE qelTargets.cmake DESTINATION ${QEL_CMAKE_DIR}
    COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/qelConfig.cmake.in
    ${PROJECT_BINARY_DIR}/qelConfig.cmake INSTALL_DESTINATION ${QEL_CMAKE_DIR})
# The API keeps its calls within a major version (the SONAME's number).
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qelConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qelConfig.cmake ${PROJECT_BINARY_DIR}/qelConfigVersion.cmake
    DESTINATION ${QEL_CMAKE_DIR} COMPONENT development)

# qel.pc lies in <libdir>/pkgconfig; its prefix is found from there, whatever --prefix was given
# at install time.
set(qel_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE ${qel_pc_dir})
    set(QEL_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
else()
    file(RELATIVE_PATH qel_pc_up /qel_root/${qel_pc_dir} /qel_root)
    string(REGEX REPLACE "/$" "" qel_pc_up ${qel_pc_up})
    set(QEL_PC_PREFIX "\${pcfiledir}/${qel_pc_up}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/qel.pc.in ${PROJECT_BINARY_DIR}/qel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qel.pc DESTINATION ${qel_pc_dir} COMPONENT development)
if(TARGET qelcamera)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/qelcamera.pc.in ${PROJECT_BINARY_DIR}/qelcamera.pc
        @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/qelcamera.pc DESTINATION ${qel_pc_dir}
        COMPONENT camera_development)
endif()
