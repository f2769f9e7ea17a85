# Debian packages built with CPack, one per install component:
#
#   libktzmon1        module        the monitor module libktzmon.so.1
#   libktzmon-dev     module_dev    its headers, link and pkg-config file
#   libktzplatform1   platform      the simulated chassis platform for workstations
#   libktzclient2     client        the client library libktzclient.so.2
#   libktzclient-dev  client_dev    its header, link and pkg-config file
#   ktzmon-tools      tools         ktzmond, ktzmonctl, ktzmon-watch, ktzmon-host,
#                                   ktzmon-exporter, ktzmon-redfish, their man pages,
#                                   the systemd units with their settings in
#                                   /etc/ktzmon (conffiles) and maintainer scripts,
#                                   and the Prometheus alerting rules
#
# A cross build for PowerPC packages the module alone, for the chassis, where
# the host service provides the platform interfaces.
#
#   cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DKTZMON_BUILD_TREE_MODULE=OFF ...
#   cpack -G DEB          (scripts/package.sh does both)
include_guard(GLOBAL)

set(KTZ_DEB_MAINTAINER "KTZ Monitor developers <maintainers@users.noreply.c-seed-1a077f86.example>"
    CACHE STRING "Maintainer field of the Debian packages")
set(KTZ_DEB_RELEASE 1 CACHE STRING "Debian revision of the packages")
set(KTZ_DEB_VERSION "${PROJECT_VERSION}-${KTZ_DEB_RELEASE}")

