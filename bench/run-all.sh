#!/usr/bin/env bash
# Every figure of the program in one run, each printed beside its goal. Figures, not a test:
# the exit status says only whether every step could be measured.
#
#   1. start-up time to the tray icon (under Xvfb with a tray host), over a few starts
#   2. private memory (RssAnon + VmSwap) of the running program right after start and after
#      it has been connected for a while, and the same for 10,000 link exchanges driven
#      through the manager, link engine and simulated unit by soak_bench (the program itself
#      polls only every minute, so it would take days to make that many)
#   3. wake-ups per second of the idle program: context switches of all its threads
#   4. firmware transfer time of the link against lrzsz's sx (bench_xmodem)
#   5. first showing of the Log page over a full log, and of the Settings page with 1,000
#      network monitors with the private memory it adds (bench_pages)
#   6. an operator's command on an idle link, from queued to its first byte on the wire
#      (bench_latency, against the simulated unit with the program's link timing)
#   7. SIGTERM to the end of the process in each state it can be in (bench/stop/stop-matrix.sh)
#
# Builds what it needs in build-bench/ (RelWithDebInfo). The program runs only inside its own
# network namespace with loopback up, in its own data folder, against the simulated unit on
# a pseudo-terminal; its one network monitor pings 127.0.0.1.
#
#   bench/run-all.sh [--starts N] [--connected-seconds N] [--idle-seconds N] [--exchanges N]
#                    [--skip-build] [--mqtt]
#
# --mqtt gives the program an mqtt.conf and a mosquitto broker of its own inside its network
# namespace, so the figures include the broker bridge connected and idle.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

connected=130
idle=20
starts=5
exchanges=10000
skip_build=0
mqtt=0
while (($#)); do
    case $1 in
        --connected-seconds) connected=$2; shift 2 ;;
        --idle-seconds) idle=$2; shift 2 ;;
        --exchanges) exchanges=$2; shift 2 ;;
        --starts) starts=$2; shift 2 ;;
        --skip-build) skip_build=1; shift ;;
        --mqtt) mqtt=1; shift ;;
        -h|--help) sed -n '2,22p' "$0"; exit 0 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
done
number() { [[ $1 =~ ^[0-9]+$ ]] && (($1 >= $2 && $1 <= $3)); }
number "$idle" 5 50 || { echo "--idle-seconds: 5 to 50 (the idle window must end before the next poll)" >&2; exit 2; }
number "$connected" $((idle + 10)) 3600 || { echo "--connected-seconds: $((idle + 10)) to 3600" >&2; exit 2; }
number "$exchanges" 1000 1000000 || { echo "--exchanges: 1000 to 1000000" >&2; exit 2; }
number "$starts" 1 20 || { echo "--starts: 1 to 20" >&2; exit 2; }
tools=(Xvfb trayer xdotool unshare ip sx rx)
((!mqtt)) || tools+=(mosquitto)
for tool in "${tools[@]}"; do
    command -v "$tool" >/dev/null || { echo "$tool is missing; run scripts/install-deps.sh" >&2; exit 2; }
done

build=$root/build-bench
if ((!skip_build)); then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" --target quillmere-monitor quillmere-devsim bench_xmodem bench_pages soak_bench bench_latency \
        -j "$(nproc)" >/dev/null
fi
program=$build/app/quillmere-monitor
devsim=$build/tools/quillmere-devsim
for binary in "$program" "$devsim" "$build/bench/xmodem/bench_xmodem" "$build/bench/pages/bench_pages" \
    "$build/bench/soak/soak_bench" "$build/bench/latency/bench_latency"; do
    [[ -x $binary ]] || { echo "not built: $binary" >&2; exit 2; }
done

source scripts/private-run-folder.sh
private_run_folder quillmere-bench-all
failures=0
missed() { echo "  NOT MEASURED: $*"; failures=$((failures + 1)); }
kib() { awk '/^(RssAnon|VmSwap):/ { kb += $2 } END { print kb + 0 }' "/proc/$1/status"; }
mib() { awk -v k="$1" 'BEGIN { printf "%.2f", k / 1024 }'; }
count() { local n; n=$(grep -c "$1" "$2" 2>/dev/null) || true; echo "${n:-0}"; }
milliseconds_since() { echo $((($(date +%s%N) - $1) / 1000000)); }

