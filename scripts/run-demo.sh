#!/usr/bin/env bash
# Runs Quillmere Monitor against the simulated unit, on a fresh Debian 12 machine too:
# installs what is needed, builds, starts the simulated unit on a pseudo-terminal reached
# through ports/COM7, and starts the program in a private data folder and a private network
# namespace (only loopback up; the monitors ping 127.0.0.x). Without a display it runs under
# Xvfb with a tray host and takes a screenshot. Everything stops by itself after --seconds.
#
#   scripts/run-demo.sh [--seconds N] [--skip-deps] [--build-dir DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=60
skip_deps=0
build_dir=build-demo
while (($#)); do
    case $1 in
        --seconds) seconds=$2; shift 2 ;;
        --skip-deps) skip_deps=1; shift ;;
        --build-dir) build_dir=$2; shift 2 ;;
        -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
done
[[ $seconds =~ ^[0-9]+$ ]] && ((seconds >= 5 && seconds <= 3600)) || { echo "--seconds: 5 to 3600" >&2; exit 2; }

((skip_deps)) || scripts/install-deps.sh
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" --target quillmere-monitor quillmere-devsim -j "$(nproc)"
program=$root/$build_dir/app/quillmere-monitor
devsim=$root/$build_dir/tools/quillmere-devsim

source scripts/private-run-folder.sh
private_run_folder quillmere-demo

# Monitors on loopback only: 127.0.0.1 answers inside the namespace, 127.0.0.2 is held up by
# nobody's rule here but is never routed off the machine either.
cat > "$data/settings.xml" <<'XML'
<Settings><ComPort>7</ComPort><StatusPollIntervalInMinutes>1</StatusPollIntervalInMinutes><LogLevel>Events &amp; Errors</LogLevel><EnableMemoryCheck>1</EnableMemoryCheck><MaxMemorySizeInBytes>26214400</MaxMemorySizeInBytes><Relays><Relay><Index>1</Index><Name>ISP Equipment</Name><Permission>Cycle</Permission></Relay><Relay><Index>2</Index><Name>Player</Name><Permission>Both</Permission></Relay><Relay><Index>3</Index><Name>Digital Display</Name><Permission>On/Off</Permission></Relay><Relay><Index>4</Index><Name>Aux. Power Control</Name><Permission>On/Off</Permission></Relay></Relays><NetworkMonitors><NetworkMonitor><EventName>Loopback</EventName><Target>127.0.0.1</Target><PollIntervalInMinutes>1</PollIntervalInMinutes><RelayIndex>1</RelayIndex><Threshold>4</Threshold><Action>Cycle power</Action><CycleEveryErrorCount>1</CycleEveryErrorCount><AutoResetLimit>3</AutoResetLimit><CurrentResetCount>0</CurrentResetCount></NetworkMonitor><NetworkMonitor><EventName>Player</EventName><Target>127.0.0.2</Target><PollIntervalInMinutes>1</PollIntervalInMinutes><RelayIndex>2</RelayIndex><Threshold>2</Threshold><Action>Do nothing</Action><CycleEveryErrorCount>1</CycleEveryErrorCount><AutoResetLimit>3</AutoResetLimit><CurrentResetCount>0</CurrentResetCount></NetworkMonitor></NetworkMonitors></Settings>
XML

# The unit reads control lines from its input; a sleeping pipe keeps it open, and its own
# time limit ends it in any case.
sleep $((seconds + 20)) | "$devsim" --com 7 --data-folder "$data" --transcript "$work/transcript.txt" \
    --max-seconds $((seconds + 15)) > "$work/devsim.out" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [[ -L $data/ports/COM7 ]] && break; sleep 0.1; done
[[ -L $data/ports/COM7 ]] || { echo "the simulated unit did not start:" >&2; cat "$work/devsim.out" >&2; exit 1; }

own_display=0
if [[ -z ${DISPLAY:-} ]]; then
    own_display=1
    display_number=99
    while [[ -e /tmp/.X11-unix/X$display_number || -e /tmp/.X$display_number-lock ]]; do
        display_number=$((display_number + 1))
    done
    export DISPLAY=:$display_number
    # No TCP; the program reaches the server through its socket file, which a new network
    # namespace does not hide (the abstract socket it also has would be hidden).
    Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp > "$work/xvfb.out" 2>&1 &
    pids+=($!)
    for _ in $(seq 50); do [[ -S /tmp/.X11-unix/X$display_number ]] && break; sleep 0.1; done
    [[ -S /tmp/.X11-unix/X$display_number ]] || { echo "Xvfb did not start" >&2; exit 1; }
    trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
        --transparent false --tint 0x404850 > "$work/trayer.out" 2>&1 &
    pids+=($!)
    sleep 1
fi

unshare_flags=-n
[[ $(id -u) -eq 0 ]] || unshare_flags=-rn
unshare "$unshare_flags" -- sh -c 'ip link set lo up && exec "$0"' "$program" > "$work/program.out" 2>&1 &
program_pid=$!
pids+=($program_pid)
echo "Quillmere Monitor runs (pid $program_pid) for $seconds s; data folder: $data"

shot=""
if ((own_display)); then
    sleep 4
    # Bring the window up with a click on the tray icon, as an operator would: the tray host
    # sits at the top right and holds only this program's icon.
    read -r screen_width _ < <(xdotool getdisplaygeometry)
    xdotool mousemove $((screen_width - 16)) 16 click 1 || true
    sleep 2
    shot=$work/screenshot.png
    import -window root "$shot"
fi

remaining=$((seconds - (own_display ? 6 : 0)))
for _ in $(seq "$remaining"); do
    kill -0 "$program_pid" 2>/dev/null || break
    sleep 1
done
kill -TERM "$program_pid" 2>/dev/null || true
wait "$program_pid" 2>/dev/null || true

echo
echo "--- last lines of the event log ($data/Quillmere.log)"
tail -n 12 "$data/Quillmere.log" || true
echo "--- frames the simulated unit received: $(grep -c '^RX' "$work/transcript.txt" || true)"
[[ -n $shot ]] && echo "--- screenshot: $shot"
echo "--- everything else is in $work"
