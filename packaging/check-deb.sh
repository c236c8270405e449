#!/usr/bin/env bash
# Checks the two built packages: quillmere-monitord (the service, quillmere-monitorctl, the
# units, the help: no Qt anywhere in its dependencies) and quillmere-monitor (the window
# program, depending on the first). Control fields, computed dependencies, the files an
# operator's desktop relies on, that the autostart entry ships turned off, and the service's
# executable and units (Qt-free, verified, sandboxed, enabled by nothing).
# Exits non-zero with every fault listed.
#
#   packaging/check-deb.sh <quillmere-monitord.deb> <quillmere-monitor.deb> <expected version>
set -uo pipefail
service_deb=$1
deb=$2
version=$3
faults=0
fault() { echo "FAULT: $*" >&2; faults=$((faults + 1)); }

field() { dpkg-deb -f "$1" "$2"; }
names() { sed 's/ *([^)]*)//g; s/[,|]/ /g' <<<"$1"; }
for package in "$service_deb:quillmere-monitord" "$deb:quillmere-monitor"; do
    file=${package%%:*}
    [[ $(field "$file" Package) == "${package#*:}" ]] || fault "$file: package name is '$(field "$file" Package)'"
    [[ $(field "$file" Version) == "$version" ]] || fault "$file: version is '$(field "$file" Version)', the project says $version"
    [[ -n $(field "$file" Maintainer) ]] || fault "$file: no maintainer"
    [[ -n $(field "$file" Section) ]] || fault "$file: no section"
    [[ $(field "$file" Architecture) == "$(dpkg --print-architecture)" ]] || fault "$file: architecture is '$(field "$file" Architecture)'"
    depended=" $(names "$(field "$file" Depends)") "
    [[ $(tr ' ' '\n' <<<"$depended" | sed '/^$/d' | sort | uniq -d) == "" ]] || fault "$file: Depends names a package twice"
done

# The service's package: what its executables link, and nothing of Qt.
service_depends=$(field "$service_deb" Depends)
depended=" $(names "$service_depends") "
for library in libc6 libstdc++6 libpugixml1v5 libsystemd0 libmosquitto1 adduser; do
    [[ $depended == *" $library "* ]] || fault "quillmere-monitord's Depends lacks $library: $service_depends"
done
grep -qiE 'qt' <<<"$service_depends" && fault "quillmere-monitord depends on Qt: $service_depends"
[[ $(field "$service_deb" Breaks) == *quillmere-monitor* && $(field "$service_deb" Replaces) == *quillmere-monitor* ]] ||
    fault "quillmere-monitord does not take over the files of the older single package (Breaks/Replaces)"

# The window program's: the Qt libraries, the SVG plugins, and the service package of its version.
depends=$(field "$deb" Depends)
depended=" $(names "$depends") "
for library in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6svg6 libserialport0 quillmere-monitord; do
    [[ $depended == *" $library "* ]] || fault "quillmere-monitor's Depends lacks $library: $depends"
done
[[ $depends == *"quillmere-monitord (= $version)"* ]] || fault "quillmere-monitor does not depend on quillmere-monitord (= $version): $depends"

service_listing=$(dpkg-deb -c "$service_deb")
listing=$(dpkg-deb -c "$deb")
expect_file() {
    local list=$1 mode=$2 path=$3
    grep -Eq "^$mode root/root +[0-9]+ [0-9-]+ [0-9:]+ \\.$path\$" <<<"$list" || fault "missing or wrong mode/owner: $path"
}
expect_file "$listing" -rwxr-xr-x /usr/bin/quillmere-monitor
expect_file "$service_listing" -rwxr-xr-x /usr/bin/quillmere-monitord
expect_file "$service_listing" -rwxr-xr-x /usr/bin/quillmere-monitorctl
expect_file "$service_listing" -rw-r--r-- /usr/lib/systemd/system/quillmere-monitord.service
expect_file "$service_listing" -rw-r--r-- /usr/lib/systemd/user/quillmere-monitord.service
expect_file "$service_listing" -rw-r--r-- /usr/lib/sysusers.d/quillmere-monitord.conf
expect_file "$service_listing" -rw-r--r-- /usr/share/man/man1/quillmere-monitorctl.1.gz
expect_file "$service_listing" -rw-r--r-- /usr/share/bash-completion/completions/quillmere-monitorctl
expect_file "$service_listing" -rw-r--r-- /usr/share/quillmere-monitor/Quillmere_Help.html
expect_file "$listing" -rw-r--r-- /usr/share/applications/quillmere-monitor.desktop
expect_file "$listing" -rw-r--r-- /usr/share/icons/hicolor/scalable/apps/quillmere-monitor.svg
expect_file "$listing" -rw-r--r-- /usr/share/icons/hicolor/scalable/apps/quillmere-monitor-alert.svg
expect_file "$listing" -rw-r--r-- /etc/xdg/autostart/quillmere-monitor.desktop
# No file in both packages, and the window program's holds no part of the service.
both=$(comm -12 <(awk '$1 !~ /^d/ { print $6 }' <<<"$listing" | sort) <(awk '$1 !~ /^d/ { print $6 }' <<<"$service_listing" | sort))
[[ -z $both ]] || fault "files in both packages: $both"
# Everything belongs under /usr or /etc; a stray absolute install path would land elsewhere.
stray=$(awk '{ print $6 }' <<<"$listing"$'\n'"$service_listing" | grep -Ev '^\./$|^\./(usr|etc)(/|$)')
[[ -z $stray ]] || fault "files outside /usr and /etc: $stray"
bad_dirs=$(grep '^d' <<<"$listing"$'\n'"$service_listing" | grep -v '^drwxr-xr-x root/root')
[[ -z $bad_dirs ]] || fault "directories with other modes or owners: $bad_dirs"

