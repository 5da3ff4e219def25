#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs the build tree into a temporary prefix, then uses that prefix only.
# The installed tool must stream null packets that an independent parser
# (tstools' tsreport, where installed) counts on the null PID. The C consumer
# must build as C11 with warnings as errors through pkg-config, and through
# find_package, and describe the HEVC stream type, the AC-3 descriptor tag and
# the null packet.
# Usage: install_test.sh BUILD_DIR CONSUMER_DIR [LINK_FLAGS]
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$1" --prefix "$work/prefix" >/dev/null
ls "$work/prefix/share/man/man1/tsflood.1.gz" >/dev/null
if command -v tsreport >/dev/null; then
    "$work/prefix/bin/tsflood" 2>/dev/null | head -c $((100000 * 188)) >"$work/nulls.ts"
    said=$(tsreport -justpid 0x1fff "$work/nulls.ts" | tail -n 1)
    [ "$said" = "Read 100000 TS packets, 100000 with PID 1fff" ] || { echo "$said"; exit 1; }
fi

PKG_CONFIG_PATH=$(dirname "$(find "$work/prefix" -name tsflood.pc)")
export PKG_CONFIG_PATH
# shellcheck disable=SC2046,SC2086 # pkg-config and the link flags are lists of words
cc -std=c11 -Wall -Wextra -Wpedantic -Wconversion -Werror $(pkg-config --cflags tsflood) \
    "$2/consumer.c" $(pkg-config --libs tsflood) ${3:-} -o "$work/pkg-config-consumer"
LDFLAGS=${3:-} cmake -S "$2" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null

for consumer in "$work/pkg-config-consumer" "$work/cmake/consumer"; do
    said=$("$consumer")
    [ "$said" = "VIDEO: HEVC/H.265, ISO/IEC 23008-2, tag 0x6A: AUDIO, null packet: 47, 188 bytes" ] ||
        { echo "$consumer said: $said"; exit 1; }
done
