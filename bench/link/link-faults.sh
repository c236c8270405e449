#!/usr/bin/env bash
# The link's bad days, as the operator meets them, measured by processor time:
#
#   1. the simulated unit hangs up (its adapter pulled) while the program holds the port, and
#      stays away for --hangup-seconds: the program's processor time, the log's relay and door
#      lines, and how long one SIGTERM takes to end it
#   2. the port's link names a pseudo-terminal that was closed before the program started
#   3. the unit sends valid unsolicited frames without pause for --flood-seconds: processor
#      time, then how long one SIGTERM takes while the flood goes on
#
# Figures, not a test. The program runs in its own data folder, its own network namespace
# (only lo up, no network monitor) and with pseudo-terminals of its own, on Qt's offscreen
# platform; everything ends by itself.
#
#   bench/link/link-faults.sh [--hangup-seconds N] [--flood-seconds N] [--build-dir DIR] [--skip-build]
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)

hangup=180
flood=60
build=$root/build-bench
skip_build=0
while (($#)); do
    case $1 in
        --hangup-seconds) hangup=$2; shift 2 ;;
        --flood-seconds) flood=$2; shift 2 ;;
        --build-dir) build=$(realpath "$2"); shift 2 ;;
        --skip-build) skip_build=1; shift ;;
        -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
done
number() { [[ $1 =~ ^[0-9]+$ ]] && (($1 >= $2 && $1 <= $3)); }
number "$hangup" 5 3600 || { echo "--hangup-seconds: 5 to 3600" >&2; exit 2; }
number "$flood" 5 3600 || { echo "--flood-seconds: 5 to 3600" >&2; exit 2; }
if ((!skip_build)); then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" --target quillmere-monitor quillmere-devsim -j "$(nproc)" >/dev/null
fi
source scripts/private-pts.sh
private_pts --hangup-seconds "$hangup" --flood-seconds "$flood" --build-dir "$build" --skip-build

program=$build/app/quillmere-monitor
devsim=$build/tools/quillmere-devsim
for binary in "$program" "$devsim"; do
    [[ -x $binary ]] || { echo "not built: $binary" >&2; exit 2; }
done

