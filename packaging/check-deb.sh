#!/usr/bin/env bash
# Checks a built quillmere-monitor package: control fields, computed dependencies, the files
# an operator's desktop relies on, and that the autostart entry ships turned off.
# Exits non-zero with every fault listed.
#
#   packaging/check-deb.sh <package.deb> <expected version>
set -uo pipefail
deb=$1
version=$2
faults=0
fault() { echo "FAULT: $*" >&2; faults=$((faults + 1)); }

field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == quillmere-monitor ]] || fault "package name is '$(field Package)'"
[[ $(field Version) == "$version" ]] || fault "version is '$(field Version)', the project says $version"
[[ -n $(field Maintainer) ]] || fault "no maintainer"
[[ -n $(field Section) ]] || fault "no section"
[[ $(field Architecture) == "$(dpkg --print-architecture)" ]] || fault "architecture is '$(field Architecture)'"

# Libraries the executable links, as dpkg-shlibdeps names them, plus the SVG plugins.
depends=$(field Depends)
depended=" $(sed 's/ *([^)]*)//g; s/,/ /g' <<<"$depends") "
for library in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6svg6 libpugixml1v5 libserialport0; do
    [[ $depended == *" $library "* ]] || fault "Depends lacks $library: $depends"
done
[[ $(tr ' ' '\n' <<<"$depended" | sed '/^$/d' | sort | uniq -d) == "" ]] || fault "Depends names a package twice: $depends"

listing=$(dpkg-deb -c "$deb")
expect_file() {
    local mode=$1 path=$2
    grep -Eq "^$mode root/root +[0-9]+ [0-9-]+ [0-9:]+ \\.$path\$" <<<"$listing" || fault "missing or wrong mode/owner: $path"
}
expect_file -rwxr-xr-x /usr/bin/quillmere-monitor
expect_file -rw-r--r-- /usr/share/applications/quillmere-monitor.desktop
expect_file -rw-r--r-- /usr/share/icons/hicolor/scalable/apps/quillmere-monitor.svg
expect_file -rw-r--r-- /usr/share/icons/hicolor/scalable/apps/quillmere-monitor-alert.svg
expect_file -rw-r--r-- /usr/share/quillmere-monitor/Quillmere_Help.html
expect_file -rw-r--r-- /etc/xdg/autostart/quillmere-monitor.desktop
# Everything belongs under /usr or /etc; a stray absolute install path would land elsewhere.
stray=$(awk '{ print $6 }' <<<"$listing" | grep -Ev '^\./$|^\./(usr|etc)(/|$)')
[[ -z $stray ]] || fault "files outside /usr and /etc: $stray"
bad_dirs=$(grep '^d' <<<"$listing" | grep -v '^drwxr-xr-x root/root')
[[ -z $bad_dirs ]] || fault "directories with other modes or owners: $bad_dirs"

work=$(mktemp -d /tmp/quillmere-check-deb.XXXXXX)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work/root"
dpkg-deb -e "$deb" "$work/control"
grep -qx /etc/xdg/autostart/quillmere-monitor.desktop "$work/control/conffiles" 2>/dev/null ||
    fault "the autostart entry is not a conffile"

file "$work/root/usr/bin/quillmere-monitor" | grep -q 'not stripped' && fault "the executable is not stripped"

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
    echo "$deb: $faults fault(s)" >&2
    exit 1
fi
echo "$deb: checked (Depends: $depends)"
