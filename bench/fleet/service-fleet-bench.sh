#!/usr/bin/env bash
# The service fleet run: N services (default 200), each with its own simulated unit and data
# folder, against one mosquitto broker, or with --bridged against two regional brokers bridged
# to a central one, all inside one private network namespace with only loopback. Prints the
# time until the operator's broker holds every site "online", private memory per service, the
# idle CPU of all of them together, and the latency of operator commands to the unit's wire.
# Figures, not a test.
#
#   bench/fleet/service-fleet-bench.sh [--sites N] [--commands N] [--bridged] [--skip-build]
set -euo pipefail
cd "$(dirname "$0")/../.."
sites=200
commands=1000
mode=single
skip_build=0
while (($#)); do
    case $1 in
        --sites) sites=$2; shift 2 ;;
        --commands) commands=$2; shift 2 ;;
        --bridged) mode=bridged; shift ;;
        --skip-build) skip_build=1; shift ;;
        -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
done
build=${QM_BENCH_BUILD:-build-bench}
if ((!skip_build)); then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" --target service_fleet_bench quillmere-monitord quillmere-devsim -j2 >/dev/null
fi
flags=-rn
[[ $(id -u) -eq 0 ]] && flags=-n
export QM_BINARY_DIR=$PWD/$build
# Each service and unit holds a few descriptors; the bench holds two per unit.
ulimit -n 65536 2>/dev/null || true
exec unshare $flags -- sh -c 'ip link set lo up && exec "$@"' sh \
    "$build/bench/fleet/service_fleet_bench" "$sites" "$commands" "$mode"
