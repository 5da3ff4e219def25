# SPDX-License-Identifier: MIT
# Read by cpack before it builds each kind of package. Without file(1) CPack
# cannot tell which files to strip, without dpkg-shlibdeps (dpkg-dev) the
# tool's Debian package would get an empty Depends: field, and without
# rpmbuild there is no RPM: stop and say so instead.
if(CPACK_GENERATOR STREQUAL "DEB")
    set(needed file dpkg-shlibdeps)
    set(packages "file dpkg-dev")
elseif(CPACK_GENERATOR STREQUAL "RPM")
    set(needed file rpmbuild)
    set(packages "file rpm")
endif()
foreach(tool IN LISTS needed)
    unset(found)
    find_program(found ${tool} NO_CACHE)
    if(NOT found)
        message(FATAL_ERROR "cannot build the ${CPACK_GENERATOR} packages: ${tool} is missing "
                            "(apt-get install ${packages})")
    endif()
endforeach()
