# Reference documentation, each part made only where its tool is found:
#   man pages of the tools (help2man): written from each tool's --help, so that the page and the
#     help never part; built with the tools and installed with them.
#   API reference from the public headers (doxygen): the `docs` target, HTML and a section 3 man
#     page per function in <build>/docs; not part of the default build.

# The pages are made by running the tools, so not where they cannot run here (another target)
# or run instrumented (sanitizer and fuzz builds, whose tools are not installed).
find_program(QEL_HELP2MAN help2man)
if(CMAKE_CROSSCOMPILING OR NOT QEL_SANITIZE STREQUAL "" OR QEL_FUZZ)
    set(qel_tools_run_here OFF)
else()
    set(qel_tools_run_here ON)
endif()
if(QEL_HELP2MAN AND qel_installed_tools AND qel_tools_run_here)
    # What each page's NAME section says after the tool's name.
    set(qel_tool_summary_qel-info "print the qel library and driver versions and the boards")
    set(qel_tool_summary_qel-adapter "list qel adapter boards and keep their names")
    set(qel_tool_summary_qel-camsim "simulate a GigE Vision camera streaming over UDP")
    set(qel_tool_summary_qel-recv "receive a GigE Vision camera stream through qel")
    set(qel_man_pages "")
    foreach(tool IN LISTS qel_installed_tools)
        # Compressed, as man pages are installed on Debian; -n keeps the build reproducible.
        set(page ${PROJECT_BINARY_DIR}/man/${tool}.1)
        add_custom_command(OUTPUT ${page}.gz
            COMMAND ${QEL_HELP2MAN} --no-info --no-discard-stderr
                --version-string=${PROJECT_VERSION} "--name=${qel_tool_summary_${tool}}"
                --output=${page} $<TARGET_FILE:${tool}>
            COMMAND gzip -9nf ${page}
            DEPENDS ${tool}
            COMMENT "Man page of ${tool}" VERBATIM)
        list(APPEND qel_man_pages ${page}.gz)
    endforeach()
    add_custom_target(man ALL DEPENDS ${qel_man_pages})
    install(FILES ${qel_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
elseif(qel_installed_tools AND qel_tools_run_here)
    message(STATUS "Man pages: not made, help2man was not found (Debian: help2man)")
endif()

find_package(Doxygen QUIET)
if(DOXYGEN_FOUND)
    set(DOXYGEN_PROJECT_NUMBER ${PROJECT_VERSION})
    set(DOXYGEN_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/docs)
    set(DOXYGEN_OPTIMIZE_OUTPUT_FOR_C YES)
    set(DOXYGEN_EXTRACT_ALL YES)
    set(DOXYGEN_GENERATE_MAN YES)
    set(DOXYGEN_MAN_LINKS YES)
    set(DOXYGEN_WARN_AS_ERROR NO)
    set(DOXYGEN_MACRO_EXPANSION YES)
    set(DOXYGEN_PREDEFINED "QEL_EXPORT=")
    # The headers keep plain C comments; the filter hands them to doxygen as its own.
    set(DOXYGEN_INPUT_FILTER "sed -f ${CMAKE_CURRENT_LIST_DIR}/doc_comments.sed")
    doxygen_add_docs(docs ${PROJECT_SOURCE_DIR}/include/qel.h ${PROJECT_SOURCE_DIR}/include/hux.h
        COMMENT "API reference in ${PROJECT_BINARY_DIR}/docs")
else()
    message(STATUS "API reference: no `docs` target, doxygen was not found (Debian: doxygen)")
endif()