source scripts/private-run-folder.sh
private_run_folder quillmere-link-faults
export QT_QPA_PLATFORM=offscreen
mkdir -p "$data/ports"
hz=$(getconf CLK_TCK)
cpu_ms() { awk -v hz="$hz" '{ sub(/.*\) /, ""); print int(($12 + $13) * 1000 / hz) }' "/proc/$1/stat"; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
count() { local n; n=$(grep -c "$1" "$2" 2>/dev/null) || true; echo "${n:-0}"; }
percent() { awk -v c="$1" -v s="$2" 'BEGIN { printf "%.2f", c / (s * 10) }'; }

cat > "$data/settings.xml" <<'XML'
<Settings><ComPort>7</ComPort><StatusPollIntervalInMinutes>1</StatusPollIntervalInMinutes><LogLevel>Events &amp; Errors</LogLevel><EnableMemoryCheck>0</EnableMemoryCheck><MaxMemorySizeInBytes>26214400</MaxMemorySizeInBytes><NetworkMonitors></NetworkMonitors></Settings>
XML

mkfifo "$work/devsim.in"
exec 3<>"$work/devsim.in"
"$devsim" --com 7 --data-folder "$data" --transcript "$work/transcript.txt" \
    --max-seconds $((hangup + flood + 120)) <"$work/devsim.in" >"$work/devsim.out" 2>&1 &
pids+=($!)
unit() { echo "$1" >&3; sleep 0.3; }
for _ in $(seq 50); do [[ -L $data/ports/COM7 ]] && break; sleep 0.1; done
[[ -L $data/ports/COM7 ]] || { echo "the simulated unit did not start" >&2; exit 1; }

unshare_flags=-n
[[ $(id -u) -eq 0 ]] || unshare_flags=-rn
start_program() {
    unshare "$unshare_flags" -- sh -c 'ip link set lo up && exec "$0"' "$program" >>"$work/program.out" 2>&1 &
    pid=$!
    pids+=($pid)
}
# One SIGTERM; the milliseconds until the program had ended (empty when it outlived 10 s).
terminate() {
    local t0 ended=""
    t0=$(now_ms)
    kill -TERM "$pid"
    for _ in $(seq 1000); do
        if ! kill -0 "$pid" 2>/dev/null; then ended=$(($(now_ms) - t0)); break; fi
        sleep 0.01
    done
    wait "$pid" 2>/dev/null || true
    echo "$ended"
}

echo "Link faults ($(git -C "$root" describe --always --dirty 2>/dev/null || echo unknown), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg))"

# --- 1. hang-up ------------------------------------------------------------------------------
start_program
sleep 5
unit "inject relay 1 off button"   # a line the log must show before the hang-up, and only that one
relay_before=$(count ',Relay [0-9] state changed' "$data/Quillmere.log")
cpu0=$(cpu_ms "$pid"); t0=$(now_ms)
unit hangup
sleep "$hangup"
cpu1=$(cpu_ms "$pid"); elapsed=$((($(now_ms) - t0) / 1000))
relay_after=$(count ',Relay [0-9] state changed' "$data/Quillmere.log")
door=$(count ',Device cover was' "$data/Quillmere.log")
open_failures=$(count 'Error for COM7: connection failed' "$data/Quillmere.log")
ended=$(terminate)
echo
echo "1. Unit hung up for $elapsed s (goal: under 1 % of a core, no relay or door line, SIGTERM within 3 s)"
echo "  processor time: $((cpu1 - cpu0)) ms, $(percent $((cpu1 - cpu0)) "$elapsed") % of one core"
echo "  relay lines after the hang-up: $((relay_after - relay_before)); door lines: $door; open-failure lines: $open_failures"
echo "  one SIGTERM ended it in: ${ended:-more than 10000} ms"

# --- 2. closed pseudo-terminal -----------------------------------------------------------
python3 - "$data/ports/COM7" <<'PY'
import os, pty, sys
master, slave = pty.openpty()
name = os.ttyname(slave)
os.close(slave)
os.close(master)            # the far end is gone before the program ever opens it
link = sys.argv[1]
try:
    os.unlink(link)
except FileNotFoundError:
    pass
os.symlink(name, link)
PY
start_program
sleep 3
cpu0=$(cpu_ms "$pid"); t0=$(now_ms)
sleep 30
cpu1=$(cpu_ms "$pid"); elapsed=$((($(now_ms) - t0) / 1000))
ended=$(terminate)
echo
echo "2. Port link naming a closed pseudo-terminal, $elapsed s"
echo "  processor time: $((cpu1 - cpu0)) ms, $(percent $((cpu1 - cpu0)) "$elapsed") % of one core; SIGTERM: ${ended:-more than 10000} ms"

# --- 3. flood --------------------------------------------------------------------------------
unit replug
for _ in $(seq 50); do [[ $(readlink "$data/ports/COM7") == $(sed -n 's/^OK PTY //p' "$work/devsim.out" | tail -n 1) ]] && break; sleep 0.1; done
start_program
sleep 5
lines_before=$(wc -l <"$data/Quillmere.log")
cpu0=$(cpu_ms "$pid"); t0=$(now_ms)
unit "flood on"
sleep "$flood"
cpu1=$(cpu_ms "$pid"); elapsed=$((($(now_ms) - t0) / 1000))
lines_after=$(wc -l <"$data/Quillmere.log")
ended=$(terminate)
unit "flood off"
echo
echo "3. Unit flooding valid unsolicited frames (relay 9, ignored) for $elapsed s (goal: bounded, SIGTERM within 3 s)"
echo "  processor time: $((cpu1 - cpu0)) ms, $(percent $((cpu1 - cpu0)) "$elapsed") % of one core"
echo "  log lines written meanwhile: $((lines_after - lines_before))"
echo "  one SIGTERM during the flood ended it in: ${ended:-more than 10000} ms"
echo
echo "Everything the program and the unit wrote is in $work"
