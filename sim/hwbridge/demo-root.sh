#!/usr/bin/env bash
# Lays out a root folder in which the filter finds the simulated status-monitor
# library, and a printer for QUEUE that answers the capability query with
# checksummed, encrypted pages.
#   sim/hwbridge/demo-root.sh BUILD_DIR ROOT QUEUE
# Then run the filter with RASTERPRESS_TEST_ROOT=ROOT HWBRIDGE_SIM_STATE=ROOT/hwbridge-state;
# ROOT/hwbridge-calls.log lists what the filter asked the library.
set -euo pipefail
build=${1:?build folder}; root=${2:?root folder}; queue=${3:?queue name}
mkdir -p "$root/usr/bin" "$root/tmp"
install -m 0755 "$build/lib/hwbridge.so" "$root/usr/bin/hwbridge.so"
cat > "$root/hwbridge-state" <<STATE
log=$root/hwbridge-calls.log
printer=$queue socket://127.0.0.2:9100
cap=10 01
cartridge=80
STATE
