# SPDX-License-Identifier: MIT
# TSFLOOD_TARGET_ARCH: Debian's name for the target (amd64, arm64, armel,
# mipsel, ...; arm64 for aarch64-linux-gnu), from the toolchain's multiarch
# triplet; the processor's name where dpkg-architecture is missing.
find_program(TSFLOOD_DPKG_ARCHITECTURE dpkg-architecture)
set(TSFLOOD_TARGET_ARCH ${CMAKE_SYSTEM_PROCESSOR})
if(TSFLOOD_DPKG_ARCHITECTURE AND CMAKE_LIBRARY_ARCHITECTURE)
    execute_process(
        COMMAND ${TSFLOOD_DPKG_ARCHITECTURE} -qDEB_HOST_ARCH -t${CMAKE_LIBRARY_ARCHITECTURE}
        OUTPUT_VARIABLE TSFLOOD_TARGET_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
