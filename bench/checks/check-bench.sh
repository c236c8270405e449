#!/usr/bin/env bash
# Processor time per check of each kind, inside a private network namespace with only
# loopback; the HTTPS peer is openssl s_server with a throw-away self-signed certificate, so
# every HTTPS check ends in the certificate verification failure (the whole handshake is paid).
set -euo pipefail
build=${1:-build}
cmake --build "$build" --target bench_checks -j2 >/dev/null
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 \
    -keyout "$dir/key.pem" -out "$dir/cert.pem" >/dev/null 2>&1
unshare -rn sh -c '
    ip link set lo up
    timeout 120 openssl s_server -quiet -www -accept 127.0.0.1:8443 -cert "$1/cert.pem" -key "$1/key.pem" >/dev/null 2>&1 &
    server=$!
    sleep 1
    "$0" https://127.0.0.1:8443/
    kill "$server"' "$build/bench/checks/bench_checks" "$dir"
