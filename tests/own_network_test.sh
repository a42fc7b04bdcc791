#!/bin/sh
# The launcher of the tests, run where other programs hold 0.0.0.0:18020 and
# 0.0.0.0:9100, as an installed job desk and a printer's port do: a test it
# starts binds both ports all the same; one it has to start on the shared
# network (no namespace to be had) is told who holds them.
#   own_network_test.sh LAUNCHER
# Runs under the launcher itself, so the ports it holds are its own.
set -u
launcher=$1
if ! sh "$launcher" --available; then
    echo "skipped: no network namespaces here"
    exit 77
fi
status=0
fail() {
    echo "FAIL: $*"
    status=1
}

work=$(mktemp -d)
pids=
trap 'kill $pids 2>/dev/null; rm -rf "$work"' EXIT
for port in 18020 9100; do
    perl -MIO::Socket::INET -e 'my $s = IO::Socket::INET->new(LocalAddr => $ARGV[0], Listen => 5, Proto => "tcp")
        or die "$!\n"; sleep 300' "0.0.0.0:$port" &
    pids="$pids $!"
done
i=0
while [ "$(ss -Hltn 'sport = :18020 or sport = :9100' | wc -l)" -lt 2 ] && [ $i -lt 100 ]; do
    sleep 0.1
    i=$((i + 1))
done
[ $i -lt 100 ] || fail "the two listeners did not start"

# What a job desk test and a printer stand-in bind.
bind='my @s = map { IO::Socket::INET->new(LocalAddr => $_, Listen => 5, Proto => "tcp") or die "cannot bind $_: $!\n" } @ARGV'
sh "$launcher" perl -MIO::Socket::INET -e "$bind" 0.0.0.0:18020 127.0.0.100:9100 >"$work/out" 2>&1 ||
    fail "a test under the launcher could not bind the ports: $(cat "$work/out")"

# Without namespaces (unshare refused), the test shares the ports and learns
# who holds them.
mkdir "$work/bin"
printf '#!/bin/sh\nexit 1\n' >"$work/bin/unshare"
chmod 0755 "$work/bin/unshare"
PATH=$work/bin:$PATH sh "$launcher" perl -MIO::Socket::INET -e "$bind" 0.0.0.0:18020 >"$work/out" 2>&1 &&
    fail "a test on the shared network could bind a port that is taken"
for port in 18020 9100; do
    grep -q "^own_network.sh: port $port is taken: .*\"perl\",pid=" "$work/out" ||
        fail "the launcher does not say who holds port $port: $(cat "$work/out")"
done

[ $status -eq 0 ] && echo "launcher: its tests bind the fixed ports others hold; without namespaces it names the holders"
exit $status
