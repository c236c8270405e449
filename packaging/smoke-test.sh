#!/usr/bin/env bash
# Installs the two built packages with apt-get, runs the installed program on the offscreen platform
# (and then the installed service, after checking its account and units) against the
# simulated unit for a while, inside a private network namespace with only
# loopback up and with its own data folder, stops it with SIGTERM as a logout would, checks
# its log and the unit's transcript, asks the service through quillmere-monitorctl, and removes
# the packages again. Needs root (apt-get).
#
#   packaging/smoke-test.sh <quillmere-monitord.deb> <quillmere-monitor.deb> <path to quillmere-devsim> [seconds, default 20]
set -euo pipefail
service_deb=$(realpath "$1")
deb=$(realpath "$2")
devsim=$(realpath "$3")
seconds=${4:-20}
program=/usr/bin/quillmere-monitor
[[ $(id -u) -eq 0 ]] || { echo "apt-get install needs root" >&2; exit 2; }
[[ -x $devsim ]] || { echo "no simulated unit at $devsim" >&2; exit 2; }
for package in quillmere-monitor quillmere-monitord; do
    if dpkg-query -W -f='${Status}' $package 2>/dev/null | grep -q "install ok installed"; then
        echo "$package is already installed; this test would remove it" >&2
        exit 2
    fi
done

work=$(mktemp -d /tmp/quillmere-smoke.XXXXXX)
pids=()
installed=0
# The package keeps the service's account on removal, as Debian does; a test leaves the
# machine as it found it.
had_account=0
getent passwd quillmere-monitord >/dev/null && had_account=1
had_group=0
getent group quillmere >/dev/null && had_group=1
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    if ((installed)); then
        DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq quillmere-monitor quillmere-monitord >"$work/remove.out" 2>&1 || true
        # remove keeps the conffile under /etc; purge too, so the machine is left as found.
        dpkg --purge quillmere-monitor quillmere-monitord >>"$work/remove.out" 2>&1 || true
        if ((!had_account)) && getent passwd quillmere-monitord >/dev/null; then
            userdel quillmere-monitord >>"$work/remove.out" 2>&1 || true
            getent group quillmere-monitord >/dev/null && groupdel quillmere-monitord >>"$work/remove.out" 2>&1 || true
        fi
        if ((!had_group)) && getent group quillmere >/dev/null; then
            groupdel quillmere >>"$work/remove.out" 2>&1 || true
        fi
    fi
}
trap cleanup EXIT

# A headless PC: the service's package alone brings the service and its client, no window
# program and no toolkit, and goes again cleanly.
echo "== apt-get install -y $service_deb (alone)"
DEBIAN_FRONTEND=noninteractive apt-get install -y "$service_deb" >"$work/install-service.out" 2>&1 ||
    { cat "$work/install-service.out" >&2; exit 1; }
installed=1
[[ -x /usr/bin/quillmere-monitord && -x /usr/bin/quillmere-monitorctl && ! -e $program ]] ||
    { echo "FAULT: the service's package alone does not give the service and its client only" >&2; exit 1; }
if grep -Ei '^(Unpacking|Setting up) libqt' "$work/install-service.out"; then
    echo "FAULT: installing the service's package brought Qt" >&2
    exit 1
fi
quillmere-monitorctl --version
DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq quillmere-monitord >"$work/remove-service.out" 2>&1 ||
    { cat "$work/remove-service.out" >&2; exit 1; }
dpkg --purge quillmere-monitord >>"$work/remove-service.out" 2>&1
[[ ! -e /usr/bin/quillmere-monitord && ! -e /usr/bin/quillmere-monitorctl ]] ||
    { echo "FAULT: the service's package left its programs behind" >&2; exit 1; }
echo "== removed again: nothing of the service's package is left"

echo "== apt-get install -y $service_deb $deb"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$service_deb" "$deb" \
    >"$work/install.out" 2>&1 || { cat "$work/install.out" >&2; exit 1; }
installed=1
dpkg -L quillmere-monitord quillmere-monitor | while read -r path; do if [[ -f $path ]]; then echo "$path"; fi; done

