#!/bin/sh
# The job desk package's maintainer scripts, run for real on throw-away copies
# of /etc and /var.
#   maintainer.sh DEBS
. "$(dirname "$0")/private_system.sh"

getent group porvik >/dev/null && fail "the group porvik exists before the install"

root_dirs="/var/porvik /var/porvik/INSTALL /var/porvik/INSTALL/Log"
group_dirs="/var/porvik/SPOOL /var/porvik/data"
lock=/var/porvik/INSTALL/serverlockfile
log=/var/porvik/INSTALL/Log/Spoolbay.log

configure() {
    "$control/postinst" configure "$@" >"$work/out" 2>&1 || fail "postinst configure $*: $(cat "$work/out")"
}

# What every configure ends with, whatever it found: nothing a member may
# change in the folders of the converter tool, the lock and the log; spool and
# job logs for the group alone; the lock and the log real files of root's.
expect_installed() {
    for d in $root_dirs; do
        [ ! -L "$d" ] && [ "$(stat -c '%U:%G %a' "$d")" = "root:root 755" ] ||
            fail "$1: $d is $(stat -c '%F %U:%G %a' "$d")"
        [ -z "$(dpkg-statoverride --list "$d")" ] || fail "$1: override left: $(dpkg-statoverride --list "$d")"
    done
    for d in $group_dirs; do
        [ ! -L "$d" ] && [ "$(stat -c '%U:%G %a' "$d")" = "root:porvik 2770" ] ||
            fail "$1: $d is $(stat -c '%F %U:%G %a' "$d")"
        [ "$(dpkg-statoverride --list "$d")" = "root porvik 2770 $d" ] ||
            fail "$1: override for $d: $(dpkg-statoverride --list "$d")"
    done
    for f in $lock $log; do
        [ -f "$f" ] && [ ! -L "$f" ] && [ "$(stat -c '%U:%G %a %h' "$f")" = "root:porvik 660 1" ] ||
            fail "$1: $f is $(stat -c '%F %U:%G %a, %h links' "$f")"
    done
}

# Installed on a machine without the group: it is made, as a system group.
configure
expect_installed "install"
gid=$(getent group porvik | cut -d: -f3)
[ -n "$gid" ] && [ "$gid" -lt 1000 ] || fail "porvik is no system group (gid $gid)"

# Reinstalled: the same state, and the log keeps what it holds.
echo "[10:00:00]earlier line" >>$log
configure "$version"
expect_installed "reinstall"
grep -q "earlier line" $log || fail "a reinstall emptied the log"

# Over a lock and a log made by hand before the package, root:root 0644.
chown root:root $lock $log
chmod 0644 $lock $log
configure "$version"
expect_installed "hand-made lock and log"

# Upgraded from 1.0.0, whose overrides gave all five folders to the group
# (2775), and where a member had meanwhile replaced the log by a link to a file
# of another member's and the lock by a hard link to one: root follows neither.
for d in $root_dirs $group_dirs; do
    dpkg-statoverride --remove "$d" 2>/dev/null
    dpkg-statoverride --update --add root porvik 2775 "$d"
done
printf 'alice' >/var/alice-notes
printf 'alice' >/var/alice-lock
chown 4001:4001 /var/alice-notes /var/alice-lock
chmod 0600 /var/alice-notes /var/alice-lock
rm -f $log $lock
ln -s /var/alice-notes $log
ln /var/alice-lock $lock
configure 1.0.0
expect_installed "upgrade from 1.0.0"
for f in /var/alice-notes /var/alice-lock; do
    [ "$(stat -c '%u:%g %a' "$f") $(cat "$f")" = "4001:4001 600 alice" ] ||
        fail "the upgrade changed $f: $(stat -c '%u:%g %a' "$f")"
done

# ... or had put a link to a folder of his own in place of the log's folder.
mkdir -m 0700 /var/bob
: >/var/bob/Spoolbay.log
chown -R 4002:4002 /var/bob
rm -rf /var/porvik/INSTALL/Log
ln -s /var/bob /var/porvik/INSTALL/Log
configure 1.0.0
expect_installed "upgrade over a linked log folder"
[ "$(stat -c '%u %a' /var/bob) $(stat -c %u /var/bob/Spoolbay.log)" = "4002 700 4002" ] ||
    fail "the upgrade changed the member's folder"

