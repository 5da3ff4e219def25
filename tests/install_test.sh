#!/bin/sh
# Installs the build tree into a temporary prefix and builds two consumers
# against the installed tree only: C++ through find_package, C through
# pkg-config. Touches nothing outside its temporary folder.
# Usage: install_test.sh BUILD_DIR CONSUMER_SOURCE_DIR [LINK_FLAGS]
set -eu
build=$1
consumer=$2
link_flags=${3:-}
expected="VIDEO: HEVC/H.265, ISO/IEC 23008-2"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >"$work/install.log"
for file in bin/tsflood share/man/man1/tsflood.1 include/tsflood/mpegts/types.h; do
    [ -f "$prefix/$file" ] || { echo "not installed: $file"; exit 1; }
done

echo "C++ consumer through find_package"
LDFLAGS=$link_flags cmake -S "$consumer" -B "$work/cxx" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_BUILD_TYPE=Release >"$work/cxx.log" || { cat "$work/cxx.log"; exit 1; }
cmake --build "$work/cxx" >>"$work/cxx.log" || { cat "$work/cxx.log"; exit 1; }
out=$("$work/cxx/consumer")
echo "$out"
[ "$out" = "$expected" ]

echo "C consumer through pkg-config"
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name tsflood.pc)")
export PKG_CONFIG_PATH
# shellcheck disable=SC2046,SC2086 # pkg-config output is a list of words
cc -std=c11 -Wall -Werror $(pkg-config --cflags tsflood) "$consumer/consumer.c" \
    $(pkg-config --libs tsflood) $link_flags -o "$work/c-consumer"
out=$("$work/c-consumer")
echo "$out"
[ "$out" = "$expected" ]
