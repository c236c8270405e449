#!/usr/bin/env bash
# Screenshots of what an operator meets first, at 96 DPI and at a 2x scale: the first start
# (no settings file: the window opens on Settings), the port list dropped down (the simulated
# unit's pseudo-terminal through ports/COM7, and a built-in port, a USB adapter and a
# modem-class adapter from the preloaded stand-in enumeration), and the monitor editor.
# Each run is the real program under Xvfb with a window manager and a tray host, in its own
# data folder and a private network namespace; everything stops by itself.
#
#   bench/shots/take-shots.sh BUILD_DIR OUT_DIR
set -euo pipefail
(($# == 2)) || { sed -n '9p' "$0" >&2; exit 2; }
build=$(realpath "$1")
mkdir -p "$2"
out=$(realpath "$2")
cd "$(dirname "$0")/../.."
program=$build/app/quillmere-monitor
devsim=$build/tools/quillmere-devsim
preload=$build/bench/shots/libqm_fake_serial_ports.so
for f in "$program" "$devsim" "$preload"; do [[ -e $f ]] || { echo "missing: $f" >&2; exit 1; }; done
source scripts/private-run-folder.sh

wait_for() {   # wait_for <tenths of a second> <command...>
    local tries=$1; shift
    for _ in $(seq "$tries"); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
    return 1
}

# The window with its frame, and what drops down over it.
shoot() {   # shoot <window id> <file>
    local ax ay rx ry w h
    read -r ax ay rx ry w h < <(xwininfo -id "$1" | awk -F: '
        /Absolute upper-left X/ {ax=$2} /Absolute upper-left Y/ {ay=$2}
        /Relative upper-left X/ {rx=$2} /Relative upper-left Y/ {ry=$2}
        /Width/ {w=$2} /Height/ {h=$2} END {print ax, ay, rx, ry, w, h}')
    import -window root -crop "$((w + 2 * rx))x$((h + ry + 8))+$((ax - rx))+$((ay - ry))" +repage "$2"
    echo "$2"
}

run_at() {   # run_at <name> <scale>
    local name=$1 scale=$2 display_number=150 window
    private_run_folder quillmere-shots
    while [[ -e /tmp/.X11-unix/X$display_number || -e /tmp/.X$display_number-lock ]]; do
        display_number=$((display_number + 1))
    done
    export DISPLAY=:$display_number
    Xvfb "$DISPLAY" -screen 0 $((1024 * scale))x$((768 * scale))x24 -dpi 96 -nolisten tcp -noreset > "$work/xvfb.out" 2>&1 &
    pids+=($!)
    wait_for 100 xprop -root || { echo "Xvfb did not start" >&2; return 1; }
    openbox > "$work/openbox.out" 2>&1 &
    pids+=($!)
    wait_for 100 bash -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"' ||
        { echo "the window manager did not start" >&2; return 1; }
    trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
        --transparent false --tint 0x404850 > "$work/trayer.out" 2>&1 &
    pids+=($!)

    # The unit ends when its input does; the writer holding it open is ended with the rest.
    mkfifo "$work/devsim.in"
    sleep 60 > "$work/devsim.in" &
    pids+=($!)
    "$devsim" --com 7 --data-folder "$data" --max-seconds 60 < "$work/devsim.in" > "$work/devsim.out" 2>&1 &
    pids+=($!)
    wait_for 50 test -L "$data/ports/COM7" || { echo "the simulated unit did not start" >&2; return 1; }

    # No settings file: this is the program's first start.
    QT_SCALE_FACTOR=$scale unshare -rn -- sh -c 'ip link set lo up && LD_PRELOAD=$1 exec "$0"' \
        "$program" "$preload" > "$work/program.out" 2>&1 &
    pids+=($!)
    wait_for 100 xdotool search --onlyvisible --name '^Quillmere Monitor$' || { echo "no window" >&2; return 1; }
    window=$(xdotool search --onlyvisible --name '^Quillmere Monitor$' | tail -n 1)
    sleep 1
    shoot "$window" "$out/first-start-$name.png"

    # Places in the window at 96 DPI, scaled: the port list, then the monitors' group header.
    xdotool mousemove --window "$window" $((323 * scale)) $((70 * scale)) click 1
    sleep 1
    shoot "$window" "$out/port-list-$name.png"
    xdotool key Escape
    sleep 0.5
    xdotool mousemove --window "$window" $((300 * scale)) $((350 * scale)) click 1
    sleep 0.5
    for _ in 1 2 3; do xdotool click 5; done
    sleep 0.5
    shoot "$window" "$out/monitor-editor-$name.png"
}

(run_at 96dpi 1)
(run_at 2x 2)
