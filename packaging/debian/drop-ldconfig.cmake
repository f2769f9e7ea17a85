# Run by cpack after the packages are built (CPACK_POST_BUILD_SCRIPTS).
#
# CPack gives every package with a shared library in /usr/lib a postinst and
# a postrm that call ldconfig, even when the package has an ldconfig trigger
# (packaging/debian/triggers); Debian wants the trigger alone. So the library
# packages are unpacked, those two scripts taken out, and packed again.
find_program(KTZ_DPKG_DEB dpkg-deb REQUIRED)
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
    get_filename_component(name "${deb}" NAME)
    if(NOT name MATCHES "^libktz[a-z]+[0-9]+_")
        continue()
    endif()
    set(dir "${deb}.unpacked")
    file(REMOVE_RECURSE "${dir}")
    execute_process(COMMAND ${KTZ_DPKG_DEB} -R "${deb}" "${dir}" RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "dpkg-deb -R ${deb} failed")
    endif()
    foreach(script postinst postrm)
        if(EXISTS "${dir}/DEBIAN/${script}")
            file(READ "${dir}/DEBIAN/${script}" text)
            # Only the generated ldconfig call goes; anything else would be ours.
            string(REGEX REPLACE "#![^\n]*\n|set -e|if \\[ \"\\$1\" = \"(configure|remove)\" \\]; then|ldconfig|fi|[ \t\n]"
                                 "" rest "${text}")
            if(rest STREQUAL "")
                file(REMOVE "${dir}/DEBIAN/${script}")
            endif()
        endif()
    endforeach()
    execute_process(COMMAND ${KTZ_DPKG_DEB} --root-owner-group -Zxz -b "${dir}" "${deb}"
                    OUTPUT_QUIET RESULT_VARIABLE rc)
    file(REMOVE_RECURSE "${dir}")
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "dpkg-deb -b ${deb} failed")
    endif()
endforeach()
