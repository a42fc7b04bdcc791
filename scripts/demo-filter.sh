#!/usr/bin/env bash
# Prints a real document through the filter and decodes what the printer would
# receive:  scripts/demo-filter.sh OUTDIR [BUILD_DIR]
#   OUTDIR/job.prn          the PJL job rasterpress wrote
#   OUTDIR/pages/*.png      the decoded pages
#   OUTDIR/filter.log       the filter's standard error
# The filter finds the simulated status-monitor library in a private root
# under OUTDIR, so its pages come out checksummed and encrypted.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=${1:?output folder}
build=${2:-$here/build}
mkdir -p "$out"
out=$(cd "$out" && pwd)
queue=127.0.0.2
ppd=$here/filter/jyx30.ppd
doc=/usr/share/doc/libtasn1-doc/libtasn1.pdf
[ -r "$doc" ] || doc=/usr/share/cups/data/default-testpage.pdf

root=$out/root
rm -rf "$root" "$out/pages"
mkdir -p "$root/tmp" "$out/pages"
if [ -x "$here/sim/hwbridge/demo-root.sh" ] && [ -f "$build/lib/hwbridge.so" ]; then
  "$here/sim/hwbridge/demo-root.sh" "$build" "$root" "$queue" > /dev/null
fi

# Four pages, two-sided, raster made by the real CUPS filter chain and piped on.
cupsfilter -p "$ppd" -m application/vnd.cups-raster -o page-ranges=1-4 \
    -o Duplex=DuplexNoTumble "$doc" 2> "$out/cupsfilter.log" |
  env RASTERPRESS_TEST_ROOT="$root" HWBRIDGE_SIM_STATE="$root/hwbridge-state" \
      PPD="$ppd" CUPS_SERVER=127.0.0.1:1 \
      bash -c 'exec -a "$0" "$1" 42 demo "$2" 1 ""' "$queue" "$build/bin/rasterpress" "$(basename "$doc")" \
      > "$out/job.prn" 2> "$out/filter.log"

echo "filter: $(stat -c %s "$out/job.prn") bytes of PJL job in $out/job.prn"
grep -a -c '^ERROR:' "$out/filter.log" > /dev/null && grep -a '^ERROR:' "$out/filter.log" || true
"$build/bin/qzgdi-decode" --png "$out/pages" "$out/job.prn" > "$out/decode.txt"
grep -a '^pjl: @PJL SET \(DUPLEX\|ENCRYPTION\|RESOLUTION\)' "$out/decode.txt" | sed 's/^pjl: /header: /'
grep -a '^page ' "$out/decode.txt" | sed 's/ datasize=.*blackDots=/ blackDots=/'
echo "decoded pages: $(ls "$out/pages" | wc -l) PNG files in $out/pages"
