#!/usr/bin/env bash
# The window stays reachable when the tray host dies: the real program under Xvfb with a
# window manager and a real tray host, which is killed while the window is hidden in the
# tray, shown as a tool window, minimised, or shown as an ordinary window. Afterwards the
# window must be managed, have a taskbar entry, and be on the screen. Each case runs in its
# own data folder, display and private network namespace, and ends by itself.
#
#   tests/app/tray-host-test.sh PROGRAM [CASE...]
set -uo pipefail
program=$(realpath "$1")
cd "$(dirname "$0")/../.."
source scripts/private-run-folder.sh

fail() {
    local id
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

# The program's main window: the one of its windows larger than a tray icon.
main_window() {
    local id
    for id in $(xdotool search --classname '^quillmere-monitor$' 2>/dev/null); do
        read -r w h < <(xwininfo -id "$id" | awk -F: '/Width/ {w=$2} /Height/ {h=$2} END {print w+0, h+0}')
        ((w > 200 && h > 200)) && { echo "$id"; return 0; }
    done
    return 1
}

# The tray icon's window is mapped only once a tray host has taken it in.
icon_docked() {
    local id
    for id in $(xdotool search --classname '^quillmere-monitor$' 2>/dev/null); do
        read -r w h < <(xwininfo -id "$id" | awk -F: '/Width/ {w=$2} /Height/ {h=$2} END {print w+0, h+0}')
        ((w <= 64 && h <= 64)) && shown "$id" && return 0
    done
    return 1
}

shown() { xwininfo -id "$1" | grep -q 'Map State: IsViewable'; }
is_tool() { xprop -id "$1" _NET_WM_WINDOW_TYPE | grep -q '= _NET_WM_WINDOW_TYPE_UTILITY'; }

# Reachable: the window manager holds it, a taskbar would list it, and it is on the screen.
reachable() {
    local id
    id=$(main_window) || return 1
    xprop -root _NET_CLIENT_LIST | grep -qi "$(printf '0x%x' "$id")" || return 1
    # The first type named is the one that counts; a tool window names NORMAL as a fallback.
    xprop -id "$id" _NET_WM_WINDOW_TYPE | grep -q '= _NET_WM_WINDOW_TYPE_NORMAL' || return 1
    ! xprop -id "$id" _NET_WM_STATE | grep -q '_NET_WM_STATE_SKIP_TASKBAR\|_NET_WM_STATE_HIDDEN' || return 1
    shown "$id"
}

start_tray() {
    trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
        --transparent false > "$work/trayer.out" 2>&1 &
    tray_pid=$!
    pids+=($tray_pid)
}

# start_desktop <with tray: 0|1>
start_desktop() {
    local display_number=120
    while [[ -e /tmp/.X11-unix/X$display_number || -e /tmp/.X$display_number-lock ]]; do
        display_number=$((display_number + 1))
    done
    export DISPLAY=:$display_number
    # Without -noreset the server starts afresh whenever its last client leaves, and a client
    # connecting just then (the window manager after a check) is turned away.
    Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp -noreset > "$work/xvfb.out" 2>&1 &
    pids+=($!)
    # The socket is there before the server takes clients; a client of its own tells.
    wait_for 100 xprop -root || fail "Xvfb did not start"
    openbox > "$work/openbox.out" 2>&1 &
    pids+=($!)
    wait_for 100 bash -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"' ||
        fail "the window manager did not start"
    if (($1)); then start_tray; fi
}

# start_program <with settings file: 0|1>; the port it names does not exist, and there are
# no network monitors: nothing leaves the namespace in any case.
start_program() {
    (($1)) && echo '<Settings><ComPort>7</ComPort><NetworkMonitors></NetworkMonitors></Settings>' > "$data/settings.xml"
    unshare -rn -- sh -c 'ip link set lo up && exec "$0"' "$program" > "$work/program.out" 2>&1 &
    pids+=($!)
}

kill_tray() {
    kill "$tray_pid"
    wait "$tray_pid" 2>/dev/null
}

expect_reachable() {
    wait_for 150 reachable || fail "the window is not reachable after the tray host died"
    echo "ok [$case_name]"
}

# Each case in a subshell: its own folder, display and processes, ended when it ends.
hidden_in_tray() (
    case_name="hidden in the tray"
    private_run_folder quillmere-tray-test
    start_desktop 1
    start_program 1
    wait_for 150 icon_docked || fail "the tray icon did not dock"
    ! main_window >/dev/null || ! shown "$(main_window)" || fail "the window was shown at start"
    kill_tray
    expect_reachable
)

# The first start opens the window on its own; with a tray it is a tool window.
shown_as_tool_window() (
    case_name="shown as a tool window"
    private_run_folder quillmere-tray-test
    start_desktop 1
    start_program 0
    wait_for 150 icon_docked || fail "the tray icon did not dock"
    wait_for 100 bash -c "shown \$(main_window)" || fail "the first start showed no window"
    is_tool "$(main_window)" || fail "the window is not a tool window while the tray holds the program"
    kill_tray
    expect_reachable
)

# The operator minimises the tool window just after the tray went away.
minimised() (
    case_name="minimised"
    private_run_folder quillmere-tray-test
    start_desktop 1
    start_program 0
    wait_for 150 icon_docked || fail "the tray icon did not dock"
    wait_for 100 bash -c "shown \$(main_window)" || fail "the first start showed no window"
    kill_tray
    local id
    id=$(main_window)
    xdotool windowminimize "$id"
    # The program may bring it back at any moment, so look often.
    local minimised=0
    for _ in $(seq 100); do
        xprop -id "$id" WM_STATE | grep -q Iconic && { minimised=1; break; }
        sleep 0.02
    done
    ((minimised)) || fail "the window manager did not minimise the window"
    expect_reachable
)

# Started without a tray the window is an ordinary one; a tray that comes and goes again
# must not lose it.
shown_normal() (
    case_name="shown as an ordinary window"
    private_run_folder quillmere-tray-test
    start_desktop 0
    start_program 1
    wait_for 150 reachable || fail "without a tray the window did not open as an ordinary window"
    start_tray
    wait_for 150 icon_docked || fail "the tray icon did not dock in a tray host started later"
    kill_tray
    expect_reachable
)

export -f main_window shown
status=0
shift
cases=("$@")
((${#cases[@]})) || cases=(hidden_in_tray shown_as_tool_window minimised shown_normal)
for test_case in "${cases[@]}"; do
    "$test_case" || status=1
done
exit $status