work=$(mktemp -d /tmp/quillmere-check-deb.XXXXXX)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work/root"
dpkg-deb -x "$service_deb" "$work/root"
dpkg-deb -e "$deb" "$work/control"
dpkg-deb -e "$service_deb" "$work/service-control"
grep -qx /etc/xdg/autostart/quillmere-monitor.desktop "$work/control/conffiles" 2>/dev/null ||
    fault "the autostart entry is not a conffile"

file "$work/root/usr/bin/quillmere-monitor" | grep -q 'not stripped' && fault "the executable is not stripped"

# The service links no Qt library, and installing enables and starts nothing.
service=$work/root/usr/bin/quillmere-monitord
objdump -p "$service" | grep -E 'NEEDED.*(Qt|qt)' && fault "quillmere-monitord links Qt"
objdump -p "$service" | grep -q 'NEEDED.*libsystemd' || fault "quillmere-monitord does not link libsystemd"
objdump -p "$work/root/usr/bin/quillmere-monitorctl" | grep -E 'NEEDED.*(Qt|qt)' && fault "quillmere-monitorctl links Qt"
for script in "$work/service-control/postinst" "$work/service-control/postrm"; do
    [[ -x $script ]] || fault "$(basename "$script") missing or not executable"
done
grep -Eq 'systemctl +(--system +)?(enable|start|restart)|deb-systemd-invoke|deb-systemd-helper +enable' \
    "$work/service-control/postinst" && fault "postinst enables or starts the service"
grep -qx 'g quillmere -' "$work/root/usr/lib/sysusers.d/quillmere-monitord.conf" || fault "the package makes no group quillmere"
system_unit=$work/root/usr/lib/systemd/system/quillmere-monitord.service
for key in 'Type=notify' 'User=quillmere-monitord' 'SupplementaryGroups=dialout quillmere' 'StateDirectory=quillmere-monitord' \
    'RuntimeDirectory=quillmere-monitord' 'RestartPreventExitStatus=2 3 78' \
    'AmbientCapabilities=CAP_NET_RAW' 'Restart=on-failure' 'ProtectSystem=strict' 'DevicePolicy=closed' \
    'SystemCallFilter=@system-service'; do
    grep -qx "$key" "$system_unit" || fault "the system unit lacks $key"
done
grep -q '^WatchdogSec=[1-9]' "$system_unit" || fault "the system unit runs no watchdog"
if command -v systemd-analyze >/dev/null; then
    # verify wants the unit's executable to exist: a copy of the unit names the package's
    # own, and everything else is read as shipped (smoke-test.sh verifies the installed one).
    mkdir -p "$work/verify"
    sed "s#^ExecStart=/usr/bin/#ExecStart=$work/root/usr/bin/#" "$system_unit" >"$work/verify/quillmere-monitord.service"
    systemd-analyze verify "$work/verify/quillmere-monitord.service" ||
        fault "systemd-analyze verify refuses the system unit"
    exposure=$(systemd-analyze security --offline=true "$system_unit" 2>&1 | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
    awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 2.0) }' || fault "the system unit's exposure is ${exposure:-unknown}, above 2.0"
    echo "system unit: exposure $exposure"
else
    echo "note: systemd-analyze not installed; units not verified" >&2
fi

autostart=$work/root/etc/xdg/autostart/quillmere-monitor.desktop
launcher=$work/root/usr/share/applications/quillmere-monitor.desktop
grep -qx 'Hidden=true' "$autostart" || fault "the autostart entry is not off (Hidden=true)"
[[ $(grep '^Exec=' "$autostart") == "$(grep '^Exec=' "$launcher")" ]] || fault "autostart and launcher start different commands"
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$launcher")
[[ -x $work/root/usr/bin/$exec_name ]] || fault "Exec=$exec_name is not an installed executable"
icon=$(sed -n 's/^Icon=//p' "$launcher")
[[ -f $work/root/usr/share/icons/hicolor/scalable/apps/$icon.svg ]] || fault "Icon=$icon has no hicolor icon"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$launcher" || fault "desktop entry does not validate"
    desktop-file-validate "$autostart" || fault "autostart entry does not validate"
else
    echo "note: desktop-file-validate not installed; entries not validated" >&2
fi
grep -q '/etc/xdg/autostart/quillmere-monitor.desktop' "$work/root/usr/share/quillmere-monitor/Quillmere_Help.html" ||
    fault "the help does not say how to turn the autostart entry on"

if ((faults)); then
    echo "$service_deb, $deb: $faults fault(s)" >&2
    exit 1
fi
echo "$service_deb: checked (Depends: $service_depends)"
echo "$deb: checked (Depends: $depends)"