# The help's two commands that turn the log-in entry on for one account, run as written.
help=/usr/share/quillmere-monitor/Quillmere_Help.html
turn_on=$(sed -n '/^<pre>mkdir -p ~\/.config\/autostart$/,/<\/pre>/p' "$help" |
    sed 's/^<pre>//; s/<\/pre>.*//; s/&gt;/>/g; s/&lt;/</g; s/&amp;/\&/g')
[[ -n $turn_on ]] || { echo "FAULT: the help shows no command to turn the log-in entry on" >&2; exit 1; }
mkdir -p "$work/home"
HOME=$work/home bash -euc "$turn_on"
entry=$work/home/.config/autostart/quillmere-monitor.desktop
if ! grep -qx 'Hidden=false' "$entry" || grep -qx 'Hidden=true' "$entry" || ! desktop-file-validate "$entry"; then
    echo "FAULT: the help's command does not give an entry that is switched on" >&2
    exit 1
fi
echo "== the help's command switches the log-in entry on: $(grep -c '^Hidden=false$' "$entry") Hidden=false line"

export XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/run QT_QPA_PLATFORM=offscreen
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
data="$XDG_DATA_HOME/Velmarquet/Quillmere Monitor"
mkdir -p "$data"
cat > "$data/settings.xml" <<'XML'
<Settings><ComPort>7</ComPort><StatusPollIntervalInMinutes>1</StatusPollIntervalInMinutes><LogLevel>Debug</LogLevel><NetworkMonitors><NetworkMonitor><EventName>Loopback</EventName><Target>127.0.0.1</Target><PollIntervalInMinutes>1</PollIntervalInMinutes><RelayIndex>1</RelayIndex><Threshold>4</Threshold><Action>Cycle power</Action><CycleEveryErrorCount>1</CycleEveryErrorCount><AutoResetLimit>3</AutoResetLimit><CurrentResetCount>0</CurrentResetCount></NetworkMonitor></NetworkMonitors></Settings>
XML

# The unit reads control lines from its input; this script holds the pipe open, and the
# unit's own time limit ends it in any case.
mkfifo "$work/devsim.in"
exec 3<>"$work/devsim.in"
"$devsim" --com 7 --data-folder "$data" --transcript "$work/transcript.txt" \
    --max-seconds $((seconds + 15)) <"$work/devsim.in" >"$work/devsim.out" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [[ -L $data/ports/COM7 ]] && break; sleep 0.1; done
[[ -L $data/ports/COM7 ]] || { echo "the simulated unit did not start" >&2; cat "$work/devsim.out" >&2; exit 1; }

echo "== $program, offscreen, in its own network namespace, for $seconds s"
unshare -n -- sh -c 'ip link set lo up && exec "$0"' "$program" >"$work/program.out" 2>&1 &
pid=$!
pids+=($pid)
for _ in $(seq "$seconds"); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 1
done
kill -0 "$pid" 2>/dev/null || { echo "the installed program ended by itself:" >&2; cat "$work/program.out" >&2; exit 1; }
kill -TERM "$pid"
status=0
for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$pid" 2>/dev/null; then
    echo "the program did not end within 10 s of SIGTERM" >&2
    exit 1
fi
wait "$pid" || status=$?

log="$data/Quillmere.log"
faults=0
grep -q ',Event,Application Started' "$log" || { echo "FAULT: no 'Application Started' in the log" >&2; faults=$((faults + 1)); }
grep -q ',Event,Application terminated' "$log" || { echo "FAULT: no 'Application terminated' in the log" >&2; faults=$((faults + 1)); }
received=$(grep -c '^RX' "$work/transcript.txt" || true)
((received > 0)) || { echo "FAULT: no frame reached the simulated unit" >&2; faults=$((faults + 1)); }
((status == 0)) || { echo "FAULT: exit status $status after SIGTERM" >&2; faults=$((faults + 1)); }
[[ -f $data/settings.xml ]] || { echo "FAULT: settings not saved" >&2; faults=$((faults + 1)); }

echo "== event log"
grep -v ',Debug,' "$log" || true
echo "== debug lines (link traces): $(grep -c ',Debug,' "$log" || true); frames the unit received: $received; exit status: $status"
((faults == 0)) || exit 1

