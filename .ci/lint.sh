#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Formatting of the C and C++ files, the shell scripts, and both man pages as
# a reader gets them.
set -euo pipefail
cd "$(dirname "$0")/.."

git ls-files -z '*.c' '*.h' '*.cpp' | xargs -0 clang-format --dry-run --Werror
git ls-files -z '*.sh' .ci/run | xargs -0 shellcheck -x
