# SPDX-License-Identifier: MIT
# Hardening and sanitizers for this project's own targets. Each flag is tried
# on the compilers and the linker at configure time, so a target gets what it
# supports and no architecture list has to be kept. They are directory
# options: none of them reaches what tsflood::mpegts passes on to consumers.
include(CheckCCompilerFlag)
include(CheckCXXCompilerFlag)
include(CheckLinkerFlag)
include(CheckPIESupported)

option(TSFLOOD_HARDENING "Harden the build with every flag the target and compilers support" OFF)
option(TSFLOOD_STATIC "Link tsflood statically, for a box that has no C library to offer it" OFF)
set(TSFLOOD_SANITIZE "" CACHE STRING "Sanitizers to build with, as -fsanitize= takes them")

# Adds each compile flag that both the C and the C++ compiler accept, and
# each link flag (in LINKER: form) that the linker accepts. Each is tried with
# the ones accepted before it, as errors: a compiler that only warns about a
# flag (Clang's "argument unused") does not support it.
function(tsflood_add_supported_flags)
    cmake_parse_arguments(PARSE_ARGV 0 arg "" "" "COMPILE;LINK")
    set(CMAKE_REQUIRED_FLAGS -Werror)
    foreach(flag IN LISTS arg_COMPILE)
        string(MAKE_C_IDENTIFIER "TSFLOOD_CC${flag}" works)
        check_c_compiler_flag(${flag} ${works}_C)
        check_cxx_compiler_flag(${flag} ${works}_CXX)
        if(${works}_C AND ${works}_CXX)
            add_compile_options(${flag})
            string(APPEND CMAKE_REQUIRED_FLAGS " ${flag}")
        endif()
    endforeach()
    foreach(flag IN LISTS arg_LINK)
        string(MAKE_C_IDENTIFIER "TSFLOOD_LD${flag}" works)
        check_linker_flag(C ${flag} ${works})
        if(${works})
            add_link_options(${flag})
        endif()
    endforeach()
endfunction()

if(TSFLOOD_HARDENING)
    # Fortified C library calls: level 3 where glibc has it, else glibc uses
    # level 2. -U first, for toolchains that define a level of their own.
    add_compile_options(-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=3)
    # Position-independent executables, for address space layout randomisation.
    check_pie_supported()
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
    # Control-flow protection is -fcf-protection on x86 (CET) and
    # -mbranch-protection=standard on arm64 (PAC and BTI); each compiler
    # accepts only its own target's.
    tsflood_add_supported_flags(
        COMPILE -fstack-protector-strong -fstack-clash-protection -fcf-protection
                -mbranch-protection=standard -Wformat -Werror=format-security -Wdate-time
        LINK LINKER:-z,relro LINKER:-z,now)
endif()

if(TSFLOOD_SANITIZE)
    set(TSFLOOD_SANITIZE_FLAGS -fsanitize=${TSFLOOD_SANITIZE} -fno-sanitize-recover=all
                               -fno-omit-frame-pointer)
    add_compile_options(${TSFLOOD_SANITIZE_FLAGS})
    add_link_options(${TSFLOOD_SANITIZE_FLAGS})
    # Clang's function check (part of "undefined") makes C++ code need the C++
    # runtime's type information. The catalogue is linked from C programs too,
    # so it goes without that check where the compiler has it.
    check_cxx_compiler_flag(-fno-sanitize=function TSFLOOD_HAS_FUNCTION_SANITIZER)
    if(TSFLOOD_HAS_FUNCTION_SANITIZER)
        set(TSFLOOD_CATALOGUE_OPTIONS -fno-sanitize=function)
    endif()
endif()

# A static tool for a box that has no C library to offer it: a static PIE
# where the target's toolchain has the start-up files for one, so that its
# addresses are still randomised, else plainly static. A static PIE is
# linked as CMake links any PIE, with -static-pie in place of -pie.
if(TSFLOOD_STATIC)
    check_pie_supported()
    set(CMAKE_REQUIRED_FLAGS -fPIE)
    check_linker_flag(CXX -static-pie TSFLOOD_HAS_STATIC_PIE)
    unset(CMAKE_REQUIRED_FLAGS)
    if(TSFLOOD_HAS_STATIC_PIE)
        set(CMAKE_POSITION_INDEPENDENT_CODE ON)
        set(CMAKE_C_LINK_OPTIONS_PIE -fPIE -static-pie)
        set(CMAKE_CXX_LINK_OPTIONS_PIE -fPIE -static-pie)
    else()
        set(CMAKE_POSITION_INDEPENDENT_CODE OFF)
        add_link_options(-static)
    endif()
    # Stripped as linked, so the tool in the build folder is the one the
    # tarball holds, byte for byte.
    add_link_options(-s)
endif()
