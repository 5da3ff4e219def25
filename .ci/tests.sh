#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The README's test command and the sanitizer build's tests, the benchmarks
# in their quick mode (they assert nothing of speed, but the throughput soak
# fails on any torn or foreign byte), the Clang build's tests, and Clang's
# sanitizers on the unit tests (the floods under a sanitizer run in GCC's
# build above); then the tests that use socat, tsreport and pv once more
# without them, which must then be skipped, not failed.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --workflow --preset dev
cmake --workflow --preset asan
build/dev/bench/throughput --quick
build/dev/bench/pacing --quick
CC=clang CXX=clang++ cmake --workflow --preset dev --fresh
CC=clang CXX=clang++ cmake --preset asan --fresh >/dev/null
cmake --build --preset asan
ctest --preset asan -E '^(Consumers|ConsumersGates|Multicast|Oracle|multicast|consumers)\.'

# A PATH of links to every program on this one but those three.
farm=$(mktemp -d)
chmod 755 "$farm" # the tests run the harness as nobody too
trap 'rm -rf "$farm"' EXIT
IFS=: read -r -a folders <<<"$PATH"
for folder in "${folders[@]}"; do
    for program in "$folder"/*; do
        if [[ -x $program && ! -e $farm/${program##*/} ]]; then
            ln -s "$program" "$farm/"
        fi
    done
done
rm -f "$farm"/socat "$farm"/tsreport "$farm"/pv
needs=(TsreportCountsEveryPacketSent UdpDropsAreCountedAtTheConsumersOwnSockets
    OnlyTheConsumersOwnSocketsCount tool_streams_what_tsreport_counts
    the_first_example_prints_what_the_readme_shows)
PATH=$farm ctest --test-dir build/dev -R "$(IFS='|'; echo "${needs[*]}")" --output-on-failure |
    tee "$farm/log"
for test in "${needs[@]}"; do
    grep -E -q "$test .*Skipped" "$farm/log" || { echo "$test was not skipped"; exit 1; }
done
