#!/usr/bin/env bash
# The window stays reachable when the tray host dies: the real program under Xvfb with openbox
# and trayer, the tray host killed while the window is hidden in the tray, shown as a tool
# window, minimised, or an ordinary window. Afterwards the window must be managed, have a
# taskbar entry and be on the screen. Each case has its own data folder, display and private
# network namespace, and ends by itself.
#
#   tests/app/tray-host-test.sh PROGRAM [CASE...]
set -uo pipefail
program=$(realpath "$1")
shift
cd "$(dirname "$0")/../.."
source scripts/private-run-folder.sh

fail() {
    echo "FAIL [$case_name]: $*" >&2
    for id in $(xdotool search --classname '^quillmere-monitor$' 2>/dev/null); do
        xwininfo -id "$id" | grep -E 'Width|Height|Map State'
        xprop -id "$id" _NET_WM_WINDOW_TYPE _NET_WM_STATE WM_STATE
    done >&2
    for f in program openbox xvfb trayer; do [[ -f $work/$f.out ]] && sed "s/^/$f: /" "$work/$f.out"; done >&2
    exit 1
}

wait_for() {   # wait_for <tenths of a second> <command...>
    local tries=$1; shift
    for _ in $(seq "$tries"); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
    return 1
}

shown() { [[ -n $1 ]] && xwininfo -id "$1" | grep -q 'Map State: IsViewable'; }   # no id: xwininfo would wait for a click

# The program's windows: "big" is the main window, "small" the tray icon.
program_window() {
    local id w h
    for id in $(xdotool search --classname '^quillmere-monitor$' 2>/dev/null); do
        read -r w h < <(xwininfo -id "$id" | awk -F: '/Width/ {w=$2} /Height/ {h=$2} END {print w+0, h+0}')
        if [[ $1 == big ]]; then ((w > 200 && h > 200)); else ((w <= 64 && h <= 64)); fi &&
            { echo "$id"; return 0; }
    done
    return 1
}

# The icon's window is mapped only once a tray host has taken it in.
icon_docked() { shown "$(program_window small)"; }
window_shown() { shown "$(program_window big)"; }

# Reachable: the window manager holds it, a taskbar would list it, and it is on the screen.
# The first window type named is the one that counts: a tool window names NORMAL second.
reachable() {
    local id
    id=$(program_window big) || return 1
    xprop -root _NET_CLIENT_LIST | grep -qi "$(printf '0x%x' "$id")" &&
        xprop -id "$id" _NET_WM_WINDOW_TYPE | grep -q '= _NET_WM_WINDOW_TYPE_NORMAL' &&
        ! xprop -id "$id" _NET_WM_STATE | grep -q 'SKIP_TASKBAR\|_HIDDEN' && shown "$id"
}

start_tray() {
    trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
        --transparent false > "$work/trayer.out" 2>&1 &
    tray_pid=$!
    pids+=($tray_pid)
}

# run_case NAME TRAY SETTINGS BEFORE AFTER: a desktop with or without a tray host (1/0), the
# program with or without a settings file (1/0; without, it is a first start and shows its
# window), BEFORE run before the tray host is killed and AFTER just after. The port the
# settings name does not exist, and there are no network monitors.
run_case() (
    case_name=$1
    private_run_folder quillmere-tray-test
    local display_number=120
    while [[ -e /tmp/.X11-unix/X$display_number || -e /tmp/.X$display_number-lock ]]; do
        display_number=$((display_number + 1))
    done
    export DISPLAY=:$display_number
    # Without -noreset the server starts afresh whenever its last client leaves, turning away
    # a client that connects just then. Its socket is there before it takes clients.
    Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp -noreset > "$work/xvfb.out" 2>&1 &
    pids+=($!)
    wait_for 100 xprop -root || fail "Xvfb did not start"
    openbox > "$work/openbox.out" 2>&1 &
    pids+=($!)
    wait_for 100 bash -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"' ||
        fail "the window manager did not start"
    (($2)) && start_tray
    (($3)) && echo '<Settings><ComPort>7</ComPort><NetworkMonitors></NetworkMonitors></Settings>' > "$data/settings.xml"
    unshare -rn -- sh -c 'ip link set lo up && exec "$0"' "$program" > "$work/program.out" 2>&1 &
    pids+=($!)
    if (($2)); then wait_for 150 icon_docked || fail "the tray icon did not dock"; fi
    $4
    kill "$tray_pid"
    wait "$tray_pid" 2>/dev/null
    $5
    wait_for 150 reachable || fail "the window is not reachable after the tray host died"
    echo "ok [$case_name]"
)

stays_in_tray() {
    sleep 1
    ! window_shown || fail "the window was shown at start"
}

is_tool_window() {
    wait_for 100 window_shown || fail "the first start showed no window"
    xprop -id "$(program_window big || echo none)" _NET_WM_WINDOW_TYPE | grep -q '= _NET_WM_WINDOW_TYPE_UTILITY' ||
        fail "the window is not a tool window while a tray holds the program"
}

# The program may bring the window back at any moment, so look often.
minimise() {
    local id minimised=0
    id=$(program_window big) || fail "no window to minimise"
    xdotool windowminimize "$id"
    for _ in $(seq 100); do
        xprop -id "$id" WM_STATE | grep -q Iconic && { minimised=1; break; }
        sleep 0.02
    done
    ((minimised)) || fail "the window manager did not minimise the window"
}

# Started without a tray the window is an ordinary one, and stays one when a tray comes.
ordinary_then_tray() {
    wait_for 150 reachable || fail "without a tray the window did not open as an ordinary window"
    start_tray
    wait_for 150 icon_docked || fail "the tray icon did not dock in a tray host started later"
}

hidden_in_tray() { run_case "hidden in the tray" 1 1 stays_in_tray :; }
shown_as_tool_window() { run_case "shown as a tool window" 1 0 is_tool_window :; }
minimised() { run_case "minimised just after the tray went" 1 0 is_tool_window minimise; }
shown_normal() { run_case "shown as an ordinary window" 0 1 ordinary_then_tray :; }

status=0
cases=("$@")
((${#cases[@]})) || cases=(hidden_in_tray shown_as_tool_window minimised shown_normal)
for test_case in "${cases[@]}"; do
    "$test_case" || status=1
done
exit $status
