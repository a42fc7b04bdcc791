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

# A postinst that opens a FIFO of a member's would wait for ever.
configure() {
    timeout 60 "$control/postinst" configure "$@" >"$work/out" 2>&1 </dev/null ||
        fail "postinst configure $* failed ($?): $(cat "$work/out")"
}

# What every configure ends with, whatever it found: nothing a member may
# change in the folders of the converter tool, the lock and the log; spool and
# job logs for the group alone; the lock and the log real files of root's.
# /var/porvik is a folder, or the admin's link $tree_link.
expect_installed() {
    [ "$(readlink /var/porvik)" = "${tree_link:-}" ] || fail "$1: /var/porvik links to '$(readlink /var/porvik)'"
    for d in $root_dirs; do
        { [ "$d" = /var/porvik ] || [ ! -L "$d" ]; } && [ "$(stat -c '%U:%G %a' "$d/")" = "root:root 755" ] ||
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
[ ! -s "$work/out" ] || fail "a first install is not silent: $(cat "$work/out")"
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

member="setpriv --reuid=4001 --regid=4001 --groups=$gid"
outsider="setpriv --reuid=4002 --regid=4002 --clear-groups"

# Upgraded from 1.0.0, whose overrides gave all five folders to the group
# (2775), after a member (uid 4001) had put something of their choosing in
# place of an entry of the tree: a link to another user's file or folder (uid
# 4002's), a hard link to a file of their own, a FIFO that blocks whoever opens
# it. Root follows none of them, and what they name stays as it was.
mkdir -m 0700 /var/bob
printf 'bob' >/var/bob/notes
printf 'bob' >/var/bob-file
chmod 0600 /var/bob-file
chown -R 4002:4002 /var/bob /var/bob-file
printf 'alice' >/var/alice-file
chown 4001:4001 /var/alice-file
chmod 0600 /var/alice-file
# Owners, modes and contents, not link counts: a hard link to a file is gone
# once root replaces it.
others() {
    find /var/bob /var/bob-file /var/alice-file -printf '%p %u:%g %m %s\n' | sort
    cat /var/bob/notes /var/bob-file /var/alice-file
}
before=$(others)
while IFS='|' read -r what plant; do
    for d in $root_dirs $group_dirs; do
        dpkg-statoverride --remove "$d" 2>/dev/null
        dpkg-statoverride --update --add root porvik 2775 "$d"
    done
    $member sh -c "$plant" || fail "$what: the member could not plant it under 1.0.0: $plant"
    configure 1.0.0
    expect_installed "upgrade from 1.0.0 over $what"
    [ "$(others)" = "$before" ] || fail "$what: the upgrade changed another user's files: $(others)"
done <<TABLE
a link at the log to another user's file|ln -sf /var/bob-file $log
a hard link at the lock to a file of the member's|ln -f /var/alice-file $lock
a link at the log's folder to another user's folder|rm -rf /var/porvik/INSTALL/Log && ln -s /var/bob /var/porvik/INSTALL/Log
a link at the spool folder to another user's folder|rm -rf /var/porvik/SPOOL && ln -s /var/bob /var/porvik/SPOOL
a link at the job logs' folder to another user's folder|rm -rf /var/porvik/data && ln -s /var/bob /var/porvik/data
a FIFO at the lock|rm -f $lock && mkfifo $lock
TABLE

# What members made under 1.0.0 where only root may now make anything stays
# theirs: configure names each, one line each, whatever its name, and nothing
# the package or the admin puts there.
install -m 0755 /dev/null /var/porvik/INSTALL/pruvo
for d in $root_dirs; do
    chmod 2775 "$d"
    chgrp porvik "$d"
done
$member sh -c 'mkdir /var/porvik/x && : >/var/porvik/INSTALL/.hidden &&
    ln -s /etc/shadow "/var/porvik/INSTALL/$(printf "two\nlines")" && : >"/var/porvik/INSTALL/Log/Spoolbay.log 2"'
configure 1.0.0
expect_installed "upgrade from 1.0.0 over a member's entries"
for entry in "'/var/porvik/x' (directory, UNKNOWN:porvik)" "'/var/porvik/INSTALL/.hidden' (regular empty file, UNKNOWN:porvik)" \
    "'/var/porvik/INSTALL/two'\$'\\n''lines' -> '/etc/shadow' (symbolic link, UNKNOWN:porvik)" \
    "'/var/porvik/INSTALL/Log/Spoolbay.log 2' (regular empty file, UNKNOWN:porvik)"; do
    grep -qxF "spoolbay: $entry is not the package's: remove it unless you put it there" "$work/out" ||
        fail "configure does not name $entry: $(cat "$work/out")"
done
[ "$(wc -l <"$work/out")" -eq 4 ] || fail "configure names more than the member's entries: $(cat "$work/out")"
rm -rf /var/porvik/x /var/porvik/INSTALL/.hidden /var/porvik/INSTALL/two* "/var/porvik/INSTALL/Log/Spoolbay.log 2"
configure "$version"
[ ! -s "$work/out" ] || fail "configure warns with the tree as the package leaves it: $(cat "$work/out")"

# What a member of the group (uid 4001) and an outsider (uid 4002) can do, as
# those uids: "can" or "cannot", then the command.
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
# a job log under data/ and the converter tool stay, and so do the group and
# the folders that hold them.
mkdir -p /var/porvik/data/192.168.1.20
: >/var/porvik/data/192.168.1.20/porvikdb.dll
purge() {
    "$control/postrm" purge >"$work/out" 2>&1 || fail "postrm purge: $(cat "$work/out")"
    for f in $lock $log /var/porvik/INSTALL/Log /var/porvik/SPOOL; do
        [ -e "$f" ] && fail "$1: $f is left after purge"
    done
    [ -f /var/porvik/data/192.168.1.20/porvikdb.dll ] || fail "$1: purge removed a job log"
    [ -f /var/porvik/INSTALL/pruvo ] || fail "$1: purge removed the converter tool"
    [ -z "$(dpkg-statoverride --list '/var/porvik*')" ] ||
        fail "$1: statoverrides left: $(dpkg-statoverride --list '/var/porvik*')"
    getent group porvik >/dev/null || fail "$1: purge removed the group"
}
purge "purge"

# The admin moved the tree to another disk and left a link at /var/porvik: the
# next configure keeps the link and sets the tree up in its folder, job logs
# and converter tool kept; purge leaves the link.
mkdir /var/disk2
cp -a /var/porvik /var/disk2/porvik
rm -rf /var/porvik
ln -s /var/disk2/porvik /var/porvik
tree_link=/var/disk2/porvik
configure "$version"
expect_installed "the admin's link at /var/porvik"
[ ! -s "$work/out" ] || fail "configure warns about the admin's link: $(cat "$work/out")"
[ -d /var/disk2/porvik/SPOOL ] || fail "the tree is not set up in the link's folder"
purge "purge with the admin's link at /var/porvik"
[ "$(readlink /var/porvik)" = /var/disk2/porvik ] || fail "purge removed the admin's link"

# A link at /var/porvik to a folder that others can change is not followed: a
# new folder takes its place, and configure says so.
tree_link=
while IFS='|' read -r what target setup; do
    rm -rf /var/porvik
    sh -c "$setup"
    ln -s "$target" /var/porvik
    configure "$version"
    expect_installed "a link at /var/porvik to $what"
    grep -qxF "spoolbay: /var/porvik links to $target, not to a folder of root's that only root can change: a new folder takes its place" \
        "$work/out" || fail "a link at /var/porvik to $what: configure said $(cat "$work/out")"
    [ "$(others)" = "$before" ] || fail "a link at /var/porvik to $what: another user's files changed: $(others)"
done <<'TABLE'
another user's folder|/var/bob|:
a folder of root's in a folder anyone can write|/var/open/porvik|mkdir -m 1777 /var/open && mkdir /var/open/porvik
TABLE

[ $status -eq 0 ] && echo "maintainer scripts: owners, modes and overrides as expected after install, reinstall," \
    "hand-made lock and log, upgrades from 1.0.0 and with the admin's link; members and outsiders as expected;" \
    "purge as expected"
exit $status
