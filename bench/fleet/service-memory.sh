#!/usr/bin/env bash
# Private memory (RssAnon + VmSwap) of the service and of the window program side by side,
# each polling its own simulated unit every minute and connected to one local broker, sampled
# every 30 s for N minutes (default 10), inside a private network namespace with only
# loopback. Figures, not a test.
#
#   bench/fleet/service-memory.sh [--minutes N] [--skip-build]
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
minutes=10
skip_build=0
while (($#)); do
    case $1 in
        --minutes) minutes=$2; shift 2 ;;
        --skip-build) skip_build=1; shift ;;
        --inside) shift; break ;;
        -h|--help) sed -n '2,7p' "$0"; exit 0 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
done
build=${QM_BENCH_BUILD:-build-bench}
if [[ -z ${QM_SERVICE_MEMORY_INSIDE:-} ]]; then
    if ((!skip_build)); then
        cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
        cmake --build "$build" --target quillmere-monitord quillmere-monitor quillmere-devsim -j2 >/dev/null
    fi
    flags=-rn
    [[ $(id -u) -eq 0 ]] && flags=-n
    export QM_SERVICE_MEMORY_INSIDE=1 QM_BENCH_BUILD=$build
    exec unshare $flags -- bash -c 'ip link set lo up && exec bash "$0" --minutes "$1" --inside' "$0" "$minutes"
fi

. scripts/private-run-folder.sh
private_run_folder quillmere-service-memory
port=$((20000 + RANDOM % 20000))
printf 'listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n' "$port" >"$work/broker.conf"
mosquitto -c "$work/broker.conf" >"$work/broker.out" 2>&1 &
pids+=($!)
sleep 0.5

# One folder each; the window program's is the XDG one, the service's is given.
service_data=$work/service
mkdir -p "$service_data"
settings='<Settings><ComPort>7</ComPort><StatusPollIntervalInMinutes>1</StatusPollIntervalInMinutes><EnableMemoryCheck>0</EnableMemoryCheck><NetworkMonitors><NetworkMonitor><EventName>Loopback</EventName><Target>127.0.0.1</Target><PollIntervalInMinutes>1</PollIntervalInMinutes><RelayIndex>1</RelayIndex><Threshold>4</Threshold><Action>Do nothing</Action><CycleEveryErrorCount>1</CycleEveryErrorCount><AutoResetLimit>3</AutoResetLimit><CurrentResetCount>0</CurrentResetCount></NetworkMonitor></NetworkMonitors></Settings>'
# A unit ends at the end of its control input: this script holds the pipe open, and the
# unit's own time limit ends it in any case.
mkfifo "$work/devsim.in"
exec 3<>"$work/devsim.in"
for folder in "$data" "$service_data"; do
    echo "$settings" >"$folder/settings.xml"
    printf 'enabled = true\nhost = 127.0.0.1\nport = %d\nsite = %s\n' "$port" "site$RANDOM" >"$folder/mqtt.conf"
    "$build/tools/quillmere-devsim" --com 7 --data-folder "$folder" --max-seconds $((minutes * 60 + 60)) \
        --transcript "$folder.transcript" <"$work/devsim.in" >"$folder.devsim.out" 2>&1 &
    pids+=($!)
done
for folder in "$data" "$service_data"; do
    for _ in $(seq 50); do [[ -L $folder/ports/COM7 ]] && break; sleep 0.1; done
done
"$build/daemon/quillmere-monitord" --data-dir "$service_data" >"$work/service.out" 2>&1 &
service=$!
pids+=($service)
QT_QPA_PLATFORM=offscreen "$build/app/quillmere-monitor" >"$work/program.out" 2>&1 &
program=$!
pids+=($program)

private_kib() { awk '/^(RssAnon|VmSwap):/ { sum += $2 } END { print sum }' "/proc/$1/status"; }
echo "minute  service KiB  window program KiB   (RssAnon+VmSwap; both polling every minute, bridge on)"
samples=$((minutes * 2))
for ((i = 0; i <= samples; i++)); do
    printf '%6.1f  %11s  %18s\n' "$(echo "$i / 2" | bc -l)" "$(private_kib "$service")" "$(private_kib "$program")"
    ((i == samples)) || sleep 30
done
echo "frames each unit received: service $(grep -c '^RX' "$service_data.transcript"), window program $(grep -c '^RX' "$data.transcript")"
grep -h 'Remote: connected' "$service_data/Quillmere.log" "$data/Quillmere.log" | sed 's/^/log: /'
rm -rf "$work"