# One line per thread: id, name, voluntary and involuntary context switches together.
thread_switches() {
    awk '/^Name:/ { name = substr($0, 7); gsub(/[ \t]/, "_", name) }
         /^voluntary_ctxt_switches:/ { v = $2 }
         /^nonvoluntary_ctxt_switches:/ { split(FILENAME, p, "/"); print p[5], name, v + $2 }' \
        /proc/"$1"/task/*/status 2>/dev/null || true
}

# Switches of every thread over a window, sampled four times a second so that a thread which
# starts in the window is counted too (one that starts and ends between two samples is not;
# the perf figure beside it has no such gap).
measure_wakeups() {
    local pid=$1 seconds=$2 tid name count total=0
    local -A base=() last=() names=()
    while read -r tid name count; do base[$tid]=$count; last[$tid]=$count; names[$tid]=$name; done \
        < <(thread_switches "$pid")
    local end=$(($(date +%s%N) + seconds * 1000000000))
    while (($(date +%s%N) < end)); do
        sleep 0.25
        while read -r tid name count; do last[$tid]=$count; names[$tid]=$name; done < <(thread_switches "$pid")
    done
    for tid in "${!last[@]}"; do
        total=$((total + last[$tid] - ${base[$tid]:-0}))
    done
    for tid in "${!last[@]}"; do
        local delta=$((last[$tid] - ${base[$tid]:-0}))
        local label="thread $tid"
        ((tid == pid)) && label="main thread"
        ((delta == 0)) || printf '    %-18s %6d switches  %6.2f /s\n' "$label" "$delta" \
            "$(awk -v d="$delta" -v s="$seconds" 'BEGIN { print d / s }')"
    done | sort -k2 -nr
    echo "TOTAL $total"
}

echo "Quillmere Monitor figures ($(git -C "$root" describe --always --dirty 2>/dev/null || echo unknown), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
echo

# --- the program --------------------------------------------------------------------------
cat > "$data/settings.xml" <<'XML'
<Settings><ComPort>7</ComPort><StatusPollIntervalInMinutes>1</StatusPollIntervalInMinutes><LogLevel>Events &amp; Errors</LogLevel><EnableMemoryCheck>0</EnableMemoryCheck><MaxMemorySizeInBytes>26214400</MaxMemorySizeInBytes><NetworkMonitors><NetworkMonitor><EventName>Loopback</EventName><Target>127.0.0.1</Target><PollIntervalInMinutes>1</PollIntervalInMinutes><RelayIndex>1</RelayIndex><Threshold>4</Threshold><Action>Cycle power</Action><CycleEveryErrorCount>1</CycleEveryErrorCount><AutoResetLimit>3</AutoResetLimit><CurrentResetCount>0</CurrentResetCount></NetworkMonitor></NetworkMonitors></Settings>
XML
# The unit reads control lines from its input; this script holds the pipe open, and the
# unit's own time limit ends it in any case.
mkfifo "$work/devsim.in"
exec 3<>"$work/devsim.in"
"$devsim" --com 7 --data-folder "$data" --transcript "$work/transcript.txt" --max-seconds $((connected + starts * 15 + 30)) \
    <"$work/devsim.in" >"$work/devsim.out" 2>&1 &
pids+=($!)
display_number=90
while [[ -e /tmp/.X11-unix/X$display_number || -e /tmp/.X$display_number-lock ]]; do
    display_number=$((display_number + 1))
done
export DISPLAY=:$display_number
# No TCP: the program reaches the server through its socket file, which the new network
# namespace does not hide.
Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.out" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [[ -S /tmp/.X11-unix/X$display_number ]] && break; sleep 0.1; done
trayer --edge top --align right --widthtype request --height 32 --SetDockType true >"$work/trayer.out" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [[ -L $data/ports/COM7 ]] && break; sleep 0.1; done
[[ -L $data/ports/COM7 ]] || { echo "the simulated unit did not start" >&2; cat "$work/devsim.out" >&2; exit 1; }
sleep 1

