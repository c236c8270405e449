#!/usr/bin/env bash
# How long one SIGTERM takes to end the whole program, in each state it can be in: the
# median of --runs starts per state, beside the goal of 1000 ms. After every stop the log's
# last line must be "Application terminated", the log must hold no network-monitor failure
# and the saved CurrentResetCount must be what it was.
#
#   idle             the unit answers; the program sits between polls
#   silent-unit      the unit stopped answering: an exchange waits for its answer
#   flooding-unit    the unit sends valid unsolicited frames without pause
#   hung-up-adapter  the port's link names a pseudo-terminal whose far end is closed
#   fifo-files       a FIFO under every file name the program reads (settings, mqtt.conf)
#   silent-broker    mqtt.conf names a broker whose SYNs are dropped: a connect under way
#   checks-under-way a ping of a host that drops every packet and a check of a name the
#                    resolver never answers, both in their wait (SIGTERM 62 s after start)
#   memory-restart   the memory check restarts the program as those two checks are due; the
#                    restarted program is ended 4 s later (the time is that of the second end)
#
# Figures, not a test. Runs in its own data folder, its own network namespace (only lo up;
# the dropped broker address is dropped by nft inside it) and its own pseudo-terminals, on
# Qt's offscreen platform; everything ends by itself.
#
#   bench/stop/stop-matrix.sh [--runs N] [--only "STATE ..."] [--build-dir DIR] [--skip-build]
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)

runs=5
only=""
build=$root/build-bench
skip_build=0
while (($#)); do
    case $1 in
        --runs) runs=$2; shift 2 ;;
        --only) only=$2; shift 2 ;;
        --build-dir) build=$(realpath "$2"); shift 2 ;;
        --skip-build) skip_build=1; shift ;;
        -h|--help) sed -n '2,23p' "$0"; exit 0 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
done
[[ $runs =~ ^[0-9]+$ ]] && ((runs >= 1 && runs <= 21)) || { echo "--runs: 1 to 21" >&2; exit 2; }
if ((!skip_build)); then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" --target quillmere-monitor quillmere-devsim -j "$(nproc)" >/dev/null
fi
# Pseudo-terminals of its own: a number handed out again must never be taken for the unit's.
source scripts/private-pts.sh
private_pts --runs "$runs" --only "$only" --build-dir "$build" --skip-build

program=$build/app/quillmere-monitor
devsim=$build/tools/quillmere-devsim
for binary in "$program" "$devsim"; do
    [[ -x $binary ]] || { echo "not built: $binary" >&2; exit 2; }
done
command -v nft >/dev/null || { echo "nft is missing; run scripts/install-deps.sh" >&2; exit 2; }

source scripts/private-run-folder.sh
private_run_folder quillmere-stop-matrix
export QT_QPA_PLATFORM=offscreen
mkdir -p "$data/ports"
now_ms() { echo $(($(date +%s%N) / 1000000)); }

settings_xml='<Settings><ComPort>7</ComPort><StatusPollIntervalInMinutes>1</StatusPollIntervalInMinutes><LogLevel>Events &amp; Errors</LogLevel><EnableMemoryCheck>0</EnableMemoryCheck><MaxMemorySizeInBytes>26214400</MaxMemorySizeInBytes><NetworkMonitors><NetworkMonitor><EventName>loopback</EventName><Target>127.0.0.1</Target><PollIntervalInMinutes>1</PollIntervalInMinutes><RelayIndex>1</RelayIndex><Threshold>1</Threshold><Action>1</Action><AutoResetLimit>3</AutoResetLimit><CurrentResetCount>2</CurrentResetCount></NetworkMonitor></NetworkMonitors></Settings>'

mkfifo "$work/devsim.in"
exec 3<>"$work/devsim.in"
"$devsim" --com 7 --data-folder "$data" --transcript "$work/transcript.txt" --max-seconds 3000 \
    <"$work/devsim.in" >"$work/devsim.out" 2>&1 &
pids+=($!)
unit() { echo "$1" >&3; sleep 0.3; }
for _ in $(seq 50); do [[ -L $data/ports/COM7 ]] && break; sleep 0.1; done
[[ -L $data/ports/COM7 ]] || { echo "the simulated unit did not start" >&2; exit 1; }
unit_pty=$(readlink "$data/ports/COM7")

unshare_flags=-n
[[ $(id -u) -eq 0 ]] || unshare_flags=-rn
# The address 127.0.0.9 swallows every packet on arrival, so a connect, an echo request or a
# name query sent to it waits for an answer that never comes (a packet dropped on its way out
# would fail the send at once instead).
inside='ip link set lo up && nft add table ip qmstop && nft "add chain ip qmstop in { type filter hook input priority 0; }" && nft add rule ip qmstop in ip daddr 127.0.0.9 drop && exec "$0"'

