# Man pages of the programs, made from each program's own --help and
# --version by help2man (with packaging/man/PROGRAM.h2m for what --help does
# not say), so that the page and the program never disagree. Installed by
# the tools package, compressed as Debian wants them.
include_guard(GLOBAL)
find_program(KTZ_HELP2MAN help2man)
if(NOT KTZ_HELP2MAN OR CMAKE_CROSSCOMPILING)
    message(STATUS "no help2man: the man pages are not made (apt-get install help2man)")
    return()
endif()

# The date in the pages: the Debian changelog's, so a rebuild makes the same bytes.
file(STRINGS ${KTZ_PACKAGING_DIR}/debian/changelog _ktz_trailer REGEX "^ -- ")
string(REGEX REPLACE "^ -- .*  " "" _ktz_date "${_ktz_trailer}")
execute_process(COMMAND date -d "${_ktz_date}" +%s OUTPUT_VARIABLE _ktz_epoch OUTPUT_STRIP_TRAILING_WHITESPACE)

set(_ktz_man_dir ${CMAKE_BINARY_DIR}/man)
file(MAKE_DIRECTORY ${_ktz_man_dir})
set(_ktz_pages)
# target;section;one-line description
set(_ktz_man_list
    "ktzmond|8|serve the KTZ Monitor module's chassis picture to client processes"
    "ktzmonctl|8|control a running ktzmond"
    "ktzmon-watch|1|print what the KTZ Monitor sends a client"
    "ktzmon-host|1|run the KTZ Monitor module through a chassis scenario"
    "ktzmon-exporter|1|serve the KTZ Monitor's chassis picture as Prometheus metrics"
    "ktzmon-redfish|1|serve the KTZ Monitor's chassis as a read-only Redfish service over HTTPS")
foreach(_entry IN LISTS _ktz_man_list)
    string(REPLACE "|" ";" _fields "${_entry}")
    list(GET _fields 0 _prog)
    list(GET _fields 1 _sect)
    list(GET _fields 2 _desc)
    if(NOT TARGET ${_prog})
        continue()
    endif()
    set(_page ${_ktz_man_dir}/${_prog}.${_sect})
    add_custom_command(
        OUTPUT ${_page}.gz
        COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${_ktz_epoch} LC_ALL=C.UTF-8 ${KTZ_HELP2MAN} --no-info
                --no-discard-stderr --section=${_sect} --name=${_desc}
                --include=${KTZ_PACKAGING_DIR}/man/${_prog}.h2m --output=${_page} ./$<TARGET_FILE_NAME:${_prog}>
        COMMAND gzip -9nf ${_page}
        # help2man runs the program through the shell, so it is named from its
        # own folder: a build tree whose path holds a space would split it.
        WORKING_DIRECTORY $<TARGET_FILE_DIR:${_prog}>
        DEPENDS ${_prog} ${KTZ_PACKAGING_DIR}/man/${_prog}.h2m
        COMMENT "Man page ${_prog}(${_sect})"
        VERBATIM)
    list(APPEND _ktz_pages ${_page}.gz)
    install(FILES ${_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${_sect} COMPONENT tools)
endforeach()
add_custom_target(ktzmon-man ALL DEPENDS ${_ktz_pages})