unshare_flags=-n
[[ $(id -u) -eq 0 ]] || unshare_flags=-rn
# With --mqtt each start brings up a broker on the namespace's loopback first; its pid file
# lets the script end it with the rest.
broker_start=""
if ((mqtt)); then
    # Root (in the user namespace) stays root: the broker would otherwise try to drop to its
    # own user, which the namespace does not map.
    printf 'user root\nlistener 1883 127.0.0.1\nallow_anonymous true\npid_file %s/mosquitto.pid\nlog_dest file %s/mosquitto.log\n' \
        "$work" "$work" >"$work/mosquitto.conf"
    printf 'enabled = true\nhost = 127.0.0.1\nsite = bench\n' >"$data/mqtt.conf"
    broker_start="mosquitto -d -c '$work/mosquitto.conf' && "
fi
# Starts the program in its own network namespace and sets pid, start and docked (the
# milliseconds until its tray icon appeared, empty when it did not within 10 s).
start_program() {
    start=$(date +%s%N)
    unshare "$unshare_flags" -- sh -c "ip link set lo up && $broker_start"'exec "$0"' "$program" >>"$work/program.out" 2>&1 &
    pid=$!
    pids+=($pid)
    docked=""
    for _ in $(seq 2000); do
        # The docked icon is a window of the program's own class inside the tray host.
        if xdotool search --classname quillmere-monitor >/dev/null 2>&1; then docked=$(milliseconds_since "$start"); break; fi
        sleep 0.005
    done
    # Processor time the program had used by then: on a busy machine the wall time above
    # includes waiting for a core, this does not (10 ms steps).
    cpu=$(awk -v hz="$(getconf CLK_TCK)" '{ sub(/.*\) /, ""); print int(($12 + $13) * 1000 / hz) }' "/proc/$pid/stat" 2>/dev/null || echo "?")
    if ((mqtt)); then
        for _ in $(seq 50); do [[ -s $work/mosquitto.pid ]] && break; sleep 0.1; done
        [[ ! -s $work/mosquitto.pid ]] || pids+=($(cat "$work/mosquitto.pid"))
        rm -f "$work/mosquitto.pid"
    fi
}
stop_program() {
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    wait "$pid" 2>/dev/null || true
    # The next start is timed to its own icon, not to this one's leftover.
    for _ in $(seq 100); do xdotool search --classname quillmere-monitor >/dev/null 2>&1 || break; sleep 0.1; done
}

echo "1. Start-up to the tray icon, $starts starts (goal: under 300 ms)"
times=()
cpus=()
for run in $(seq "$starts"); do
    ((run == 1)) || stop_program
    answers_before=$(count '^TX' "$work/transcript.txt")
    start_program
    if [[ -n $docked ]]; then times+=("$docked"); cpus+=("$cpu"); else missed "start $run: no tray icon within 10 s"; fi