# The service: its account, units that the service manager accepts and that nothing
# enabled, and the installed executable against the unit in its own folder and namespace.
service=/usr/bin/quillmere-monitord
getent passwd quillmere-monitord >/dev/null || { echo "FAULT: no quillmere-monitord account" >&2; faults=$((faults + 1)); }
id -nG quillmere-monitord | grep -qw quillmere || { echo "FAULT: the service's account is not in group quillmere" >&2; faults=$((faults + 1)); }
for unit in /usr/lib/systemd/system/quillmere-monitord.service /usr/lib/systemd/user/quillmere-monitord.service; do
    [[ -f $unit ]] || { echo "FAULT: $unit not installed" >&2; faults=$((faults + 1)); }
done
if compgen -G '/etc/systemd/system/*.wants/quillmere-monitord.service' >/dev/null ||
    compgen -G '/etc/systemd/user/*.wants/quillmere-monitord.service' >/dev/null; then
    echo "FAULT: installing enabled the service" >&2
    faults=$((faults + 1))
fi
if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify /usr/lib/systemd/system/quillmere-monitord.service ||
        { echo "FAULT: systemd-analyze verify refuses the installed unit" >&2; faults=$((faults + 1)); }
    echo "== $(systemd-analyze security --offline=true /usr/lib/systemd/system/quillmere-monitord.service 2>&1 | grep 'Overall exposure')"
fi
state=$work/state
mkdir -p "$state/ports"
ln -s "$(readlink "$data/ports/COM7")" "$state/ports/COM7"
cp "$data/settings.xml" "$state/settings.xml"
"$service" --check --data-dir "$state" >"$work/check.out" 2>&1 ||
    { echo "FAULT: --check refuses the settings:" >&2; cat "$work/check.out" >&2; faults=$((faults + 1)); }
echo "== $service for 5 s in its own network namespace"
unshare -n -- sh -c 'ip link set lo up && exec "$0" --data-dir "$1"' "$service" "$state" >"$work/service.out" 2>&1 &
spid=$!
pids+=($spid)
for _ in $(seq 5); do kill -0 "$spid" 2>/dev/null || break; sleep 1; done
# The installed client, through the socket the service made in its runtime folder.
XDG_RUNTIME_DIR=$work/run quillmere-monitorctl --socket "$work/run/quillmere-monitord/control" status >"$work/ctl.out" 2>&1 ||
    { echo "FAULT: quillmere-monitorctl status failed:" >&2; cat "$work/ctl.out" >&2; faults=$((faults + 1)); }
grep -q '^Port  *COM7' "$work/ctl.out" || { echo "FAULT: quillmere-monitorctl shows no port" >&2; faults=$((faults + 1)); }
man -w quillmere-monitorctl >/dev/null 2>&1 || [[ -f /usr/share/man/man1/quillmere-monitorctl.1.gz ]] ||
    { echo "FAULT: no manual page for quillmere-monitorctl" >&2; faults=$((faults + 1)); }
kill -TERM "$spid" 2>/dev/null || { echo "FAULT: the service ended by itself:" >&2; cat "$work/service.out" >&2; faults=$((faults + 1)); }
sstatus=0
for _ in $(seq 50); do kill -0 "$spid" 2>/dev/null || break; sleep 0.1; done
wait "$spid" || sstatus=$?
((sstatus == 0)) || { echo "FAULT: the service's exit status after SIGTERM is $sstatus" >&2; faults=$((faults + 1)); }
for line in ',Event,Application Started' ',Event,Application terminated'; do
    grep -q "$line" "$state/Quillmere.log" || { echo "FAULT: no '$line' in the service's log" >&2; faults=$((faults + 1)); }
done
received_before=$received
received=$(grep -c '^RX' "$work/transcript.txt" || true)
((received > received_before)) || { echo "FAULT: no frame from the service reached the simulated unit" >&2; faults=$((faults + 1)); }
echo "== service: exit status $sstatus, $((received - received_before)) frames reached the unit"
((faults == 0)) || exit 1

cleanup
trap - EXIT
installed=0
if [[ -e $program || -e $service || -n $(dpkg-query -W -f='${Status}' quillmere-monitor quillmere-monitord 2>/dev/null | grep ' installed') ]]; then
    echo "FAULT: a package is still installed after apt-get remove" >&2
    exit 1
fi
echo "== removed: $program and $service are gone"
rm -rf "$work"
