# SPDX-License-Identifier: MIT
# Read by cpack before it builds the Debian packages. Without file(1) CPack
# cannot tell which files to strip, and without dpkg-shlibdeps (dpkg-dev) the
# tool's package would get an empty Depends: field: stop and say so instead.
foreach(tool IN ITEMS file dpkg-shlibdeps)
    unset(found)
    find_program(found ${tool} NO_CACHE)
    if(NOT found)
        message(FATAL_ERROR "cannot build the Debian packages: ${tool} is missing "
                            "(apt-get install file dpkg-dev)")
    endif()
endforeach()
