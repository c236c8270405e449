#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a short while from its seed corpus.
# Usage: scripts/fuzz-smoke.sh <build-dir> [seconds-per-target]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
seconds=${2:-20}
status=0
for target in "$build"/fuzz/*/fuzz_*; do
    [[ -x $target ]] || continue
    name=$(basename "$target")
    seeds=fuzz/seeds/$name
    work=$(mktemp -d)
    [[ -d $seeds ]] && cp -r "$seeds"/. "$work"/
    echo "fuzz smoke: $name for ${seconds}s"
    if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 "$work" >"$work.log" 2>&1; then
        tail -40 "$work.log"
        status=1
    fi
    grep -E "Done [0-9]+ runs" "$work.log" || true
    rm -rf "$work" "$work.log"
done
exit $status
