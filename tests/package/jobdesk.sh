#!/bin/sh
# The job desk from the staged tree, started as its autostart entry starts it
# in a member's session, runs headless on the staged folders with the lock and
# the log as postinst makes them (root's, for the group: 0660): it takes the
# lock (another member's start gives way) and writes the log, and both stay
# closed to everyone outside the group.
#   jobdesk.sh STAGE
set -u
stage=$1
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: starting the job desk as members of a group needs root"
    exit 77
fi
prog=$stage/usr/libexec/spoolbay/Spoolbay
porvik=$stage/var/porvik
lock=$porvik/INSTALL/serverlockfile
log=$porvik/INSTALL/Log/Spoolbay.log
export SPOOLBAY_TEST_ROOT="$stage" QT_QPA_PLATFORM=offscreen

# As postinst leaves them, with a group of the test's own (uids and gids
# nobody on the machine has).
group=4300
for d in "$porvik/SPOOL" "$porvik/data"; do
    chown root:$group "$d"
    chmod 2770 "$d"
done
for f in "$lock" "$log"; do
    rm -f "$f"
    install -m 0660 -o root -g $group /dev/null "$f"
done
# as_member UID COMMAND...: runs COMMAND in that member's session, with a home
# and runtime folder of its own. Called in a subshell only: it ends in exec.
as_member() {
    home=$stage.home-$1
    rm -rf "$home"
    install -d -m 0700 -o "$1" -g "$1" "$home"
    uid=$1
    shift
    exec env HOME="$home" XDG_RUNTIME_DIR="$home" setpriv --reuid=$uid --regid=$uid --groups=$group "$@"
}

umask 022
exec_line=$(sed -n 's/^Exec=sh -c "\(.*\)"$/\1/p' "$stage/etc/xdg/autostart/spoolbay.desktop")
case $exec_line in
*" /usr/libexec/spoolbay/Spoolbay") ;;
*)
    echo "FAIL: unexpected Exec line: $exec_line"
    exit 1
    ;;
esac
as_member 4001 sh -c "${exec_line% /usr/libexec/spoolbay/Spoolbay} $prog" >"$stage.jobdesk.out" 2>&1 &
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
[ -s "$log" ] || fail "the member's job desk wrote no log at $log"
for f in "$lock" "$log"; do
    [ -f "$f" ] && [ "$(stat -c '%u:%g %a' "$f")" = "0:$group 660" ] ||
        fail "$f is $(stat -c '%F %u:%g %a' "$f" 2>&1), not as postinst made it"
done

second=$(as_member 4002 timeout 20 "$prog" 2>&1)
rc=$?
[ $rc -eq 0 ] || fail "another member's start exited with $rc"
case $second in
*"lock file error"*) ;;
*) fail "another member's start did not find the lock taken: $second" ;;
esac

echo "log:"
head -c 2000 "$log"
echo
[ $status -eq 0 ] && echo "job desk: started by a member, locked and logged under $stage/var/porvik"
exit $status