# One start, a pause in the state, one SIGTERM: prints the milliseconds to the end, and
# counts a run whose log or settings are not as they must be.
one_run() {
    local settle=$1 t0 ended="" pid
    [[ -n ${prepare:-} ]] && $prepare
    : >"$data/Quillmere.log"
    unshare "$unshare_flags" -- sh -c "$inside" "$program" >>"$work/program.out" 2>&1 &
    pid=$!
    pids+=($pid)
    if [[ $settle == restart ]]; then
        # The restart comes at the first poll once the program has run a minute (the second
        # poll when a coarse timer fires the first a little early); the restarted program is
        # ended a few seconds later.
        for _ in $(seq 1500); do grep -q 'Restarting: private memory' "$data/Quillmere.log" && break; sleep 0.1; done
        sleep 4
    else
        sleep "$settle"
    fi
    t0=$(now_ms)
    kill -TERM "$pid"
    for _ in $(seq 1000); do
        if ! kill -0 "$pid" 2>/dev/null; then ended=$(($(now_ms) - t0)); break; fi
        sleep 0.005
    done
    wait "$pid" 2>/dev/null || true
    local last
    grep -h 'Network monitor checks abandoned by the stop' "$data/Quillmere.log" | tail -n 1 >>"$work/stops.log" || true
    last=$(tail -n 1 "$data/Quillmere.log" | tr -d '\r' | cut -d, -f3-)
    if [[ $last != "Application terminated" ]] || grep -q 'Network monitor unable' "$data/Quillmere.log" ||
        { [[ -z ${prepare:-} ]] &&
            (($(grep -o '<CurrentResetCount>2</CurrentResetCount>' "$data/settings.xml" | wc -l) != monitors)); } ||
        { [[ -n ${expect_restart:-} ]] && ! grep -q 'Restarting: private memory' "$data/Quillmere.log"; }; then
        # Runs in a command substitution: the count goes through a file.
        echo x >>"$work/failures"
        local stamp
        stamp=$(now_ms)
        cp "$data/Quillmere.log" "$work/failed-$stamp.log" 2>/dev/null || true
        cp "$data/settings.xml" "$work/failed-$stamp.xml" 2>/dev/null || true
    fi
    echo "${ended:-10000}"
}
median() { tr ' ' '\n' | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
measure() {
    local name=$1 settle=$2 times=() t
    [[ -z $only || " $only " == *" $name "* ]] || return 0
    for _ in $(seq "$runs"); do
        t=$(one_run "$settle")
        times+=("$t")
    done
    printf '  %-16s %6s ms   (%s)' "$name" "$(echo "${times[*]}" | median)" "${times[*]}"
    # At the Debug level the program says how many checks the stop cut short.
    local cut
    cut=$(grep -c 'Network monitor checks abandoned by the stop' "$work/stops.log" 2>/dev/null || true)
    ((${cut:-0} == 0)) || printf '   stops that cut checks short: %s of %s' "$cut" "$runs"
    rm -f "$work/stops.log"
    echo
}
fresh_settings() { rm -f "$data/settings.xml" "$data/mqtt.conf"; echo "${1:-$settings_xml}" >"$data/settings.xml"; }
monitors=1

echo "Stop matrix ($(git -C "$root" describe --always --dirty 2>/dev/null || echo unknown), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
echo "SIGTERM to the end of the process, median of $runs (goal: every median and run under 1000 ms)"

fresh_settings
measure idle 4
unit "silent on"
measure silent-unit 3
unit "silent off"
unit "flood on"
measure flooding-unit 3
unit "flood off"

python3 - "$data/ports/COM7" <<'PY'
import os, pty, sys
master, slave = pty.openpty()
name = os.ttyname(slave)
os.close(slave)
os.close(master)            # the far end is gone before the program opens it
os.unlink(sys.argv[1])
os.symlink(name, sys.argv[1])
PY
measure hung-up-adapter 3
ln -sfn "$unit_pty" "$data/ports/COM7"

# The save at the end replaces the settings FIFO with a file, so each run gets new FIFOs; the
# defaults it then runs on name COM5, which is pointed at the simulated unit too, so no real
# serial device is ever opened.
ln -sfn "$unit_pty" "$data/ports/COM5"
fifos() { rm -f "$data/settings.xml" "$data/mqtt.conf"; mkfifo "$data/settings.xml" "$data/mqtt.conf"; }
prepare=fifos
measure fifo-files 3
prepare=
fresh_settings
printf 'enabled = true\nhost = 127.0.0.9\nport = 1883\n' >"$data/mqtt.conf"
measure silent-broker 3
rm -f "$data/mqtt.conf"

# A resolver that never answers: names go to the dropped address (this mount namespace only).
echo 'nameserver 127.0.0.9' >"$work/resolv.conf"
mount --bind "$work/resolv.conf" /etc/resolv.conf
monitor_xml() {
    echo "<NetworkMonitor><EventName>$1</EventName><Target>$2</Target><PollIntervalInMinutes>$4</PollIntervalInMinutes><RelayIndex>$3</RelayIndex><Threshold>$5</Threshold><Action>1</Action><AutoResetLimit>3</AutoResetLimit><CurrentResetCount>2</CurrentResetCount></NetworkMonitor>"
}
checks_xml() {
    echo "<Settings><ComPort>7</ComPort><StatusPollIntervalInMinutes>1</StatusPollIntervalInMinutes><LogLevel>Debug</LogLevel><EnableMemoryCheck>$1</EnableMemoryCheck><MaxMemorySizeInBytes>1048576</MaxMemorySizeInBytes><NetworkMonitors>$(monitor_xml dropped 127.0.0.9 1 1 "$2")$(monitor_xml unresolved gateway.site.example 2 1 "$2")</NetworkMonitors></Settings>"
}
monitors=2
fresh_settings "$(checks_xml 0 1)"
runs=$((runs < 3 ? runs : 3)) measure checks-under-way 62
# The restart comes at the first or the second poll, each with a tick of the checks; a
# threshold of 5 keeps the failures of checks that ended before it from being said (rightly).
fresh_settings "$(checks_xml 1 5)"
expect_restart=1
runs=$((runs < 3 ? runs : 3)) measure memory-restart restart
expect_restart=
umount /etc/resolv.conf

echo "  runs whose log or settings were wrong: $(cat "$work/failures" 2>/dev/null | wc -l) (goal: 0)"
echo "Everything the program and the unit wrote is in $work"
