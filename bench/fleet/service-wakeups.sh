#!/usr/bin/env bash
# The idle service's wake-ups, per thread, over N seconds (default 60): the service polling its
# simulated unit every 30 min, connected to a local broker, under a stand-in service manager
# (NOTIFY_SOCKET, WatchdogSec=60 as the unit has it), inside a private network namespace with
# only loopback. A wake-up is a context switch (voluntary and not) from /proc/<pid>/task/*/status.
# Prints each thread and the whole service per second, and the notifications sent meanwhile.
# Figures, not a test.
#
#   bench/fleet/service-wakeups.sh [--seconds N] [--service PATH] [--skip-build]
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=60
service=""
skip_build=0
while (($#)); do
    case $1 in
        --seconds) seconds=$2; shift 2 ;;
        --service) service=$(realpath "$2"); shift 2 ;;
        --skip-build) skip_build=1; shift ;;
        --inside) shift; break ;;
        -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
done
build=${QM_BENCH_BUILD:-build-bench}
if [[ -z ${QM_WAKEUPS_INSIDE:-} ]]; then
    if ((!skip_build)); then
        cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
        cmake --build "$build" --target quillmere-monitord quillmere-devsim -j2 >/dev/null
    fi
    flags=-rn
    [[ $(id -u) -eq 0 ]] && flags=-n
    export QM_WAKEUPS_INSIDE=1 QM_BENCH_BUILD=$build QM_WAKEUPS_SERVICE=${service:-$(realpath "$build/daemon/quillmere-monitord")}
    exec unshare $flags -- bash -c 'ip link set lo up && exec bash "$0" --seconds "$1" --inside' "$0" "$seconds"
fi
service=$QM_WAKEUPS_SERVICE

work=$(mktemp -d /tmp/quillmere-wakeups.XXXXXX)
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
port=$((20000 + RANDOM % 20000))
printf 'listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n' "$port" >"$work/broker.conf"
mosquitto -c "$work/broker.conf" >"$work/broker.out" 2>&1 &
pids+=($!)
mkdir -p "$work/state"
mkfifo "$work/devsim.in"
exec 3<>"$work/devsim.in"
"$build/tools/quillmere-devsim" --com 7 --data-folder "$work/state" --max-seconds $((seconds + 60)) \
    <"$work/devsim.in" >"$work/devsim.out" 2>&1 &
pids+=($!)
echo '<Settings><ComPort>7</ComPort><StatusPollIntervalInMinutes>30</StatusPollIntervalInMinutes><NetworkMonitors><NetworkMonitor><EventName>Loopback</EventName><Target>127.0.0.1</Target><PollIntervalInMinutes>30</PollIntervalInMinutes><RelayIndex>1</RelayIndex><Threshold>4</Threshold><Action>Do nothing</Action><CycleEveryErrorCount>1</CycleEveryErrorCount><AutoResetLimit>3</AutoResetLimit><CurrentResetCount>0</CurrentResetCount></NetworkMonitor></NetworkMonitors></Settings>' \
    >"$work/state/settings.xml"
printf 'enabled = true\nhost = 127.0.0.1\nport = %d\nsite = wakeups\n' "$port" >"$work/state/mqtt.conf"
# The service manager's end: every notification, one per line.
python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
while True:
    with open(sys.argv[1] + ".log", "a") as out:
        out.write(s.recv(4096).decode(errors="replace").replace("\n", " | ") + "\n")
' "$work/notify" &
pids+=($!)
for _ in $(seq 50); do [[ -S $work/notify && -L $work/state/ports/COM7 ]] && break; sleep 0.1; done
NOTIFY_SOCKET=$work/notify WATCHDOG_USEC=60000000 XDG_RUNTIME_DIR=$work \
    "$service" --data-dir "$work/state" >"$work/service.out" 2>&1 &
pid=$!
pids+=($pid)
for _ in $(seq 100); do grep -q 'Remote: connected' "$work/notify.log" 2>/dev/null && break; sleep 0.1; done
grep -q 'Remote: connected' "$work/notify.log" || { echo "the service did not reach the broker" >&2; exit 1; }
sleep 5   # the start's own traffic settles

snapshot() {
    local task
    for task in /proc/"$pid"/task/*; do
        echo "$(basename "$task") $(tr -d ' ' <"$task/comm") $(awk '/^voluntary_ctxt/ { v = $2 } /^nonvoluntary_ctxt/ { n = $2 } END { print v + n }' "$task/status")"
    done | sort -n
}
snapshot >"$work/before"
sent=$(wc -l <"$work/notify.log")
sleep "$seconds"
snapshot >"$work/after"
echo "service $service, $seconds s, broker connected:"
join "$work/before" "$work/after" | awk -v s="$seconds" -v main="$pid" '
    { d = $5 - $3; t += d; printf "  thread %s %-16s%s %5d wake-ups  %.3f/s\n", $1, $2, ($1 == main ? " (loop)" : ""), d, d / s }
    END { printf "  whole service %d wake-ups  %.3f/s\n", t, t / s }'
echo "  notifications meanwhile: $(tail -n +$((sent + 1)) "$work/notify.log" | cut -d= -f1 | sort | uniq -c | tr -s ' ' | tr '\n' ';')"
# A keep-alive missed by a loop that slept too long shows as a lost connection.
echo "  broker connections lost meanwhile: $(grep -c 'Remote: connection to .* lost' "$work/state/Quillmere.log" || true)"