set(KTZ_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(KTZ_SYSTEMD_UNIT_DIR /lib/systemd/system CACHE PATH "Where the tools package puts its systemd units")

# The tools package also carries the metrics exporter (built for the
# workstation only).
if(TARGET ktzmon-exporter)
    install(TARGETS ktzmon-exporter RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()
# And the Redfish service, its unit and its settings (a conffile in /etc/ktzmon).
if(TARGET ktzmon-redfish)
    install(TARGETS ktzmon-redfish RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()

if(CMAKE_CROSSCOMPILING)
    set(KTZ_DEB_COMPONENTS module)
else()
    set(KTZ_DEB_COMPONENTS module module_dev platform client client_dev)
    if(TARGET ktzmond)
        list(APPEND KTZ_DEB_COMPONENTS tools)
        install(FILES ${KTZ_PACKAGING_DIR}/systemd/ktzmond.service DESTINATION ${KTZ_SYSTEMD_UNIT_DIR}
                COMPONENT tools)
        # The settings the units read: conffiles (packaging/debian/tools/conffiles).
        install(FILES ${KTZ_PACKAGING_DIR}/etc/ktzmond.conf ${KTZ_PACKAGING_DIR}/etc/linux.toml
                DESTINATION /etc/ktzmon COMPONENT tools)
        if(TARGET ktzmon-exporter)
            install(FILES ${KTZ_PACKAGING_DIR}/systemd/ktzmon-exporter.service
                    DESTINATION ${KTZ_SYSTEMD_UNIT_DIR} COMPONENT tools)
            install(FILES ${KTZ_PACKAGING_DIR}/etc/ktzmon-exporter.conf DESTINATION /etc/ktzmon COMPONENT tools)
            install(FILES ${CMAKE_SOURCE_DIR}/docs/ktzmon-alerts.yml
                    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/ktzmon COMPONENT tools)
        endif()
        if(TARGET ktzmon-redfish)
            install(FILES ${KTZ_PACKAGING_DIR}/systemd/ktzmon-redfish.service
                    DESTINATION ${KTZ_SYSTEMD_UNIT_DIR} COMPONENT tools)
            install(FILES ${KTZ_PACKAGING_DIR}/etc/ktzmon-redfish.conf DESTINATION /etc/ktzmon COMPONENT tools)
            # The web view it serves at / (its --web-root default).
            install(DIRECTORY ${CMAKE_SOURCE_DIR}/web/ DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/ktzmon/web
                    COMPONENT tools FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
        endif()
        include(${CMAKE_CURRENT_LIST_DIR}/manpages.cmake)
    endif()
endif()

# Package names per component.
set(KTZ_DEB_NAME_module libktzmon1)
set(KTZ_DEB_NAME_module_dev libktzmon-dev)
set(KTZ_DEB_NAME_platform libktzplatform1)
set(KTZ_DEB_NAME_client libktzclient2)
set(KTZ_DEB_NAME_client_dev libktzclient-dev)
set(KTZ_DEB_NAME_tools ktzmon-tools)

# Every package carries its copyright file and the Debian changelog
# (gzip -9n, so the bytes do not depend on the time of the build).
configure_file(${KTZ_PACKAGING_DIR}/debian/changelog ${CMAKE_BINARY_DIR}/packaging/changelog.Debian @ONLY)
execute_process(COMMAND gzip -9nc INPUT_FILE ${CMAKE_BINARY_DIR}/packaging/changelog.Debian
                OUTPUT_FILE ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz RESULT_VARIABLE _ktz_gzip)
if(NOT _ktz_gzip EQUAL 0)
    message(FATAL_ERROR "gzip of the Debian changelog failed")
endif()
foreach(_comp IN LISTS KTZ_DEB_COMPONENTS)
    install(FILES ${KTZ_PACKAGING_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${KTZ_DEB_NAME_${_comp}} COMPONENT ${_comp})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ktzmon)
set(CPACK_PACKAGE_VENDOR "KTZ Monitor developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${KTZ_DEB_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${KTZ_DEB_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KTZ_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KTZ_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SOURCE ktzmon)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

foreach(_comp IN LISTS KTZ_DEB_COMPONENTS)
    string(TOUPPER ${_comp} _COMP)
    set(CPACK_DEBIAN_${_COMP}_PACKAGE_NAME ${KTZ_DEB_NAME_${_comp}})
endforeach()

set(CPACK_DEBIAN_MODULE_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PLATFORM_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_MODULE_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_CLIENT_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION admin)

set(CPACK_COMPONENT_MODULE_DESCRIPTION
    "KTZ Monitor chassis monitoring module
The plug-in module libktzmon.so.1 of the chassis management processor's
host service. It watches the fan, temperature, power-supply and
power-redundancy sensors and the chassis log, and keeps every connected
client informed of them.")
set(CPACK_COMPONENT_MODULE_DEV_DESCRIPTION
    "KTZ Monitor chassis monitoring module - development files
Headers of the module's entry points and client protocol, the link to
libktzmon.so.1 and the ktzmon pkg-config file.")
set(CPACK_COMPONENT_PLATFORM_DESCRIPTION
    "KTZ Monitor simulated chassis platform for workstations
libktzplatform.so.1 stands in for the chassis management processor's
platform services (sensors, chassis log, configuration and threads) so the
monitoring module and its tools run on an ordinary Linux machine. On the
chassis itself the host service provides these interfaces instead.")
set(CPACK_COMPONENT_CLIENT_DESCRIPTION
    "KTZ Monitor client library
libktzclient.so.2 connects to ktzmond over its Unix socket or TCP, performs
the handshake and decodes the messages the monitoring module sends.")
set(CPACK_COMPONENT_CLIENT_DEV_DESCRIPTION
    "KTZ Monitor client library - development files
The ktzclient.h header, the link to libktzclient.so.2 and the ktzclient
pkg-config file.")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "KTZ Monitor daemon and tools
ktzmond serves the monitoring module watching this machine's sensors (or a
simulated chassis) to client processes; ktzmonctl controls it live;
ktzmon-watch prints what a client receives; ktzmon-host runs the module
through scenario files; ktzmon-exporter publishes the data as metrics;
ktzmon-redfish serves it as a read-only Redfish service over HTTPS.
Includes systemd units for the daemon, the exporter and the Redfish
service, their settings in /etc/ktzmon and Prometheus alerting rules.")

# Dependencies: dpkg-shlibdeps finds the system libraries; it finds our own
# libraries in the build tree (private directories) but cannot know their
# packages, so those are stated here. ktzmond and ktzmon-host load the module
# with dlopen, which no tool can see.
set(KTZ_DEB_EXACT "(= ${KTZ_DEB_VERSION})")
set(CPACK_DEBIAN_MODULE_DEV_PACKAGE_DEPENDS "libktzmon1 ${KTZ_DEB_EXACT}")
set(CPACK_DEBIAN_CLIENT_DEV_PACKAGE_DEPENDS "libktzclient2 ${KTZ_DEB_EXACT}")
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS
    "libktzmon1 ${KTZ_DEB_EXACT}, libktzplatform1 ${KTZ_DEB_EXACT}, libktzclient2 ${KTZ_DEB_EXACT}")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The shared-library packages let dpkg run ldconfig through its trigger, and
# nothing else (the scripts CPack adds are taken out again after the build).
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
foreach(_COMP MODULE PLATFORM CLIENT)
    set(CPACK_DEBIAN_${_COMP}_PACKAGE_CONTROL_EXTRA ${KTZ_PACKAGING_DIR}/debian/triggers)
endforeach()
set(CPACK_POST_BUILD_SCRIPTS ${KTZ_PACKAGING_DIR}/debian/drop-ldconfig.cmake)
# The tools: units enabled on install, restarted on upgrade, stopped on
# removal, forgotten on purge; the settings in /etc/ktzmon are conffiles.
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA
    ${KTZ_PACKAGING_DIR}/debian/tools/postinst ${KTZ_PACKAGING_DIR}/debian/tools/prerm
    ${KTZ_PACKAGING_DIR}/debian/tools/postrm ${KTZ_PACKAGING_DIR}/debian/tools/conffiles)

if(CMAKE_CROSSCOMPILING)
    # No dpkg-shlibdeps for a foreign architecture without its library
    # packages installed: the module needs the C library only (symbol
    # versions up to GLIBC_2.4) besides the platform interfaces, which the
    # chassis host service provides.
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE powerpc)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
    set(CPACK_DEBIAN_MODULE_PACKAGE_DEPENDS "libc6 (>= 2.4)")
else()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/platform
                                                    ${CMAKE_BINARY_DIR}/client)
    set(CPACK_DEBIAN_MODULE_PACKAGE_DEPENDS "libktzplatform1 ${KTZ_DEB_EXACT}")
endif()

include(CPack)
