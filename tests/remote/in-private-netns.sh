#!/bin/sh
# Runs a test in a network namespace of its own with only loopback up: the broker, its peers
# and the program under test can reach each other and nothing else.
if [ "$(id -u)" -eq 0 ]; then flags=-n; else flags=-rn; fi
exec unshare $flags -- sh -c 'ip link set lo up && exec "$@"' sh "$@"
