# SPDX-License-Identifier: MIT
# Installation in two components: "runtime" is the tool and its man page,
# "development" the catalogue's static library and header, a CMake package
# and a pkg-config file. Headers go under include/tsflood/, so consumers
# write #include <mpegts/types.h> as in this tree. Each component carries the
# licence and the changelog as Debian wants them, in share/doc/<package>/.
include(CMakePackageConfigHelpers)
set(TSFLOOD_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tsflood)
set(TSFLOOD_COMPONENTS runtime development)
set(TSFLOOD_PACKAGES tsflood libtsflood-mpegts-dev)

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

# Debian packages, one per component: cpack -G DEB in the build tree, or the
# "package" workflow preset.
set(CPACK_GENERATOR DEB)
# The project has no mail address of its own; .invalid (RFC 2606) says so.
set(CPACK_PACKAGE_CONTACT "The tsflood developers <tsflood@tsflood.invalid>")
# Each package opens its description with a synopsis of its own.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${TSFLOOD_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack-checks.cmake)
# The target's Debian architecture (arm64 for aarch64-linux-gnu), not the
# build machine's, so that cross builds make packages for their target.
find_program(TSFLOOD_DPKG_ARCHITECTURE dpkg-architecture)
if(TSFLOOD_DPKG_ARCHITECTURE AND CMAKE_LIBRARY_ARCHITECTURE)
    execute_process(
        COMMAND ${TSFLOOD_DPKG_ARCHITECTURE} -qDEB_HOST_ARCH -t${CMAKE_LIBRARY_ARCHITECTURE}
        OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE
        ERROR_QUIET)
endif()

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION video)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "flood a transport stream consumer with MPEG-TS null packets
tsflood writes an endless, valid MPEG transport stream (ISO/IEC 13818-1) of
null packets (PID 0x1FFF) to standard output, as fast as the reader takes it,
and says once a second on standard error how many bytes went out. It is for
testing what consumes transport streams: demuxers, streamers, probes and
recorders.
.
tsflood-consumers floods consumer commands in turn, through a pipe or over
UDP, and tabulates how each fares: packets and datagrams sent and dropped,
rate, CPU time, memory, what it said and how it ended.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "MPEG-TS type catalogue for C and C++ (static library)
A small, constant catalogue of MPEG transport stream types: packet classes,
the null packet, and lookups from stream_type codes (ISO/IEC 13818-1) and DVB
descriptor tags (ETSI EN 300 468) to packet classes and descriptions. This
package holds the static library, its header, a CMake package
(find_package(tsflood)) and a pkg-config file (tsflood).")
include(CPack)
