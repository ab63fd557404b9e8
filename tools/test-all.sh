#!/bin/sh
# Builds and runs every test: the test suites; lumora-flash alone with Qt
# Core only; the flasher's suites with the thread sanitizer (it runs widgets
# and its recorder in parallel); the suites with address and
# undefined-behaviour sanitizers; then each fuzz target for a bounded time.
# Exits non-zero on any failure.
#   LUMORA_FUZZ_SECONDS  time per fuzz target (default 20)
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)
fuzz_seconds=${LUMORA_FUZZ_SECONDS:-20}
began=$(date +%s)
phase() { echo "== $1 (at $(($(date +%s) - began)) s)"; }

# The benchmarks are built with the sanitizers below, never run here. The
# builds after the first compile their files in batches (CMake's unity
# build): the Qt headers are read once per batch, not once per file; the
# first build, file by file, keeps each file's own includes honest.
phase "test suites"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DLUMORA_BUILD_BENCHMARKS=OFF
cmake --build build -j"$jobs"
# The suites spend most of their time waiting for emulated widgets: the
# flasher's build with Qt Core alone and the thread-sanitized build go on
# beside them.
ctest --test-dir build --output-on-failure -j"$jobs" > build/suites.log 2>&1 &
suites=$!

phase "lumora-flash alone, with Qt Core only"
cmake -S . -B build-cli -DLUMORA_CLI_ONLY=ON -DCMAKE_BUILD_TYPE= -DCMAKE_UNITY_BUILD=ON
cmake --build build-cli -j"$jobs" --target lumora-flash
if readelf -d build-cli/cli/lumora-flash | grep -E 'NEEDED.*libQt5(Gui|Widgets)'; then
    echo "lumora-flash needs more than Qt Core" >&2
    exit 1
fi
phase "the flasher's suites built with the thread sanitizer"
CC=clang CXX=clang++ cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DLUMORA_BUILD_BENCHMARKS=OFF -DCMAKE_UNITY_BUILD=ON \
    "-DCMAKE_CXX_FLAGS=-fsanitize=thread -fno-omit-frame-pointer" "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread"
cmake --build build-tsan -j"$jobs" --target lumora-flash tst_flashcli tst_linerecord
suitesStatus=0
wait "$suites" || suitesStatus=$?
cat build/suites.log
[ "$suitesStatus" -eq 0 ] || exit 1

phase "the flasher's suites with the thread sanitizer"
# A race report ends the flasher with 66, which no test expects. By
# default every process sleeps 1 s at its exit, for races with threads
# still running then; the flasher's writer threads are idle by then, and
# a tenth of a second keeps the suites, which run some hundred flashers,
# well inside their time.
# exitCodes is left out: one widget per flasher, row after row, a third of
# the suite's time here, and its threads are those the other functions run.
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 atexit_sleep_ms=100 suppressions=$root/tests/tsan.supp"
flashcli=$(QT_QPA_PLATFORM=offscreen build-tsan/tests/tst_flashcli -functions | sed -n 's/()$//p' | grep -vx exitCodes)
[ -n "$flashcli" ]
( cd build-tsan/tests && ./tst_linerecord > linerecord.log 2>&1 ) &
linerecord=$!
( cd build-tsan/tests && QT_QPA_PLATFORM=offscreen LUMORA_EMULATOR=0 ./tst_flashcli $flashcli ) || exit 1
wait "$linerecord" || { cat build-tsan/tests/linerecord.log; exit 1; }
grep '^Totals' build-tsan/tests/linerecord.log
unset TSAN_OPTIONS

phase "test suites with address and undefined-behaviour sanitizers, fuzz targets"
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
CC=clang CXX=clang++ cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_UNITY_BUILD=ON \
    -DLUMORA_BUILD_FUZZERS=ON -DLUMORA_BUILD_BENCHMARKS=ON \
    "-DCMAKE_CXX_FLAGS=$sanitize" "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined"
cmake --build build-asan -j"$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp"
export UBSAN_OPTIONS=print_stacktrace=1
# What the package and the documents hold was checked above; the rest runs
# sanitized.
ctest --test-dir build-asan --output-on-failure -j"$jobs" -E '^(install_tree|debian_package|docs_tables)$'

# Each target starts from the seed corpus (copied: the repository's stays
# small) and stops at the first finding, which fails this script. The
# targets run side by side.
phase "fuzz targets, ${fuzz_seconds} s each"
export QT_QPA_PLATFORM=offscreen
fuzz() {
    target=$1 work=$2
    cp fuzz/corpus/"$target"/* "$work"/
    build-asan/fuzz/fuzz_"$target" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
        -artifact_prefix="$root/build-asan/fuzz_$target-" "$work" > "$work.log" 2>&1
}
pids= targets="receive image itemtext"
for target in $targets; do
    work=$(mktemp -d)
    eval "work_$target=$work"
    fuzz "$target" "$work" &
    pids="$pids $!"
done
failed=0
set -- $pids
for target in $targets; do
    eval "work=\$work_$target"
    if wait "$1"; then
        echo "-- fuzz_$target: $(grep -E '^(Done|stat::number_of_executed_units)' "$work.log" | tr '\n' ' ')"
    else
        tail -n 60 "$work.log"
        echo "fuzz_$target found a fault; the input is in build-asan/" >&2
        failed=1
    fi
    rm -rf "$work" "$work.log"
    shift
done
[ "$failed" -eq 0 ] || exit 1
phase "every test passed"
