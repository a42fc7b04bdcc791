#!/bin/sh
# The sample backend of the README, taken from the README as an admin copies
# it and run as CUPS runs it (as root) on the installed folders, against what
# a member of the group can plant in the spool folder at a job's predictable
# names: the job and its companion land in the spool folder, and nothing
# lands where a member's link points.
#   readme_backend.sh DEBS README
. "$(dirname "$0")/private_system.sh"
readme=$2

"$control/postinst" configure >"$work/out" 2>&1 || fail "postinst configure: $(cat "$work/out")"

# The indented block that starts with the README's only "#!/bin/sh" line.
backend=$work/porvikspool
awk '/^    #!\/bin\/sh$/ { on = 1 }
     on && !/^    / && !/^$/ { exit }
     on { sub(/^    /, ""); print }' "$readme" >"$backend"
chmod 0700 "$backend"
grep -q '^job=/var/porvik/SPOOL/' "$backend" || {
    echo "FAIL: no sample backend found in $readme"
    exit 1
}

gid=$(getent group porvik | cut -d: -f3)
member="setpriv --reuid=4001 --regid=4001 --groups=$gid"
mkdir -m 0700 /var/alice
chown 4001:4001 /var/alice
spool=/var/porvik/SPOOL

# job id|what the member plants, as the member|0: handed over, 1: the backend fails
while IFS='|' read -r id plant expect; do
    $member sh -c "$plant" || fail "job $id: the member could not plant: $plant"
    printf 'job %s' "$id" | "$backend" "$id" alice document.pdf 1 '' >"$work/out" 2>&1
    rc=$?
    job=$spool/cups$id.pcl
    if [ "$expect" = 0 ]; then
        [ $rc -eq 0 ] || fail "job $id: the backend failed ($rc): $(cat "$work/out")"
        for f in "$job" "$job.xml"; do
            [ -f "$f" ] && [ ! -L "$f" ] && [ "$(stat -c '%U:%G %a' "$f")" = "root:porvik 660" ] ||
                fail "job $id: $f is $(stat -c '%F %U:%G %a' "$f" 2>&1)"
        done
        [ "$(cat "$job" 2>/dev/null)" = "job $id" ] || fail "job $id: the job file does not hold the job"
        [ ! -s "$job.xml" ] || fail "job $id: the companion is not empty"
    else
        [ $rc -ne 0 ] || fail "job $id: the backend handed the job over through a folder"
        [ -z "$(ls -A "$job")" ] || fail "job $id: the member's folder at the job's name got $(ls -A "$job" | tr "\n" " ")"
        [ ! -e "$job.xml" ] || fail "job $id: a companion without its job"
    fi
    [ -z "$(ls -A /var/alice)" ] || fail "job $id: the member's folder got $(ls -A /var/alice | tr "\n" " ")"
    [ -z "$(find /var/porvik -maxdepth 1 -name '.spool.*')" ] || fail "job $id: a temporary file is left"
    rm -rf "$job" "$job.xml" /var/alice/* /var/alice/.[!.]*
done <<TABLE
41|:|0
42|ln -s /var/alice $spool/cups42.pcl|0
43|ln -s /var/alice $spool/cups43.pcl.xml|0
44|ln -s /var/alice $spool/cups44.pcl && ln -s /var/alice $spool/cups44.pcl.xml|0
45|mkdir $spool/cups45.pcl|1
TABLE

[ $status -eq 0 ] && echo "README backend: jobs and companions land in the spool folder whatever a member links there"
exit $status
