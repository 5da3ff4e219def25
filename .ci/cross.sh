#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Each cross target: the release build (hardened by what the target supports)
# and its tool's stream under qemu; where GoogleTest for the target is
# installed, the developer build and its whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh

for target in "${cross_targets[@]}"; do
    read -r arch processor triplet qemu flag <<<"$target"
    read -r -a options <<<"$(toolchain "$processor" "$triplet")"
    # The tool alone: what is checked of it is its hardening and its stream.
    cmake --preset release -B "build/$arch-release" "${options[@]}" -DTSFLOOD_CONSUMERS=OFF \
        -DTSFLOOD_BENCHMARKS=OFF >/dev/null
    cmake --build "build/$arch-release"
    grep -q -- "$flag.*tests/tsflood.cpp" "build/$arch-release/compile_commands.json"
    run=()
    runs_natively "build/$arch-release/tsflood" || run=("qemu-$qemu-static")
    check_stream "${run[@]}" "build/$arch-release/tsflood"
    if [[ " ${tested_targets[*]} " == *" $arch "* ]]; then
        cmake --preset dev -B "build/$arch-dev" "${options[@]}" -DTSFLOOD_BENCHMARKS=OFF >/dev/null
        ((${#run[@]} == 0)) || run=(with_binfmt "$qemu")
        # The build runs the test program too, to list its tests.
        "${run[@]}" cmake --build "build/$arch-dev"
        "${run[@]}" ctest --test-dir "build/$arch-dev" --output-on-failure --no-tests=error \
            --timeout 300
    fi
    echo "$arch: built, hardened with $flag, streams whole null packets"
done