done
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
if ((${#times[@]})); then
    echo "  wall time each: ${times[*]} ms; median $(median "${times[@]}") ms (polled every 5 ms, so up to 5 ms late)"
    echo "  processor time used by then, each: ${cpus[*]} ms; median $(median "${cpus[@]}") ms"
fi

# After start: the two commands that enable unsolicited messages and the first poll's eight
# have been answered.
for _ in $(seq 100); do
    (($(count '^TX' "$work/transcript.txt") >= answers_before + 10)) && break
    sleep 0.1
done
sleep 1
kill -0 "$pid" 2>/dev/null || { echo "the program ended early:" >&2; cat "$work/program.out" >&2; exit 1; }
memory_start=$(kib "$pid")
answers_start=$(($(count '^TX' "$work/transcript.txt") - answers_before))
started_after=$(milliseconds_since "$start")

echo
echo "3. Wake-ups per second of the idle program, over $idle s with no poll or ping due (goal: at most 2)"
perf_out=$work/perf.out
if command -v perf >/dev/null; then
    perf stat -x, -e context-switches -p "$pid" -- sleep "$idle" 2>"$perf_out" &
    perf_pid=$!
fi
echo "  threads: main $pid, others $(thread_switches "$pid" | awk -v main="$pid" '$1 != main { printf "%s%s", sep, $1; sep = ", " }')"
wakeups=$(measure_wakeups "$pid" "$idle")
grep -v '^TOTAL' <<<"$wakeups" || true
total=$(sed -n 's/^TOTAL //p' <<<"$wakeups")
printf '  all threads (/proc, voluntary + involuntary): %d switches, %.2f per second\n' "$total" \
    "$(awk -v t="$total" -v s="$idle" 'BEGIN { print t / s }')"
if [[ -n ${perf_pid:-} ]]; then
    wait "$perf_pid" 2>/dev/null || true
    counted=$(awk -F, '/context-switches/ { print $1 }' "$perf_out")
    if [[ $counted =~ ^[0-9]+$ ]]; then
        printf '  all threads (perf context-switches):         %d switches, %.2f per second\n' "$counted" \
            "$(awk -v t="$counted" -v s="$idle" 'BEGIN { print t / s }')"
    else
        echo "  perf gave no count: $(tr '\n' ' ' <"$perf_out")"
    fi
fi

remaining=$(((connected * 1000 - $(milliseconds_since "$start")) / 1000))
((remaining > 0)) && sleep "$remaining"
kill -0 "$pid" 2>/dev/null || { echo "the program ended early:" >&2; cat "$work/program.out" >&2; exit 1; }
memory_end=$(kib "$pid")
answers_end=$(($(count '^TX' "$work/transcript.txt") - answers_before))
kill -TERM "$pid"
for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
wait "$pid" 2>/dev/null || true
terminated=$(count ',Event,Application terminated' "$data/Quillmere.log")
((terminated == starts)) || missed "$terminated of $starts starts ended normally on SIGTERM"
errors=$(count ',Error,' "$data/Quillmere.log")

echo
echo "2. Private memory, RssAnon + VmSwap (goal: under 10 MiB and flat)"
printf '  program, %.1f s after start (%d answers from the unit):   %6d KiB  %s MiB\n' \
    "$(awk -v m="$started_after" 'BEGIN { print m / 1000 }')" "$answers_start" "$memory_start" "$(mib "$memory_start")"
printf '  program, %d s after start (%d answers from the unit):    %6d KiB  %s MiB  (%+d KiB)\n' \
    "$connected" "$answers_end" "$memory_end" "$(mib "$memory_end")" $((memory_end - memory_start))
echo "  program's log: $errors error lines over the run"
echo "  soak_bench, the same manager, link engine and log in a bench process, $exchanges exchanges:"
if QM_BINARY_DIR=$build "$build/bench/soak/soak_bench" "$exchanges" >"$work/soak.out" 2>&1; then
    sed 's/^/    /' "$work/soak.out"
else
    sed 's/^/    /' "$work/soak.out"
    missed "soak_bench did not finish cleanly"
fi

# --- the engine and page benches ---------------------------------------------------------
echo
echo "4. Firmware transfer, link against sx (goal: ratio at most 1.5)"
if (cd "$work" && "$build/bench/xmodem/bench_xmodem") >"$work/xmodem.out" 2>&1; then
    sed 's/^/  /' "$work/xmodem.out"
else
    sed 's/^/  /' "$work/xmodem.out"
    missed "bench_xmodem failed"
fi
grep -q '^ratio' "$work/xmodem.out" || missed "no ratio from bench_xmodem"

echo
echo "5. Pages: Log page first showing over a full log (goal: under 50 ms); Settings page with 1,000 monitors"
# The offscreen platform warns once per window it cannot size; that is noise here.
if "$build/bench/pages/bench_pages" 2>&1 | grep -v "does not support propagateSizeHints" >"$work/pages.out"; then
    sed 's/^/  /' "$work/pages.out"
else
    sed 's/^/  /' "$work/pages.out"
    missed "bench_pages failed"
fi

echo
echo "6. Command latency, queued to first byte on the wire with the link idle (goal: p95 at most 100 ms)"
if QM_BINARY_DIR=$build "$build/bench/latency/bench_latency" 200 >"$work/latency.out" 2>&1; then
    sed 's/^/  /' "$work/latency.out"
else
    sed 's/^/  /' "$work/latency.out"
    missed "bench_latency did not finish cleanly"
fi

echo
echo "7. SIGTERM to the end of the process in every state (goal: every median under 1000 ms)"
if bench/stop/stop-matrix.sh --build-dir "$build" --skip-build >"$work/stop.out" 2>&1; then
    sed 's/^/  /' "$work/stop.out"
else
    sed 's/^/  /' "$work/stop.out"
    missed "the stop matrix did not finish cleanly"
fi

echo
echo "Everything the program and the unit wrote is in $work"
((failures == 0))
