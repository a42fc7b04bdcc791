#!/bin/sh
# Runs a test program inside its own Xvfb display with a real system tray (trayer).
# usage: run_tray.sh TEST_BINARY [args...]
set -u
if [ -z "${RUN_TRAY_INNER:-}" ]; then
  RUN_TRAY_INNER=1 exec xvfb-run -a -s '-screen 0 1024x768x24 -nolisten tcp' "$0" "$@"
fi
trayer --edge top --align right --widthtype request --height 24 --SetDockType true \
  --transparent false --tint 0x808080 >/dev/null 2>&1 &
tray=$!
# The tray needs no OpenGL; leaving the GL driver out keeps the sanitizer runs clean.
QT_QPA_PLATFORM=xcb QT_XCB_GL_INTEGRATION=none "$@"
rc=$?
kill "$tray" 2>/dev/null
wait "$tray" 2>/dev/null
exit $rc
