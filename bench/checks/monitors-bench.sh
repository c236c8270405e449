#!/usr/bin/env bash
# The whole program with many network monitors, all every minute and all healthy: wake-ups
# per second and private memory, first with ping monitors only (what a site ran before TCP
# and HTTP checks), then with as many TCP and as many HTTP monitors beside them. Figures, not
# a test. Inside a private network namespace with only loopback; the program runs on the
# offscreen platform against the simulated unit, and one local server answers both the TCP
# connects and the GETs, counting them so that checks that never ran show.
#
#   bench/checks/monitors-bench.sh [--build DIR] [--monitors N] [--seconds N] [--skip-build] [--mixed-only]
#
# The window (default 125 s) starts 3 s after the program and so holds two rounds of checks;
# private memory is also read half way between rounds. --seconds 1203 holds 20 rounds, to see
# whether memory stops growing; --mixed-only skips the ping-only run.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build-bench
monitors=100
seconds=125
skip_build=0
mixed_only=0
while (($#)); do
    case $1 in
        --build) build=$2; shift 2 ;;
        --monitors) monitors=$2; shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        --skip-build) skip_build=1; shift ;;
        --mixed-only) mixed_only=1; shift ;;
        --inside) shift; break ;;
        -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
done
[[ $monitors =~ ^[0-9]+$ ]] && ((monitors >= 1 && monitors <= 1000)) || { echo "--monitors: 1 to 1000" >&2; exit 2; }
[[ $seconds =~ ^[0-9]+$ ]] && ((seconds >= 10 && seconds <= 1500)) || { echo "--seconds: 10 to 1500" >&2; exit 2; }
if [[ -z ${QM_MONITORS_BENCH_INSIDE:-} ]]; then
    if ((!skip_build)); then
        cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
        cmake --build "$build" --target quillmere-monitor quillmere-devsim -j2 >/dev/null
    fi
    flags=-rn
    [[ $(id -u) -eq 0 ]] && flags=-n
    export QM_MONITORS_BENCH_INSIDE=1
    exec unshare $flags -- bash -c 'ip link set lo up && exec bash "$0" --inside "$@"' "$0" \
        "$build" "$monitors" "$seconds" "$mixed_only"
fi
build=$1 monitors=$2 seconds=$3 mixed_only=$4
program=$build/app/quillmere-monitor
devsim=$build/tools/quillmere-devsim
[[ -x $program && -x $devsim ]] || { echo "build quillmere-monitor and quillmere-devsim first" >&2; exit 2; }
. scripts/private-run-folder.sh
private_run_folder quillmere-monitors-bench

# Counts every accepted connection and every GET in a file of its own, so the script reads
# them whenever it likes.
cat >"$work/peer.py" <<'PY'
import http.server, socketserver, sys
counts = {"connections": 0, "gets": 0}
def save():
    with open(sys.argv[2], "w") as f:
        f.write("%d %d\n" % (counts["connections"], counts["gets"]))
class Handler(http.server.BaseHTTPRequestHandler):
    def setup(self):
        counts["connections"] += 1
        save()
        super().setup()
    def do_GET(self):
        counts["gets"] += 1
        save()
        self.send_response(204)
        self.end_headers()
    def log_message(self, *args):
        pass
class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    request_queue_size = 1024
    daemon_threads = True
save()
Server(("127.0.0.1", int(sys.argv[1])), Handler).serve_forever()
PY
port=18080
timeout $((seconds * 2 + 120)) python3 "$work/peer.py" "$port" "$work/peer.counts" >"$work/peer.out" 2>&1 &
pids+=($!)
mkfifo "$work/devsim.in"
exec 3<>"$work/devsim.in"
"$devsim" --com 7 --data-folder "$data" --max-seconds $((seconds * 2 + 100)) --transcript "$work/transcript.txt" \
    <"$work/devsim.in" >"$work/devsim.out" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [[ -L $data/ports/COM7 && -s $work/peer.counts ]] && break; sleep 0.1; done
[[ -L $data/ports/COM7 ]] || { echo "the simulated unit did not start" >&2; exit 1; }

