# shellcheck shell=bash disable=SC2034 # the steps that source this use its lists
# SPDX-License-Identifier: MIT
# What the CI steps share: the targets, and how a tool's stream is checked
# and a foreign program run. Sourced by the steps that need it.

# Cross targets: Debian architecture, CMake processor, GNU triplet, qemu's name
# for it, and a hardening flag the target must get. Each target's C and C++
# libraries come from Debian's multiarch packages, so its programs run as if
# they were native. A target this kernel runs itself (i386, where it has
# 32-bit support) runs without qemu.
cross_targets=(
    "arm64 aarch64 aarch64-linux-gnu aarch64 -mbranch-protection=standard"
    "armhf arm arm-linux-gnueabihf arm -fstack-clash-protection"
    "s390x s390x s390x-linux-gnu s390x -fstack-clash-protection"
    "i386 i686 i686-linux-gnu i386 -fcf-protection"
)
# The targets whose test suite runs here, with GoogleTest for them from Debian.
tested_targets=(arm64 s390x i386)
# Every target the static tool is built for: Debian architecture, CMake
# processor, GNU triplet of its cross compiler ("native": this machine's), and
# qemu's name for it. The cross compilers of the last five bring no multiarch
# C library: there is none to install.
static_targets=(
    "amd64 x86_64 native x86_64"
    "i386 i686 i686-linux-gnu i386"
    "arm64 aarch64 aarch64-linux-gnu aarch64"
    "armhf arm arm-linux-gnueabihf arm"
    "armel arm arm-linux-gnueabi arm"
    "mipsel mipsel mipsel-linux-gnu mipsel"
    "mips64el mips64el mips64el-linux-gnuabi64 mips64el"
    "ppc64el ppc64le powerpc64le-linux-gnu ppc64le"
    "riscv64 riscv64 riscv64-linux-gnu riscv64"
    "s390x s390x s390x-linux-gnu s390x"
)

# The CMake options that build for target processor $1 with the cross
# compilers of triplet $2 ("native": none).
toolchain() {
    [[ $2 == native ]] || echo "-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=$1" \
        "-DCMAKE_C_COMPILER=$2-gcc -DCMAKE_CXX_COMPILER=$2-g++"
}

# Runs a tool ("$@") and checks what it writes: its first 10,000 packets are
# all 47 1F FF 10 and 184 zero bytes, and in 2.5 s it reports on standard
# error in well-formed lines only, at least once.
check_stream() {
    ("$@" 2>/dev/null || true) | head -c $((188 * 10000)) |
        od -An -v -tx1 -w188 | uniq -c | grep -x " *10000  47 1f ff 10\( 00\)\{184\}" >/dev/null
    local said
    said=$(timeout 2.5 "$@" 2>&1 >/dev/null || true)
    if ! grep -q . <<<"$said" ||
        grep -v -x 'written: [0-9]*\.[0-9][0-9] \(B\|KiB\|MiB\|GiB\|TiB\|PiB\)' <<<"$said"; then
        echo "$*: no report, or a malformed one"
        return 1
    fi
}

# Runs "$@" in a user namespace of its own where the kernel hands the programs
# of qemu architecture $1 to qemu-$1-static (binfmt_misc), so tests start the
# target's programs as if they were native. The machine's own binfmt settings
# are not touched. Debian has no setting for i386 (x86 machines usually run
# it themselves), so .ci/ holds one.
with_binfmt() {
    local conf=/usr/lib/binfmt.d/qemu-$1.conf
    [[ -f $conf ]] || conf=.ci/qemu-$1.conf
    # shellcheck disable=SC2016 # expanded by the inner shell
    unshare --user --map-root-user --mount sh -c '
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc &&
        sed "s#:[^:]*:[A-Z]*\$#:/usr/bin/qemu-$0-static:F#" "$1" \
            >/proc/sys/fs/binfmt_misc/register && shift && exec "$@"' "$1" "$conf" "${@:2}"
}

# True when this kernel runs program $1 itself: it is still running after a
# second, where a kernel without its architecture refuses to start it.
runs_natively() {
    local status=0
    timeout 1 "$1" >/dev/null 2>&1 || status=$?
    ((status == 124))
}

# A UDP port that no socket of this network namespace holds, in the upper
# part of the port range.
free_udp_port() {
    local port tries
    for ((tries = 0; tries < 100; tries++)); do
        port=$((40000 + RANDOM % 20000))
        if ! grep -q ":$(printf '%04X' "$port") " /proc/net/udp /proc/net/udp6; then
            echo "$port"
            return 0
        fi
    done
    return 1
}
