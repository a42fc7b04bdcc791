#!/bin/sh
# The job desk package's maintainer scripts, run for real but inside a private
# mount namespace where /etc and /var are throw-away copies: the machine's own
# groups, dpkg database and /var stay untouched.
#   maintainer.sh DEBS
set -u
debs=$1
if [ "${PORVIK_IN_NAMESPACE:-}" != 1 ]; then
    if [ "$(id -u)" -ne 0 ] || ! unshare -m true 2>/dev/null; then
        echo "skipped: needs root and a private mount namespace"
        exit 77
    fi
    exec env PORVIK_IN_NAMESPACE=1 unshare -m sh "$0" "$@"
fi

status=0
fail() {
    echo "FAIL: $*"
    status=1
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mount --make-rprivate /
cp -a /etc "$work/etc"
mkdir -p "$work/var/lib"
cp -a /var/lib/dpkg "$work/var/lib/"
deb=$(ls "$debs"/spoolbay_*.deb)
dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$work" ./var/porvik
mount --bind "$work/etc" /etc
mount --bind "$work/var" /var
# Each run starts as on a machine that never had the package, whatever this one
# holds: no group porvik and no folder overrides of ours in the copies.
sed -i '/^porvik:/d' /etc/group
[ ! -f /etc/gshadow ] || sed -i '/^porvik:/d' /etc/gshadow
dpkg-statoverride --list '/var/porvik*' | while read -r _ _ _ path; do
    dpkg-statoverride --remove "$path"
done

control=$work/control
dpkg-deb -e "$deb" "$control"
getent group porvik >/dev/null && fail "the group porvik exists before the install"

# Installed: the group exists and owns the folders; the lock and the log are
# there for every member. A second configure (an upgrade) changes nothing.
for run in install upgrade; do
    "$control/postinst" configure >"$work/out" 2>&1 || fail "postinst ($run): $(cat "$work/out")"
done
getent group porvik >/dev/null || fail "no group porvik"
gid=$(getent group porvik | cut -d: -f3)
[ -n "$gid" ] && [ "$gid" -lt 1000 ] || fail "porvik is no system group (gid $gid)"
for d in /var/porvik /var/porvik/INSTALL /var/porvik/INSTALL/Log /var/porvik/SPOOL /var/porvik/data; do
    [ "$(stat -c '%U:%G %a' "$d")" = "root:porvik 2775" ] || fail "$d is $(stat -c '%U:%G %a' "$d")"
    dpkg-statoverride --list "$d" | grep -qx "root porvik 2775 $d" || fail "no statoverride for $d"
done
for f in /var/porvik/INSTALL/serverlockfile /var/porvik/INSTALL/Log/Spoolbay.log; do
    [ "$(stat -c '%U:%G %a' "$f")" = "root:porvik 664" ] || fail "$f is $(stat -c '%U:%G %a' "$f")"
done

# Purged: the folder settings, the lock, the log and the empty folders go;
# a job log under data/ stays, and so does the group.
mkdir -p /var/porvik/data/192.168.1.20
: >/var/porvik/data/192.168.1.20/porvikdb.dll
"$control/postrm" purge >"$work/out" 2>&1 || fail "postrm purge: $(cat "$work/out")"
for f in /var/porvik/INSTALL/serverlockfile /var/porvik/INSTALL/Log/Spoolbay.log /var/porvik/SPOOL \
    /var/porvik/INSTALL; do
    [ -e "$f" ] && fail "$f is left after purge"
done
[ -f /var/porvik/data/192.168.1.20/porvikdb.dll ] || fail "purge removed a job log"
[ -z "$(dpkg-statoverride --list '/var/porvik*')" ] || fail "statoverrides left: $(dpkg-statoverride --list '/var/porvik*')"
getent group porvik >/dev/null || fail "purge removed the group"

[ $status -eq 0 ] && echo "maintainer scripts: group, folders, lock and log as expected; purge as expected"
exit $status