monitor() {
    printf '<NetworkMonitor><EventName>%s</EventName><Target>%s</Target><PollIntervalInMinutes>1</PollIntervalInMinutes><RelayIndex>1</RelayIndex><Threshold>4</Threshold><Action>Do nothing</Action><CycleEveryErrorCount>1</CycleEveryErrorCount><AutoResetLimit>3</AutoResetLimit><CurrentResetCount>0</CurrentResetCount></NetworkMonitor>' "$1" "$2"
}
# settings KIND... : N monitors of each kind named, all of loopback peers.
settings() {
    local kind i
    printf '<Settings><ComPort>7</ComPort><StatusPollIntervalInMinutes>30</StatusPollIntervalInMinutes><LogLevel>Events &amp; Errors</LogLevel><EnableMemoryCheck>0</EnableMemoryCheck><MaxMemorySizeInBytes>26214400</MaxMemorySizeInBytes><NetworkMonitors>'
    for kind in "$@"; do
        for ((i = 1; i <= monitors; i++)); do
            case $kind in
                ping) monitor "Ping $i" 127.0.0.1 ;;
                tcp) monitor "Port $i" "tcp://127.0.0.1:$port" ;;
                http) monitor "Web $i" "http://127.0.0.1:$port/m$i" ;;
            esac
        done
    done
    printf '</NetworkMonitors></Settings>\n'
}
# Echo requests this namespace answered: one per ping check of a host that answers at once.
echoes() { awk '/^Icmp:/ { if (!n++) for (i = 1; i <= NF; i++) col[$i] = i; else print $col["InEchos"] }' /proc/net/snmp; }
kib() { awk -v k="$1" '$1 == k":" { print $2 }' "/proc/$2/smaps_rollup"; }
memory() { printf 'Pss %6d KiB  Private_Dirty %6d KiB  threads %d' "$(kib Pss "$1")" "$(kib Private_Dirty "$1")" \
    "$(ls "/proc/$1/task" | wc -l)"; }

# One program run with the monitors of the kinds named.
measure() {
    local label=$1 before after pid
    shift
    settings "$@" >"$data/settings.xml"
    local before gets_before echoes_before
    read -r before gets_before <"$work/peer.counts"
    echoes_before=$(echoes)
    QT_QPA_PLATFORM=offscreen "$program" >>"$work/program.out" 2>&1 &
    pid=$!
    pids+=($pid)
    sleep 3
    kill -0 "$pid" 2>/dev/null || { echo "the program ended early:" >&2; cat "$work/program.out" >&2; exit 1; }
    local start_memory
    start_memory=$(memory "$pid")
    # perf follows the check threads, which live a millisecond each and which sampling /proc
    # would miss; processor time comes with it.
    timeout -s INT "$seconds" perf stat -x, -e context-switches,task-clock -p "$pid" 2>"$work/perf.out" &
    local perf=$!
    # Between the rounds too, so growth from one round to the next shows.
    local rounds_memory="" at
    for ((at = 33; at < seconds; at += 60)); do
        sleep $((at == 33 ? 30 : 60))
        rounds_memory+=" $(kib Private_Dirty "$pid")"
    done
    wait "$perf" || true
    local switches clock
    switches=$(awk -F, '$3 == "context-switches" { print $1 }' "$work/perf.out")
    clock=$(awk -F, '$3 == "task-clock" { print $1 }' "$work/perf.out")
    echo "$label"
    printf '  wake-ups (context switches of all threads): %s over %d s, %s per second; processor time %s ms\n' \
        "$switches" "$seconds" "$(awk -v s="$switches" -v t="$seconds" 'BEGIN { printf "%.2f", s / t }')" \
        "$(awk -v c="$clock" 'BEGIN { printf "%.0f", c }')"
    echo "  memory 3 s after start:      $start_memory"
    echo "  Private_Dirty 33, 93, ... s after start (KiB):$rounds_memory"
    echo "  memory $((3 + seconds)) s after start:   $(memory "$pid")"
    local after gets_after
    read -r after gets_after <"$work/peer.counts"
    local rounds=$(((seconds + 3) / 60)) gets=$((gets_after - gets_before))
    # Each TCP check and each GET is one connection to the peer.
    local expected_tcp=0 expected_http=0
    case " $* " in *" tcp "*) expected_tcp=$((rounds * monitors)) ;; esac
    case " $* " in *" http "*) expected_http=$((rounds * monitors)) ;; esac
    echo "  checks that ran in $rounds rounds: ping $(($(echoes) - echoes_before)) of $((rounds * monitors))," \
        "tcp $((after - before - gets)) of $expected_tcp, http $gets of $expected_http"
    kill -TERM "$pid"
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    wait "$pid" 2>/dev/null || true
}

echo "Network monitors every minute, all healthy, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
((mixed_only)) || measure "$monitors ping monitors (before TCP and HTTP checks)" ping
measure "$monitors ping + $monitors TCP + $monitors HTTP monitors" ping tcp http
errors=$(grep -c ',Error,' "$data/Quillmere.log" || true)
echo "program's log: $errors error lines"
