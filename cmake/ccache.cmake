# Compiler cache: every build directory and every clone shares one cache. The
# base directory (the checkout) makes the paths inside the checkout relative,
# and the build directory's path is left out of the hash (the debug
# information names it, which tests do not read), so a clone at another path
# finds its objects. Included by the top project and by the fuzz project.
option(KTZMON_CCACHE "Compile through ccache when it is installed" ON)
find_program(KTZMON_CCACHE_PROGRAM ccache)
if(KTZMON_CCACHE AND KTZMON_CCACHE_PROGRAM)
    get_filename_component(_ktz_ccache_base ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
    set(_ktz_launcher ${CMAKE_COMMAND} -E env CCACHE_BASEDIR=${_ktz_ccache_base} CCACHE_NOHASHDIR=1
                      CCACHE_SLOPPINESS=pch_defines,time_macros ${KTZMON_CCACHE_PROGRAM})
    set(CMAKE_C_COMPILER_LAUNCHER ${_ktz_launcher})
    set(CMAKE_CXX_COMPILER_LAUNCHER ${_ktz_launcher})
endif()
