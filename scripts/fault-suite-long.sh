#!/usr/bin/env bash
# The long fault runs, outside CI: the whole fault suite several times over, then 500 kills
# at random moments of a run and 500 during the shutdown save (1000 in all).
# Usage: scripts/fault-suite-long.sh [build folder] (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
rounds=${QM_FAULT_ROUNDS:-3}

cmake --build "$dir" --target fault_suite_tests quillmere-monitor quillmere-devsim -j "$(nproc)"
binary="$dir/tests/faults/fault_suite_tests"
export QM_BINARY_DIR
QM_BINARY_DIR=$(cd "$dir" && pwd)

# Every scenario again, with the kills at their CI count: faults that show only now and then.
"$binary" --gtest_filter='-KillTest.*' --gtest_repeat="$rounds" --gtest_brief=1

QM_FAULT_KILLS=500 "$binary" --gtest_filter='KillTest.*'
echo "long fault suite passed"
