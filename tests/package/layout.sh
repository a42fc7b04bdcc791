#!/bin/sh
# What the packages put where, with which owner and mode; their control data.
#   layout.sh DEBS STAGE [desktop-file-validate]
set -u
debs=$1 stage=$2 validate=${3:-}
status=0
fail() {
    echo "FAIL: $*"
    status=1
}

# Every path of both packages: nothing else (no stand-in, no test) is shipped.
# The job desk's spool and job-log folders are set-gid and for the group
# alone, its other folders root's; nothing is world-writable, and only the two
# programs are executable.
serverbin=$(cups-config --serverbin 2>/dev/null || echo /usr/lib/cups)
serverbin=${serverbin#/}
# dpkg -x keeps the packages' owner only when run as root.
owner=root:root
[ "$(id -u)" -eq 0 ] || owner=$(id -un):$(id -gn)
expected=$(sed "s/ root:root / $owner /" <<LIST | sort -k3
drwxr-xr-x root:root etc
drwxr-xr-x root:root etc/xdg
drwxr-xr-x root:root etc/xdg/autostart
-rw-r--r-- root:root etc/xdg/autostart/spoolbay.desktop
drwxr-xr-x root:root usr
drwxr-xr-x root:root usr/lib
drwxr-xr-x root:root $serverbin
drwxr-xr-x root:root $serverbin/filter
-rwxr-xr-x root:root $serverbin/filter/rasterpress
drwxr-xr-x root:root usr/libexec
drwxr-xr-x root:root usr/libexec/spoolbay
-rwxr-xr-x root:root usr/libexec/spoolbay/Spoolbay
lrwxrwxrwx root:root usr/libexec/spoolbay/qt_zh_CN.qm -> ../../share/qt5/translations/qt_zh_CN.qm
lrwxrwxrwx root:root usr/libexec/spoolbay/qtbase_zh_CN.qm -> ../../share/qt5/translations/qtbase_zh_CN.qm
lrwxrwxrwx root:root usr/libexec/spoolbay/wqy-zenhei.ttf -> ../../share/fonts/truetype/wqy/wqy-zenhei.ttc
drwxr-xr-x root:root usr/share
drwxr-xr-x root:root usr/share/doc
drwxr-xr-x root:root usr/share/doc/printer-driver-porvik
-rw-r--r-- root:root usr/share/doc/printer-driver-porvik/changelog.gz
-rw-r--r-- root:root usr/share/doc/printer-driver-porvik/copyright
drwxr-xr-x root:root usr/share/doc/spoolbay
-rw-r--r-- root:root usr/share/doc/spoolbay/changelog.gz
-rw-r--r-- root:root usr/share/doc/spoolbay/copyright
drwxr-xr-x root:root usr/share/icons
drwxr-xr-x root:root usr/share/icons/hicolor
drwxr-xr-x root:root usr/share/icons/hicolor/32x32
drwxr-xr-x root:root usr/share/icons/hicolor/32x32/apps
-rw-r--r-- root:root usr/share/icons/hicolor/32x32/apps/spoolbay.png
drwxr-xr-x root:root usr/share/lintian
drwxr-xr-x root:root usr/share/lintian/overrides
-rw-r--r-- root:root usr/share/lintian/overrides/spoolbay
drwxr-xr-x root:root usr/share/ppd
drwxr-xr-x root:root usr/share/ppd/porvik
-rw-r--r-- root:root usr/share/ppd/porvik/jyx30.ppd
drwxr-xr-x root:root var
drwxr-xr-x root:root var/porvik
drwxr-xr-x root:root var/porvik/INSTALL
drwxr-xr-x root:root var/porvik/INSTALL/Log
drwxrws--- root:root var/porvik/SPOOL
drwxrws--- root:root var/porvik/data
LIST
)
actual=$(cd "$stage" && find . -mindepth 1 \( -type l -printf '%M %u:%g %P -> %l\n' \) -o \
    \( ! -type l -printf '%M %u:%g %P\n' \) | sort -k3)
if [ "$actual" != "$expected" ]; then
    fail "the staged tree differs from the expected one (- expected, + staged):"
    printf '%s\n' "$expected" >"$stage.expected"
    printf '%s\n' "$actual" >"$stage.actual"
    diff -u "$stage.expected" "$stage.actual" | tail -n +3
fi

# Installed, the program's folder links to the translation and the font of the
# machine's packages.
for link in "$stage"/usr/libexec/spoolbay/*; do
    [ -L "$link" ] || continue
    resolved=$(realpath -m "/usr/libexec/spoolbay/$(readlink "$link")")
    [ -f "$resolved" ] || fail "$(basename "$link") points to $resolved, which is missing"
done

# The autostart entry is valid and starts the installed program.
desktop=$stage/etc/xdg/autostart/spoolbay.desktop
if [ -n "$validate" ]; then
    "$validate" "$desktop" || fail "desktop-file-validate rejects the autostart entry"
fi
grep -qx 'Exec=sh -c "umask 002 && exec /usr/libexec/spoolbay/Spoolbay"' "$desktop" || fail "autostart Exec line"
grep -qx 'Icon=spoolbay' "$desktop" || fail "autostart Icon line"
# Once the package is removed (the entry, a conffile, stays) no session starts it.
grep -qx 'TryExec=/usr/libexec/spoolbay/Spoolbay' "$desktop" || fail "autostart TryExec line"

# Control data: Debian names and sections, dependencies found by shlibdeps and
# those it cannot see, the maintainer scripts that make the group.
field() { dpkg-deb -f "$1" "$2"; }
driver=$(ls "$debs"/printer-driver-porvik_*.deb) || fail "no printer-driver-porvik package"
jobdesk=$(ls "$debs"/spoolbay_*.deb) || fail "no spoolbay package"
[ "$(field "$driver" Section)" = text ] || fail "driver section"
[ "$(field "$jobdesk" Section)" = utils ] || fail "job desk section"
for dep in cups-filters libcups2 libjbig0; do
    field "$driver" Depends | grep -q "\\b$dep\\b" || fail "the driver does not depend on $dep"
done
for dep in libqt5core5a libqt5network5 libcrypto++8 libqt5sql5-sqlite qttranslations5-l10n fonts-wqy-zenhei adduser; do
    field "$jobdesk" Depends | grep -q "\\b$dep\\b" || fail "the job desk does not depend on $dep"
done
control=$(mktemp -d)
dpkg-deb -e "$jobdesk" "$control"
[ "$(cat "$control/conffiles")" = /etc/xdg/autostart/spoolbay.desktop ] || fail "conffiles"
for script in postinst postrm; do
    [ "$(stat -c %a "$control/$script")" = 755 ] || fail "$script is not 0755"
    sh -n "$control/$script" || fail "$script does not parse"
done
grep -q '^GROUP=porvik$' "$control/postinst" || fail "postinst group name"
grep -q 'addgroup --quiet --system "$GROUP"' "$control/postinst" || fail "postinst makes no system group"
rm -rf "$control"

[ $status -eq 0 ] && echo "layout: as expected"
exit $status
