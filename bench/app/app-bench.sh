#!/usr/bin/env bash
# Figures for the program as a whole (not pass/fail): the time from start until its icon is
# docked in the tray, and its private memory (RssAnon + VmSwap) after it has been connected
# to the simulated unit for a while. Runs under its own Xvfb with a tray host, in a private
# data folder and network namespace.
#
#   bench/app/app-bench.sh <build-dir> [seconds connected, default 60]
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=${2:-60}
program=$build/app/quillmere-monitor
devsim=$build/tools/quillmere-devsim
[[ -x $program && -x $devsim ]] || { echo "build quillmere-monitor and quillmere-devsim first" >&2; exit 2; }

work=$(mktemp -d /tmp/quillmere-bench.XXXXXX)
export XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/run
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
data="$XDG_DATA_HOME/Velmarquet/Quillmere Monitor"
mkdir -p "$data"
cat > "$data/settings.xml" <<'XML'
<Settings><ComPort>7</ComPort><StatusPollIntervalInMinutes>1</StatusPollIntervalInMinutes><LogLevel>Events &amp; Errors</LogLevel><EnableMemoryCheck>0</EnableMemoryCheck><MaxMemorySizeInBytes>26214400</MaxMemorySizeInBytes><NetworkMonitors><NetworkMonitor><EventName>Loopback</EventName><Target>127.0.0.1</Target><PollIntervalInMinutes>1</PollIntervalInMinutes><RelayIndex>1</RelayIndex><Threshold>4</Threshold><Action>Cycle power</Action><CycleEveryErrorCount>1</CycleEveryErrorCount><AutoResetLimit>3</AutoResetLimit><CurrentResetCount>0</CurrentResetCount></NetworkMonitor></NetworkMonitors></Settings>
XML

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT

sleep $((seconds + 30)) | "$devsim" --com 7 --data-folder "$data" --max-seconds $((seconds + 25)) >"$work/devsim.out" 2>&1 &
pids+=($!)
n=90
while [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]]; do n=$((n + 1)); done
export DISPLAY=:$n
Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do [[ -S /tmp/.X11-unix/X$n ]] && break; sleep 0.1; done
trayer --edge top --align right --widthtype request --height 32 --SetDockType true >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do [[ -L $data/ports/COM7 ]] && break; sleep 0.1; done
sleep 1

flags=-n
[[ $(id -u) -eq 0 ]] || flags=-rn
start=$(date +%s%N)
unshare "$flags" -- sh -c 'ip link set lo up && exec "$0"' "$program" >"$work/program.out" 2>&1 &
pid=$!
pids+=($pid)
# The docked icon is a window of the program's own class inside the tray host.
docked=""
for _ in $(seq 1000); do
    if xdotool search --classname quillmere-monitor >/dev/null 2>&1; then docked=$(date +%s%N); break; fi
    sleep 0.01
done
if [[ -n $docked ]]; then
    echo "start to tray icon: $(((docked - start) / 1000000)) ms"
else
    echo "start to tray icon: not seen within 10 s"
fi

sleep "$seconds"
if kill -0 "$pid" 2>/dev/null; then
    private=$(awk '/^(RssAnon|VmSwap):/ { kb += $2 } END { print kb }' "/proc/$pid/status")
    printf 'private memory after %s s connected: %d KiB (%.2f MiB; goal under 10 MiB)\n' \
        "$seconds" "$private" "$(awk -v k="$private" 'BEGIN { print k / 1024 }')"
else
    echo "the program ended early; see $work/program.out"
fi
kill -TERM "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
