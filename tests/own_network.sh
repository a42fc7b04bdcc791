#!/bin/sh
# Runs a test in a network namespace of its own with only the loopback
# interface, where every 127.x.y.z is local: the job desk, printer stand-ins and
# schedulers it starts never meet what the machine itself runs on the fixed
# ports (an installed job desk on 18020, a printer's port 9100), nor other
# tests' ones.
#   own_network.sh COMMAND [ARG...]
#   own_network.sh --available    exit status 0 when tests get a namespace
# Where no namespace can be had (it takes root), the test shares the machine's
# network, and this says who holds the fixed ports it may need.
set -u

available() {
    [ "$(id -u)" -eq 0 ] && unshare -n ip link set lo up 2>/dev/null
}

if [ "${1:-}" = --available ]; then
    available
    exit
fi

if available; then
    exec unshare -n sh -c 'ip link set lo up && exec "$@"' sh "$@"
fi

echo "own_network.sh: no network namespace of its own (needs root and unshare -n): the test shares the machine's ports" >&2
for port in 18020 9100; do
    ss -Hltnp "sport = :$port" 2>/dev/null | while read -r line; do
        echo "own_network.sh: port $port is taken: $line" >&2
    done
done
exec "$@"
