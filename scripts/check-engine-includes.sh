#!/usr/bin/env bash
# The engine folders hold no window code: none of their files may include a Qt header or
# anything from ui/ or app/; nor may the service in daemon/, which links no Qt library. The
# layers inside the engine point one way too: the protocol vocabulary includes neither the
# link nor the device manager, and the link includes nothing from device/. Prints every
# offending line and fails if there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

engine=(core protocol link device config log netmon remote run control daemon)
pattern='^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]((Q[A-Za-z]+|Qt[A-Za-z]*/[^>"]*)|(ui|app)/[^>"]*)[>"]'
found=$(grep -rnE --include='*.h' --include='*.hpp' --include='*.cpp' --include='*.cc' "$pattern" "${engine[@]}" || true)
# A CMake file that links Qt into an engine library is the same mistake.
linked=$(grep -rnE --include='CMakeLists.txt' --include='*.cmake' 'Qt6::|qm_ui|qm_app|AUTOMOC' "${engine[@]}" || true)
if [[ -n $found || -n $linked ]]; then
    echo "window code in an engine folder (${engine[*]}):" >&2
    [[ -z $found ]] || echo "$found" >&2
    [[ -z $linked ]] || echo "$linked" >&2
    exit 1
fi

# folder:folders it must not include from
layers=("protocol:link device" "link:device")
upward=""
for rule in "${layers[@]}"; do
    folder=${rule%%:*}
    for above in ${rule#*:}; do
        upward+=$(grep -rnE --include='*.h' --include='*.cpp' \
            "^[[:space:]]*#[[:space:]]*include[[:space:]]*\"$above/" "$folder" || true)
    done
done
if [[ -n $upward ]]; then
    echo "an engine layer includes one above it (protocol/ is below link/, link/ below device/):" >&2
    echo "$upward" >&2
    exit 1
fi
echo "engine folders include no Qt header and nothing from ui/ or app/; protocol/ and link/ include nothing from above"
