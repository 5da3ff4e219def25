# SPDX-License-Identifier: MIT
# The Debian changelog's top entry is the one place for the release's version
# and date: "tsflood (0.1.0) unstable; ..." and its trailer
# " -- NAME <MAIL>  Sun, 06 Dec 2026 12:00:00 +0000". Read before project(),
# it gives TSFLOOD_VERSION and TSFLOOD_DATE (2026-12-06, for the man page).
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog tsflood_changelog)
list(GET tsflood_changelog 0 tsflood_top)
list(FILTER tsflood_changelog INCLUDE REGEX "^ -- ")
list(GET tsflood_changelog 0 tsflood_trailer)
if(NOT tsflood_top MATCHES "^tsflood \\(([0-9]+\\.[0-9]+\\.[0-9]+)\\) ")
    message(FATAL_ERROR "cmake/changelog: no version in its top line: ${tsflood_top}")
endif()
set(TSFLOOD_VERSION ${CMAKE_MATCH_1})
if(NOT tsflood_trailer MATCHES ", ([0-9]?[0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
    message(FATAL_ERROR "cmake/changelog: no date in its top entry's trailer: ${tsflood_trailer}")
endif()
set(tsflood_months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND tsflood_months ${CMAKE_MATCH_2} tsflood_month)
math(EXPR tsflood_month "${tsflood_month} + 1")
math(EXPR tsflood_day "${CMAKE_MATCH_1}")
foreach(part tsflood_month tsflood_day)
    if(${part} LESS 10)
        set(${part} 0${${part}})
    endif()
endforeach()
set(TSFLOOD_DATE ${CMAKE_MATCH_3}-${tsflood_month}-${tsflood_day})
