#!/bin/sh
# The job desk from the staged tree, started as its autostart entry starts it,
# runs headless on the staged folders: it takes its lock (a second start gives
# way) and writes its log there, group-writable for the other members.
#   jobdesk.sh STAGE
set -u
stage=$1
prog=$stage/usr/libexec/spoolbay/Spoolbay
inst=$stage/var/porvik/INSTALL
log=$inst/Log/Spoolbay.log
export SPOOLBAY_TEST_ROOT="$stage" QT_QPA_PLATFORM=offscreen
rm -f "$inst/serverlockfile" "$log"

umask 022
exec_line=$(sed -n 's/^Exec=sh -c "\(.*\)"$/\1/p' "$stage/etc/xdg/autostart/spoolbay.desktop")
case $exec_line in
*" /usr/libexec/spoolbay/Spoolbay") ;;
*)
    echo "FAIL: unexpected Exec line: $exec_line"
    exit 1
    ;;
esac
sh -c "${exec_line% /usr/libexec/spoolbay/Spoolbay} $prog" >"$stage.jobdesk.out" 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null' EXIT
status=0
fail() {
    echo "FAIL: $*"
    status=1
}

i=0
while [ ! -s "$log" ] && [ $i -lt 150 ] && kill -0 "$pid" 2>/dev/null; do
    sleep 0.1
    i=$((i + 1))
done
kill -0 "$pid" 2>/dev/null || fail "the job desk exited: $(cat "$stage.jobdesk.out")"
[ -s "$log" ] || fail "no log at $log"
[ -f "$inst/serverlockfile" ] || fail "no lock file at $inst/serverlockfile"
[ "$(stat -c %a "$log")" = 664 ] || fail "the log is $(stat -c %a "$log"), not group-writable"

second=$(timeout 20 "$prog" 2>&1)
rc=$?
[ $rc -eq 0 ] || fail "a second start exited with $rc"
case $second in
*"lock file error"*) ;;
*) fail "a second start did not find the lock taken: $second" ;;
esac

echo "log:"
head -c 2000 "$log"
echo
[ $status -eq 0 ] && echo "job desk: started, locked and logged under $stage/var/porvik"
exit $status
