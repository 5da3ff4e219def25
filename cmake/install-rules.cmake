# SPDX-License-Identifier: MIT
# Installation in two components: "runtime" is the tool and its man page,
# "development" the catalogue's static library and header, a CMake package
# and a pkg-config file. Headers go under include/tsflood/, so consumers
# write #include <mpegts/types.h> as in this tree. Each component carries the
# licence and the changelog as Debian wants them, in share/doc/<package>/.
include(CMakePackageConfigHelpers)
set(TSFLOOD_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tsflood)
set(TSFLOOD_COMPONENTS runtime development)
set(TSFLOOD_PACKAGES tsflood libtsflood-mpegts-dev CACHE STRING
    "The packages' names, for their folders in share/doc (the rpm preset has its own)")

# The programs, their man pages and the changelog, the man pages and the
# changelog gzip-compressed as Debian wants them (-n: no name or time stamp,
# so the build is reproducible).
set(TSFLOOD_PROGRAMS tsflood)
if(TARGET tsflood-consumers)
    list(APPEND TSFLOOD_PROGRAMS tsflood-consumers)
endif()
configure_file(cmake/changelog changelog COPYONLY)
set(compressed changelog)
foreach(program IN LISTS TSFLOOD_PROGRAMS)
    configure_file(docs/${program}.1.in ${program}.1 @ONLY)
    list(APPEND compressed ${program}.1)
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
    install(FILES ${PROJECT_BINARY_DIR}/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
            COMPONENT runtime)
endforeach()
foreach(file IN LISTS compressed)
    execute_process(COMMAND gzip -9n -c ${file} WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
                    OUTPUT_FILE ${PROJECT_BINARY_DIR}/${file}.gz COMMAND_ERROR_IS_FATAL ANY)
endforeach()

install(
    TARGETS mpegts
    EXPORT tsfloodTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(FILES src/mpegts/types.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tsflood/mpegts
        COMPONENT development)
install(
    EXPORT tsfloodTargets
    NAMESPACE tsflood::
    DESTINATION ${TSFLOOD_CMAKE_DIR}
    COMPONENT development)
configure_package_config_file(cmake/tsfloodConfig.cmake.in tsfloodConfig.cmake
                              INSTALL_DESTINATION ${TSFLOOD_CMAKE_DIR})
write_basic_package_version_file(tsfloodConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tsfloodConfig.cmake
              ${PROJECT_BINARY_DIR}/tsfloodConfigVersion.cmake DESTINATION ${TSFLOOD_CMAKE_DIR}
        COMPONENT development)
file(RELATIVE_PATH TSFLOOD_PC_TO_PREFIX /-/${CMAKE_INSTALL_LIBDIR}/pkgconfig /-)
configure_file(cmake/tsflood.pc.in tsflood.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tsflood.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)
foreach(component package IN ZIP_LISTS TSFLOOD_COMPONENTS TSFLOOD_PACKAGES)
    string(TOUPPER ${component} upper)
    set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
    set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package})
    install(FILES LICENSE DESTINATION ${doc_dir} RENAME copyright COMPONENT ${component})
    install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${doc_dir} COMPONENT ${component})
endforeach()

# Packages, one per component: Debian packages by default (cpack in the
# build tree, or the "package" workflow preset), RPM packages with cpack -G
# RPM (the "rpm" workflow preset). Both carry the same files and words.
set(CPACK_GENERATOR DEB)
# The project has no mail address of its own; .invalid (RFC 2606) says so.
set(CPACK_PACKAGE_CONTACT "The tsflood developers <tsflood@tsflood.invalid>")
set(CPACK_PACKAGE_VENDOR "The tsflood developers")
# Each package opens its description with a synopsis of its own.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_COMPONENTS_ALL ${TSFLOOD_COMPONENTS})
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack-checks.cmake)

set(TSFLOOD_RUNTIME_SUMMARY "flood a transport stream consumer with MPEG-TS null packets")
set(TSFLOOD_RUNTIME_DESCRIPTION
    "tsflood writes an endless, valid MPEG transport stream (ISO/IEC 13818-1) of
null packets (PID 0x1FFF) to standard output, as fast as the reader takes it,
and says once a second on standard error how many bytes went out. It is for
testing what consumes transport streams: demuxers, streamers, probes and
recorders.

tsflood-consumers floods consumer commands in turn, through a pipe or over
UDP, and tabulates how each fares: packets and datagrams sent and dropped,
rate, CPU time, memory, what it said and how it ended.")
set(TSFLOOD_DEVELOPMENT_SUMMARY "MPEG-TS type catalogue for C and C++ (static library)")
set(TSFLOOD_DEVELOPMENT_DESCRIPTION
    "A small, constant catalogue of MPEG transport stream types: packet classes,
the null packet, and lookups from stream_type codes (ISO/IEC 13818-1) and DVB
descriptor tags (ETSI EN 300 468) to packet classes and descriptions. This
package holds the static library, its header, a CMake package
(find_package(tsflood)) and a pkg-config file (tsflood).")

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The target's Debian architecture, not the build machine's, so that cross
# builds make packages for their target.
include(cmake/target-arch.cmake)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TSFLOOD_TARGET_ARCH})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION video)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)

set(CPACK_RPM_COMPONENT_INSTALL ON)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_LICENSE MIT)
# No build-id links beside the programs: the Debian packages have none. The
# static library keeps the debug information the rpm preset builds it with.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define packager ${CPACK_PACKAGE_CONTACT}
%define _build_id_links none
%define __brp_strip_static_archive %{nil}")
# Folders that the distribution's own packages own.
list(APPEND CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/man /usr/share/man/man1
     /usr/${CMAKE_INSTALL_LIBDIR}/pkgconfig /usr/${CMAKE_INSTALL_LIBDIR}/cmake)
set(CPACK_RPM_RUNTIME_PACKAGE_NAME tsflood)
set(CPACK_RPM_RUNTIME_PACKAGE_GROUP "Applications/Multimedia")
set(CPACK_RPM_DEVELOPMENT_PACKAGE_NAME tsflood-mpegts-devel)
set(CPACK_RPM_DEVELOPMENT_PACKAGE_GROUP "Development/Libraries")
# Its pkg-config file would make it require pkg-config, which it does not need.
set(CPACK_RPM_DEVELOPMENT_PACKAGE_AUTOREQ OFF)

foreach(component IN ITEMS RUNTIME DEVELOPMENT)
    # A Debian description is its synopsis, then the text with " ." for a
    # blank line; an RPM's has the synopsis apart.
    string(REPLACE "\n\n" "\n.\n" debian "${TSFLOOD_${component}_DESCRIPTION}")
    set(CPACK_DEBIAN_${component}_DESCRIPTION "${TSFLOOD_${component}_SUMMARY}\n${debian}")
    string(SUBSTRING "${TSFLOOD_${component}_SUMMARY}" 0 1 first)
    string(SUBSTRING "${TSFLOOD_${component}_SUMMARY}" 1 -1 rest)
    string(TOUPPER "${first}" first)
    set(CPACK_RPM_${component}_PACKAGE_SUMMARY "${first}${rest}")
    set(CPACK_RPM_${component}_PACKAGE_DESCRIPTION "${TSFLOOD_${component}_DESCRIPTION}")
endforeach()
include(CPack)
