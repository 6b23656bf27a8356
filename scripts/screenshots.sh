#!/usr/bin/env bash
# `make screenshots`: a PNG of every screen of the real main window in docs/screenshots/ (on a
# virtual display when there is none).
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/scripts/wine-env.sh"
OUT="$ROOT/docs/screenshots"
mkdir -p "$OUT"

orvane_virtual_display 160 190
xvfb=$ORVANE_XVFB_PID
wine cmd /c exit 0 </dev/null >/dev/null 2>&1
orvane_unmanaged_windows screenshots.exe
wine "$ROOT/build/client/bin/screenshots.exe" "$(winepath -w "$OUT")"
status=$?
[ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
exit $status