# What a member of the group (uid 4001) and an outsider (uid 4002) can do, as
# those uids: "can" or "cannot", then the command.
member="setpriv --reuid=4001 --regid=4001 --groups=$gid"
outsider="setpriv --reuid=4002 --regid=4002 --clear-groups"
while IFS='|' read -r who expect cmd; do
    case $who in
    member) run=$member ;;
    outsider) run=$outsider ;;
    esac
    if $run sh -c "$cmd" >/dev/null 2>&1; then
        [ "$expect" = can ] || fail "$who can: $cmd"
    else
        [ "$expect" = cannot ] || fail "$who cannot: $cmd"
    fi
done <<'TABLE'
member|can|umask 022 && echo job >/var/porvik/SPOOL/a.pcl && mv /var/porvik/SPOOL/a.pcl /var/porvik/SPOOL/b.pcl
member|can|mkdir /var/porvik/data/192.168.1.20 && echo log >/var/porvik/data/192.168.1.20/porvikdb.dll
member|can|exec 3>>/var/porvik/INSTALL/serverlockfile
member|can|echo line >>/var/porvik/INSTALL/Log/Spoolbay.log
member|cannot|: >/var/porvik/x
member|cannot|: >/var/porvik/INSTALL/pruvo
member|cannot|: >/var/porvik/INSTALL/Log/x
member|cannot|mv /var/porvik/INSTALL /var/porvik/I
member|cannot|mkdir /var/porvik/I
member|cannot|mv /var/porvik/INSTALL/Log /var/porvik/INSTALL/L
member|cannot|ln -sf /tmp/x /var/porvik/INSTALL/Log/Spoolbay.log
member|cannot|rm -f /var/porvik/INSTALL/serverlockfile
member|cannot|chmod 0666 /var/porvik/INSTALL/Log/Spoolbay.log
member|cannot|mv /var/porvik/SPOOL /var/porvik/S
outsider|cannot|ls /var/porvik/SPOOL
outsider|cannot|cat /var/porvik/SPOOL/b.pcl
outsider|cannot|: >/var/porvik/SPOOL/c.pcl
outsider|cannot|ls /var/porvik/data
outsider|cannot|cat /var/porvik/data/192.168.1.20/porvikdb.dll
outsider|cannot|cat /var/porvik/INSTALL/Log/Spoolbay.log
outsider|cannot|exec 3>>/var/porvik/INSTALL/serverlockfile
outsider|cannot|exec 3>>/var/porvik/INSTALL/Log/Spoolbay.log
TABLE
# What a member makes in the set-gid folders belongs to the group.
for f in /var/porvik/SPOOL/b.pcl /var/porvik/data/192.168.1.20; do
    [ "$(stat -c %G "$f")" = porvik ] || fail "$f is in group $(stat -c %G "$f")"
done
rm -f /var/porvik/SPOOL/b.pcl

# Purged: the folder settings, the lock, the log and the empty folders go;
# a job log under data/ stays, and so does the group.
mkdir -p /var/porvik/data/192.168.1.20
: >/var/porvik/data/192.168.1.20/porvikdb.dll
"$control/postrm" purge >"$work/out" 2>&1 || fail "postrm purge: $(cat "$work/out")"
for f in $lock $log /var/porvik/SPOOL /var/porvik/INSTALL; do
    [ -e "$f" ] && fail "$f is left after purge"
done
[ -f /var/porvik/data/192.168.1.20/porvikdb.dll ] || fail "purge removed a job log"
[ -z "$(dpkg-statoverride --list '/var/porvik*')" ] || fail "statoverrides left: $(dpkg-statoverride --list '/var/porvik*')"
getent group porvik >/dev/null || fail "purge removed the group"

[ $status -eq 0 ] && echo "maintainer scripts: owners, modes and overrides as expected after install, reinstall," \
    "hand-made lock and log and upgrades from 1.0.0; members and outsiders as expected; purge as expected"
exit $status
