# Installation and the Debian package.
#
# The service keeps every file beside its executable (settings.ini, settings.db, Service.txt, the
# layout directory, svc-plugins), so the executable is installed into a directory of its own that
# the service user owns: VELTRA_APP_DIR, /opt/veltra by default, whatever the install prefix. The
# unit and the operator guide follow the prefix (/usr in the package, /usr/local for a plain
# `cmake --install`, both searched by systemd).
#
#   cmake --install build                 # executable, unit, guide
#   cd build && cpack                     # veltra-service_<version>_<arch>.deb

include(GNUInstallDirs)

set(VELTRA_APP_DIR "/opt/veltra" CACHE PATH
    "Absolute directory of the installed executable, where the service keeps its files")
set(VELTRA_USER "veltra" CACHE STRING "System user the service runs as")
set(VELTRA_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Directory of the systemd unit, relative to the install prefix unless absolute")
set(VELTRA_UNIT "veltra.service")
set(VELTRA_PACKAGE_MAINTAINER "VELTRA Packaging <packaging@veltra.example.net>" CACHE STRING
    "Maintainer field of the Debian package and its changelog: name <address>")

# Purging the package deletes this directory with everything in it, so it must be the service's
# own and never a shared one such as /opt or /usr/bin.
get_filename_component(_veltra_app_dir_name "${VELTRA_APP_DIR}" NAME)
string(TOLOWER "${_veltra_app_dir_name}" _veltra_app_dir_name)
if(NOT IS_ABSOLUTE "${VELTRA_APP_DIR}" OR NOT _veltra_app_dir_name MATCHES "veltra")
    message(FATAL_ERROR "VELTRA_APP_DIR must be an absolute directory of the service's own, "
                        "with 'veltra' in its name (got '${VELTRA_APP_DIR}')")
endif()
if(NOT VELTRA_USER MATCHES "^[a-z_][a-z0-9_-]*$")
    message(FATAL_ERROR "VELTRA_USER '${VELTRA_USER}' is not a valid system user name")
endif()

set(_veltra_packaging_dir ${CMAKE_CURRENT_BINARY_DIR}/packaging)
configure_file(${CMAKE_CURRENT_LIST_DIR}/veltra.service.in ${_veltra_packaging_dir}/${VELTRA_UNIT}
               @ONLY)
foreach(script postinst prerm postrm)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${script}.in
                   ${_veltra_packaging_dir}/debian/${script} @ONLY)
endforeach()
# Debian wants the changelog compressed with gzip -9n (no name or time stamp inside).
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in
               ${_veltra_packaging_dir}/debian/changelog @ONLY)
execute_process(COMMAND gzip -9nc INPUT_FILE ${_veltra_packaging_dir}/debian/changelog
                OUTPUT_FILE ${_veltra_packaging_dir}/debian/changelog.gz RESULT_VARIABLE _veltra_gzip)
if(NOT _veltra_gzip EQUAL 0)
    message(FATAL_ERROR "gzip could not compress the package changelog")
endif()

install(TARGETS veltra-service RUNTIME DESTINATION ${VELTRA_APP_DIR})
install(FILES ${_veltra_packaging_dir}/${VELTRA_UNIT} DESTINATION ${VELTRA_SYSTEMD_UNIT_DIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/OPERATING.md ${CMAKE_CURRENT_LIST_DIR}/debian/copyright
              ${_veltra_packaging_dir}/debian/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# What a monitoring server takes from here: the alert rules and the Grafana dashboard.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/prometheus/veltra-alerts.yml
              ${CMAKE_CURRENT_LIST_DIR}/grafana/veltra-site.json
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
# The application directory under /opt is deliberate; the override says why.
if(VELTRA_APP_DIR MATCHES "^/opt/")
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME veltra-service)
endif()

# --- Debian package ------------------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veltra-service)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "VELTRA")
set(CPACK_PACKAGE_CONTACT "${VELTRA_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "VELTRA site service: camera relay, doors and RTSP streamers")
# Lines of at most 80 columns, as Debian's tools show them.
set(CPACK_PACKAGE_DESCRIPTION
    "Registers with the VELTRA Central server, keeps the site's configuration,
relays camera snapshots as MJPEG streams, serves the IO layout pages that
drive doors, and supervises the RTSP streamer processes. Runs as the systemd
unit ${VELTRA_UNIT} under the system user ${VELTRA_USER}, with its files in
${VELTRA_APP_DIR}.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${_veltra_packaging_dir}/debian/postinst ${_veltra_packaging_dir}/debian/prerm
    ${_veltra_packaging_dir}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The SQLite driver is a Qt plug-in loaded at run time, which no library scan can see; passwd
# provides the tools the maintainer scripts create the user with. (deb-systemd-helper and
# deb-systemd-invoke, which they enable and start the unit with, are essential in Debian.)
set(_veltra_depends "libqt5sql5-sqlite, passwd")
find_program(VELTRA_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(VELTRA_DPKG_SHLIBDEPS)
if(VELTRA_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
    # Without dpkg-shlibdeps, name the runtime libraries of Debian 12; the protobuf package is
    # named after the library's SONAME version.
    set(_veltra_protobuf_package libprotobuf32)
    if(Protobuf_LIBRARY)
        get_filename_component(_veltra_protobuf_real "${Protobuf_LIBRARY}" REALPATH)
        if(_veltra_protobuf_real MATCHES "libprotobuf\\.so\\.([0-9]+)")
            set(_veltra_protobuf_package libprotobuf${CMAKE_MATCH_1})
        endif()
    endif()
    string(APPEND _veltra_depends ", libqt5core5a (>= 5.15), libqt5network5 (>= 5.15), "
           "libqt5sql5 (>= 5.15), libzmq5, ${_veltra_protobuf_package}, libturbojpeg0, "
           "libstdc++6, libc6")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${_veltra_depends}")

include(CPack)
