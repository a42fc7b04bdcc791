# Sourced by the tests that run the job desk package's maintainer scripts for
# real: re-runs the test inside a private mount namespace where /etc and /var
# are throw-away copies, so the machine's own groups, dpkg database and /var
# stay untouched. Each run starts as on a machine that never had the package:
# no group porvik, no folder overrides of ours, /var/porvik as the package
# ships it.
#   . private_system.sh DEBS   ->  $work, $deb, $control (its control files),
#                                   $version, fail, $status
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
sed -i '/^porvik:/d' /etc/group
[ ! -f /etc/gshadow ] || sed -i '/^porvik:/d' /etc/gshadow
dpkg-statoverride --list '/var/porvik*' | while read -r _ _ _ path; do
    dpkg-statoverride --remove "$path"
done

control=$work/control
dpkg-deb -e "$deb" "$control"
version=$(dpkg-deb -f "$deb" Version)
