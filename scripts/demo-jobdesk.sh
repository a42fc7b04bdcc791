#!/bin/bash
# Sends one spool file through the job desk to the simulated printer.
#
# usage: scripts/demo-jobdesk.sh PRNFILE OUTDIR [XMLFILE]
#   PRNFILE  a PJL job as our raster filter writes it; its queue name is the
#            printer's address: the simulated printer listens on it when it is
#            a loopback address (127.0.0.x, e.g. 127.0.0.2), else the demo stops
#   OUTDIR   made if missing; gets root/ (the job desk's relocated folders),
#            printer/ (what the printer received), logs, and received.prn
#   XMLFILE  the job's .xml companion (default: an empty one; the converter
#            stand-in fills it)
# Environment: BUILD_DIR (default build), DEMO_TIMEOUT seconds (default 60).
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
bin=$here/${BUILD_DIR:-build}/bin
timeout=${DEMO_TIMEOUT:-60}

if [ $# -lt 2 ] || [ ! -f "$1" ]; then
  echo "usage: $0 PRNFILE OUTDIR [XMLFILE]" >&2
  exit 2
fi
prn=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
out=$2
xml=${3:-}
mkdir -p "$out"
out=$(cd "$out" && pwd)
# The queue is the fourth comment after the filter's version line.
host=$(head -c 65536 "$prn" | tr -d '\r\000' | awk '
  /^@PJL COMMENT Filter Version,/ { v = 1; n = 0; next }
  v && /^@PJL COMMENT / { if (++n == 4) { sub(/^@PJL COMMENT /, ""); print; exit } }')
if [ -z "$host" ]; then
  echo "demo-jobdesk: $1 has no job header with a queue name (not a job of our filter?)" >&2
  exit 2
fi
if ! printf '%s' "$host" | grep -qE '^127\.0\.0\.([1-9]|[1-9][0-9]|1[0-9][0-9]|2[0-4][0-9]|25[0-4])$'; then
  echo "demo-jobdesk: the job was printed to queue '$host'; print it to a queue named 127.0.0.2" \
    "so that it goes to the simulated printer on loopback" >&2
  exit 2
fi
for b in Spoolbay printer-web pruvo; do
  [ -x "$bin/$b" ] || { echo "demo-jobdesk: $bin/$b missing (build first)" >&2; exit 2; }
done

root=$out/root
rm -rf "$root" "$out/printer" "$out/received.prn"
mkdir -p "$root/var/porvik/INSTALL/Log" "$root/var/porvik/SPOOL" "$root/var/porvik/data"
cp "$bin/pruvo" "$root/var/porvik/INSTALL/pruvo"
log=$root/var/porvik/INSTALL/Log/Spoolbay.log
spool=$root/var/porvik/SPOOL
events=$out/printer/events.log

printer_pid=""
desk_pid=""
stop_all() {
  [ -n "$desk_pid" ] && kill "$desk_pid" 2>/dev/null && wait "$desk_pid" 2>/dev/null
  [ -n "$printer_pid" ] && kill "$printer_pid" 2>/dev/null && wait "$printer_pid" 2>/dev/null
  desk_pid=""
  printer_pid=""
}
trap stop_all EXIT INT TERM

# wait_for SECONDS COMMAND...: polls the command every 0.2 s.
wait_for() {
  local limit=$(( $1 * 5 )); shift
  for _ in $(seq "$limit"); do
    "$@" && return 0
    sleep 0.2
  done
  return 1
}

"$bin/printer-web" --host "$host" --store "$out/printer" --state-interval-ms 1000 \
  >"$out/printer-web.log" 2>&1 &
printer_pid=$!
if ! wait_for 10 grep -qs "listening on" "$out/printer-web.log"; then
  echo "demo-jobdesk: the simulated printer did not start:" >&2
  cat "$out/printer-web.log" >&2
  exit 1
fi

# The job desk binds the fixed settings port; the tests that use it on this
# network take this lock, so wait for them instead of taking the port from a
# running test.
exec 9<>"${TMPDIR:-/tmp}/spoolbay-tests-port-18020-net$(stat -L -c %i /proc/self/ns/net).lock"
if ! flock -n 9; then
  echo "demo-jobdesk: waiting for running tests to release the settings port"
  flock -w 300 9 || { echo "demo-jobdesk: the settings port stayed in use" >&2; exit 1; }
fi
# Its private copies of the job go to a cache of the demo's own, not the user's.
mkdir -p -m 0700 "$out/cache"
(cd "$out" && SPOOLBAY_TEST_ROOT=$root XDG_CACHE_HOME=$out/cache QT_QPA_PLATFORM=offscreen exec 9<&- "$bin/Spoolbay") \
  >"$out/spoolbay.out" 2>&1 &
desk_pid=$!
if ! wait_for 10 grep -qs "context  : hello" "$log"; then
  echo "demo-jobdesk: Spoolbay did not start:" >&2
  cat "$out/spoolbay.out" >&2
  exit 1
fi

# The data first, then the companion: the listener takes a file once its .xml is there.
name=$(basename "$prn")
cp "$prn" "$spool/$name.part" && mv "$spool/$name.part" "$spool/$name"
if [ -n "$xml" ]; then cp "$xml" "$spool/$name.xml"; else : >"$spool/$name.xml"; fi
echo "demo-jobdesk: dropped $name ($(stat -c %s "$prn") bytes) into the spool folder"

final() { grep -qE "state=(Completed|Cancelled|Failure)" "$events" 2>/dev/null; }
result=0
if ! wait_for "$timeout" grep -qs "part=end" "$events"; then
  echo "demo-jobdesk: no upload reached the printer within ${timeout}s" >&2
  result=1
elif ! wait_for "$timeout" final; then
  echo "demo-jobdesk: the job reached no final state within ${timeout}s" >&2
  result=1
fi
# Let the job desk finish its bookkeeping (job log, status removal).
wait_for 5 grep -qs "removeJobStatus" "$events"
sleep 0.5
stop_all

jobdir=$(grep -m1 "part=end" "$events" 2>/dev/null | sed -n 's/^print job=\(.*\) part=end .*/\1/p')
echo "---- summary"
if [ -n "$jobdir" ] && [ -d "$out/printer/$jobdir" ]; then
  cp "$out/printer/$jobdir/data.prn" "$out/received.prn" 2>/dev/null || : >"$out/received.prn"
  echo "job id:           $jobdir"
  echo "parts uploaded:   $(wc -l <"$out/printer/$jobdir/parts.txt") ($(cut -d' ' -f1 "$out/printer/$jobdir/parts.txt" | tr '\n' ' '))"
  if cmp -s "$prn" "$out/received.prn"; then
    echo "job data:         $(stat -c %s "$out/received.prn") bytes, identical to $name"
  else
    echo "job data:         $(stat -c %s "$out/received.prn") bytes, DIFFERS from $name"
    result=1
  fi
  ticket=$out/printer/$jobdir/ticket-end.xml
  echo "ticket:           $(grep -o '</[A-Za-z]*>' "$ticket" 2>/dev/null | grep -vc '</Attribute>') elements, JobID=$(sed -n 's:.*<JobID>\(.*\)</JobID>.*:\1:p' "$ticket" | head -1), FileName=$(sed -n 's:.*<FileName>\(.*\)</FileName>.*:\1:p' "$ticket" | head -1)"
else
  echo "job id:           none (nothing uploaded)"
fi
states=$(sed -n 's/^getJobStatus .* state=\(.*\)$/\1/p' "$events" 2>/dev/null | uniq | tr '\n' ' ')
echo "states seen:      ${states:-none}"
echo "printer requests: $(cut -d' ' -f1 "$events" 2>/dev/null | sort | uniq -c | awk '{printf "%s %s, ", $2, $1}' | sed 's/, $//')"
db=$(ls "$root"/var/porvik/data/*/porvikdb.dll 2>/dev/null | head -1)
if [ -n "$db" ] && command -v sqlite3 >/dev/null; then
  echo "job log row:      $(sqlite3 -separator ' | ' "$db" 'select JobName, CreateTime, JobDoneTime, Copies, PageCount, DeviceIP, Result, JobInfo from R_JobInfo' | tail -1)"
else
  echo "job log row:      none"
fi
left=$(ls -A "$spool" | wc -l)
echo "spool folder:     $left file(s) left"
echo "logs:             $log, $out/printer-web.log"
exit $result
