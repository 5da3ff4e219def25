#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks an install into a scratch prefix, from that prefix only.
#
#   install_test.sh install BUILD_DIR PREFIX
#       a fresh install of the build tree into PREFIX
#   install_test.sh tool PREFIX
#       the installed tool and its man page: 100,000 packets that an
#       independent parser, tstools' tsreport, counts on the null PID
#       (exit 77, skipped, where tsreport is not installed)
#   install_test.sh catalogue PREFIX CONSUMER_DIR
#       one C program, built as C11 with warnings as errors through pkg-config
#       and through find_package, with the compiler and flags in CC, CFLAGS and
#       LDFLAGS, describes the HEVC stream type, the AC-3 descriptor tag and
#       the null packet
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mode=$1
shift
case $mode in
install)
    rm -rf "$2"
    cmake --install "$1" --prefix "$2" >/dev/null
    ;;
tool)
    ls "$1/share/man/man1/tsflood.1.gz" >/dev/null
    command -v tsreport >/dev/null || { echo "skipped: tstools' tsreport is not installed"; exit 77; }
    "$1/bin/tsflood" 2>/dev/null | head -c $((100000 * 188)) >"$work/nulls.ts"
    said=$(tsreport -justpid 0x1fff "$work/nulls.ts" | tail -n 1)
    [ "$said" = "Read 100000 TS packets, 100000 with PID 1fff" ] || { echo "$said"; exit 1; }
    ;;
catalogue)
    PKG_CONFIG_PATH=$(dirname "$(find "$1" -name tsflood.pc)")
    export PKG_CONFIG_PATH
    # shellcheck disable=SC2046,SC2086 # pkg-config and the flags are lists of words
    "${CC:-cc}" -std=c11 -Wall -Wextra -Wpedantic -Wconversion -Werror ${CFLAGS:-} \
        $(pkg-config --cflags tsflood) "$2/consumer.c" $(pkg-config --libs tsflood) ${LDFLAGS:-} \
        -o "$work/pkg-config-consumer"
    cmake -S "$2" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$1" >/dev/null
    cmake --build "$work/cmake" >/dev/null
    for consumer in "$work/pkg-config-consumer" "$work/cmake/consumer"; do
        said=$("$consumer")
        [ "$said" = "VIDEO: HEVC/H.265, ISO/IEC 23008-2, tag 0x6A: AUDIO, null packet: 47, 188 bytes" ] ||
            { echo "$consumer said: $said"; exit 1; }
    done
    ;;
esac
