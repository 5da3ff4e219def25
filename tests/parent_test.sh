#!/bin/sh
# SPDX-License-Identifier: MIT
# A parent project that takes the tree in with add_subdirectory: it builds
# without GoogleTest, links tsflood::mpegts into a C program, and gets no
# tests, benchmarks or install rules of ours.
#   parent_test.sh SOURCE SCRATCH GENERATOR C_COMPILER CXX_COMPILER
set -eu
source=$1 scratch=$2
rm -rf "$scratch"
mkdir -p "$scratch"
cat >"$scratch/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(parent LANGUAGES C CXX)
add_subdirectory("$source" tsflood)
add_executable(consumer "$source/tests/consumer/consumer.c")
target_link_libraries(consumer PRIVATE tsflood::mpegts)
CMAKE
cmake -S "$scratch" -B "$scratch/build" -G "$3" -DCMAKE_C_COMPILER="$4" -DCMAKE_CXX_COMPILER="$5" \
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >/dev/null
cmake --build "$scratch/build" >/dev/null
"$scratch/build/consumer"
if cmake --build "$scratch/build" --target help | grep -E 'tsflood_test|throughput|consumers|install'; then
    echo "the parent project got targets it did not ask for"
    exit 1
fi
