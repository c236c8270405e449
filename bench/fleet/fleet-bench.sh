#!/usr/bin/env bash
# The fleet run: N program instances (default 20), each with its own simulated unit and data
# folder, one mosquitto broker, all inside one private network namespace with only loopback.
# Prints how many retained statuses a subscriber sees, the time from a unit's relay change to
# the broker's message (p50/p95/max) while every unit changes a relay --rate times a second
# for --seconds, and each instance's private memory with the bridge on and off. Figures, not
# a test.
#
#   bench/fleet/fleet-bench.sh [--instances N] [--seconds N] [--rate N] [--skip-build]
set -euo pipefail
cd "$(dirname "$0")/../.."
instances=20
seconds=20
rate=10
skip_build=0
while (($#)); do
    case $1 in
        --instances) instances=$2; shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        --rate) rate=$2; shift 2 ;;
        --skip-build) skip_build=1; shift ;;
        -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
done
build=${QM_BENCH_BUILD:-build-bench}
if ((!skip_build)); then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" --target fleet_bench quillmere-monitor quillmere-devsim -j2 >/dev/null
fi
flags=-rn
[[ $(id -u) -eq 0 ]] && flags=-n
export QM_BINARY_DIR=$PWD/$build
exec unshare $flags -- sh -c 'ip link set lo up && exec "$@"' sh \
    "$build/bench/fleet/fleet_bench" "$instances" "$seconds" "$rate"
