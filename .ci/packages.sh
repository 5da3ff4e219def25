#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian and RPM packages of the release build, each checked by its
# distribution's linter and unpacked into a scratch folder, where the tool
# must stream and a C program must build against the catalogue through its
# pkg-config file; the release tool's hardening; and the release build
# without tsflood-consumers, which then needs no nlohmann-json or pugixml.
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Builds tests/consumer/consumer.c against the catalogue of the pkg-config
# folder $1, as $2, and runs it.
build_c_consumer() {
    # shellcheck disable=SC2046 # pkg-config prints lists of words
    cc -std=c11 -Wall -Wextra -Wpedantic -Werror $(PKG_CONFIG_PATH=$1 pkg-config --cflags tsflood) \
        tests/consumer/consumer.c $(PKG_CONFIG_PATH=$1 pkg-config --libs tsflood) -o "$2"
    "$2"
}

# Debian: no lintian errors.
rm -rf build/packages
cmake --workflow --preset package
lintian --fail-on error build/packages/*.deb
dpkg-deb -x build/packages/tsflood_*.deb "$scratch/tool"
dpkg-deb -x build/packages/libtsflood-mpegts-dev_*.deb "$scratch/dev"
check_stream "$scratch/tool/usr/bin/tsflood"
build_c_consumer "$(dirname "$(find "$scratch/dev" -name tsflood.pc)")" "$scratch/consumer"

# RPM: no rpmlint errors but the signature (cmake/rpmlintrc says why); the
# files, and no requirement but the C library and, for the programs, the C++
# runtime.
cmake --workflow --preset rpm
rpms=(build/packages/tsflood-[0-9]*.rpm build/packages/tsflood-mpegts-devel-*.rpm)
rpmlint -r cmake/rpmlintrc "${rpms[@]}"
diff <(rpm -qpl "${rpms[0]}") - <<LIST
/usr/bin/tsflood
/usr/bin/tsflood-consumers
/usr/share/doc/tsflood
/usr/share/doc/tsflood/changelog.gz
/usr/share/doc/tsflood/copyright
/usr/share/man/man1/tsflood-consumers.1.gz
/usr/share/man/man1/tsflood.1.gz
LIST
diff <(rpm -qpl "${rpms[1]}") - <<LIST
/usr/include/tsflood
/usr/include/tsflood/mpegts
/usr/include/tsflood/mpegts/types.h
/usr/lib64/cmake/tsflood
/usr/lib64/cmake/tsflood/tsfloodConfig.cmake
/usr/lib64/cmake/tsflood/tsfloodConfigVersion.cmake
/usr/lib64/cmake/tsflood/tsfloodTargets-release.cmake
/usr/lib64/cmake/tsflood/tsfloodTargets.cmake
/usr/lib64/libtsflood-mpegts.a
/usr/lib64/pkgconfig/tsflood.pc
/usr/share/doc/tsflood-mpegts-devel
/usr/share/doc/tsflood-mpegts-devel/changelog.gz
/usr/share/doc/tsflood-mpegts-devel/copyright
LIST
if rpm -qpR "${rpms[@]}" |
    grep -v -E '^(libc\.so\.6|libm\.so\.6|libstdc\+\+\.so\.6|libgcc_s\.so\.1)\(|^rpmlib\(|^rtld\('; then
    echo "the RPM packages require more than the C library and the C++ runtime"
    exit 1
fi
mkdir "$scratch/rpm"
for rpm in "${rpms[@]}"; do
    rpm2cpio "$rpm" | (cd "$scratch/rpm" && cpio -idm --quiet)
done
check_stream "$scratch/rpm/usr/bin/tsflood"
build_c_consumer "$scratch/rpm/usr/lib64/pkgconfig" "$scratch/rpm-consumer"

# The release tool is hardened: PIE, fortified calls, read-only relocations,
# immediate binding. The stack protector flag is checked in the compile
# database instead: the tool has no function that -fstack-protector-strong
# protects, so no canary shows in the binary. Debian 12's C start-up files
# carry no IBT/SHSTK marks, so no program here shows control flow protection.
hardening-check --nostackprotector --nocfprotection build/release/tsflood
grep -q -- '-fstack-protector-strong.*tests/tsflood.cpp' build/release/compile_commands.json

# Without the harness, the release preset needs no nlohmann-json or pugixml.
cmake --preset release -B build/release-tool-only -DTSFLOOD_CONSUMERS=OFF \
    -DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON -DCMAKE_DISABLE_FIND_PACKAGE_pugixml=ON >/dev/null
cmake --build build/release-tool-only
check_stream build/release-tool-only/tsflood
