#!/bin/sh
# Runs a test program inside its own Xvfb display with a real system tray (trayer).
# usage: run_tray.sh TEST_BINARY [args...]
set -u
# Xvfb picks a free display itself and reports it (-displayfd): several test
# runs starting at once never race for the same display number.
tmp=$(mktemp -d) || exit 1
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$tmp/display" >"$tmp/xvfb.log" 2>&1 &
xvfb=$!
cleanup() {
  [ -n "${tray:-}" ] && kill "$tray" 2>/dev/null && wait "$tray" 2>/dev/null
  kill "$xvfb" 2>/dev/null
  wait "$xvfb" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
display=""
for _ in $(seq 300); do
  display=$(cat "$tmp/display" 2>/dev/null)
  [ -n "$display" ] && break
  kill -0 "$xvfb" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$display" ]; then
  echo "run_tray.sh: Xvfb did not start" >&2
  cat "$tmp/xvfb.log" >&2
  exit 1
fi
export DISPLAY=":$display"
unset XAUTHORITY
trayer --edge top --align right --widthtype request --height 24 --SetDockType true \
  --transparent false --tint 0x808080 >/dev/null 2>&1 &
tray=$!
# The tray needs no OpenGL; leaving the GL driver out keeps the sanitizer runs clean.
QT_QPA_PLATFORM=xcb QT_XCB_GL_INTEGRATION=none "$@"
rc=$?
exit $rc
