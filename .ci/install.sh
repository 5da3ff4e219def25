#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs from Debian what the other steps need, only what is missing: the
# build tools, the consumers the tests use, the cross compilers and qemu, the
# packaging and checking tools; and for the cross targets, their C and C++
# libraries, pugixml and GoogleTest from Debian's multiarch packages.
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh

packages=(cmake ninja-build g++ clang libgtest-dev pkg-config nlohmann-json3-dev libpugixml-dev tstools
    clang-format shellcheck groff man-db dpkg-dev file lintian devscripts qemu-user-static socat jq pv
    iperf3 rpm rpmlint cpio tcpdump tcpreplay python3-junitparser)
for target in "${cross_targets[@]}"; do
    read -r arch _ triplet _ <<<"$target"
    dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
    packages+=("g++-$triplet" "libc6:$arch" "libstdc++6:$arch" "libpugixml-dev:$arch")
    [[ " ${tested_targets[*]} " != *" $arch "* ]] || packages+=("libgtest-dev:$arch")
done
for target in "${static_targets[@]}"; do
    read -r _ _ triplet _ <<<"$target"
    [[ $triplet == native ]] || packages+=("g++-$triplet")
done
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
