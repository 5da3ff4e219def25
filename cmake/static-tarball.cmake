# SPDX-License-Identifier: MIT
# The static tool as a tarball to copy onto a box: cpack in the build folder
# makes tsflood-VERSION-linux-ARCH.tar.gz, ARCH being Debian's name for the
# target, holding in a folder of that name the tool, its man page, the
# licence and a README of how to copy it over and run it.
include(cmake/target-arch.cmake)
set(VERSION ${PROJECT_VERSION})
set(ARCH ${TSFLOOD_TARGET_ARCH})
configure_file(docs/tsflood.1.in tsflood.1 @ONLY)
configure_file(docs/box-readme.txt README @ONLY)
install(TARGETS tsflood RUNTIME DESTINATION .)
install(FILES ${PROJECT_BINARY_DIR}/tsflood.1 ${PROJECT_BINARY_DIR}/README LICENSE DESTINATION .)

set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_FILE_NAME tsflood-${PROJECT_VERSION}-linux-${TSFLOOD_TARGET_ARCH})
set(CPACK_STRIP_FILES ON)
include(CPack)
