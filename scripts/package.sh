#!/usr/bin/env bash
# Builds the two Debian packages with CPack in their own build folder and checks what went
# into them: quillmere-monitord_<version>_<arch>.deb (the service, quillmere-monitorctl, no Qt)
# and quillmere-monitor_<version>_<arch>.deb (the window program, which depends on the first).
# Install the service alone on a headless PC, or both on a desktop:
#   sudo apt-get install ./build-package/quillmere-monitord_*.deb [./build-package/quillmere-monitor_*.deb]
#
#   scripts/package.sh [--skip-deps] [--build-dir DIR] [--smoke]
#     --smoke   also install the packages, run the installed programs against the simulated
#               unit in a private network namespace, and remove them again (root only)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

skip_deps=0
smoke=0
build_dir=build-package
while (($#)); do
    case $1 in
        --skip-deps) skip_deps=1; shift ;;
        --build-dir) build_dir=$2; shift 2 ;;
        --smoke) smoke=1; shift ;;
        -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
done

((skip_deps)) || scripts/install-deps.sh
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
# Without the tests this is the program, its engine and the simulated unit the smoke run uses.
cmake --build "$build_dir" -j "$(nproc)"
rm -f "$build_dir"/quillmere-monitor_*.deb "$build_dir"/quillmere-monitord_*.deb
(cd "$build_dir" && cpack -G DEB)
shopt -s nullglob
debs=("$root/$build_dir"/quillmere-monitor_*.deb)
service_debs=("$root/$build_dir"/quillmere-monitord_*.deb)
((${#debs[@]} == 1 && ${#service_debs[@]} == 1)) ||
    { echo "expected two packages in $build_dir, found ${#service_debs[@]} service and ${#debs[@]} window" >&2; exit 1; }
deb=${debs[0]}
service_deb=${service_debs[0]}
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")

packaging/check-deb.sh "$service_deb" "$deb" "$version"
if ((smoke)); then
    packaging/smoke-test.sh "$service_deb" "$deb" "$root/$build_dir/tools/quillmere-devsim"
fi
echo "packages: $service_deb $deb"
