#!/usr/bin/env bash
# Checks that the engine folders hold no window code, then builds and runs every test: a
# plain build, then the same tests under ASan+UBSan, then the threaded engine tests under
# TSan, then a short smoke run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

build() {   # build <dir> <extra cmake args...>
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
}

scripts/check-engine-includes.sh

build build
ctest --test-dir build --output-on-failure -j "$jobs"

build build-asan -DQM_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs"

build build-tsan -DQM_SANITIZE=thread -DQM_BUILD_UI=OFF
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j "$jobs"

if [[ -f fuzz/CMakeLists.txt ]]; then
    CXX=clang++ build build-fuzz -DQM_BUILD_FUZZERS=ON -DQM_BUILD_UI=OFF -DQM_BUILD_TESTS=OFF
    scripts/fuzz-smoke.sh build-fuzz
fi
echo "all test stages passed"
