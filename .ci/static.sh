#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The static tool for every target, from the static preset, with the same
# time stamps as from any other build of this commit. Each must carry no
# program interpreter (a static PIE where the target allows), and stream and
# report under qemu with no library path, in a mount namespace where every
# library folder of its architecture is hidden under an empty tmpfs: if it
# needed any of the target's C library, it could not start. Each tarball is
# built twice, in two folders, and must be the same bytes, and the tool in
# the build folder must be the one in the tarball.
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh

SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH
version=$(sed -n '1s/.*(\(.*\)).*/\1/p' cmake/changelog)
rm -rf build/boxes
mkdir -p build/boxes
for target in "${static_targets[@]}"; do
    read -r arch processor triplet qemu <<<"$target"
    read -r -a options <<<"$(toolchain "$processor" "$triplet")"
    for build in "build/static-$arch" "build/static-$arch-again"; do
        rm -rf "$build"
        cmake --preset static -B "$build" "${options[@]}" >/dev/null
        cmake --build "$build" >/dev/null
        (cd "$build" && cpack >/dev/null)
    done
    tarball=tsflood-$version-linux-$arch.tar.gz
    cmp "build/static-$arch/$tarball" "build/static-$arch-again/$tarball"
    tar -xzf "build/static-$arch/$tarball" -C build/boxes
    tool=$PWD/build/boxes/${tarball%.tar.gz}/tsflood
    cmp "build/static-$arch/tsflood" "$tool"
    file "$tool" | grep -E -q 'static(-pie|ally) linked'
    if readelf -l "$tool" | grep -q INTERP; then
        echo "$tool asks for a program interpreter"
        exit 1
    fi
    multiarch=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
    # The folders to hide, the host's own last: mount needs it to run.
    hidden="/usr/$multiarch /usr/${triplet/native/$multiarch} /usr/lib/$multiarch"
    # shellcheck disable=SC2016 # expanded by the inner shell
    bare=(unshare --mount sh -c 'for dir in $1; do [ ! -d "$dir" ] || mount -t tmpfs none "$dir"; done
        shift; unset QEMU_LD_PREFIX; exec "$@"' sh "$hidden")
    runs_natively "$tool" || bare+=("qemu-$qemu-static")
    check_stream "${bare[@]}" "$tool"
    echo "$arch: $(file -b "$tool" | grep -E -o 'static(-pie|ally) linked'), $(stat -c %s "$tool") bytes, reproducible"
done
