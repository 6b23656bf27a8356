#!/usr/bin/env bash
# `make screenshots`: a PNG of every screen of the real main window in docs/screenshots/ (on a
# virtual display when there is none).
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/scripts/wine-env.sh"
OUT="$ROOT/docs/screenshots"
mkdir -p "$OUT"

# Large enough for the dashboard at 150 % (1770 × 1140).
ORVANE_XVFB_SCREEN=1920x1200 orvane_virtual_display 160 190
xvfb=$ORVANE_XVFB_PID
wine cmd /c exit 0 </dev/null >/dev/null 2>&1
orvane_unmanaged_windows screenshots.exe
wine "$ROOT/build/client/bin/screenshots.exe" "$(winepath -w "$OUT")"
status=$?
# The dashboard once more on a display of 150 % (144 DPI): the prefix gives that DPI to this one run.
desktop='HKCU\Control Panel\Desktop'
wine reg add "$desktop" /v LogPixels /t REG_DWORD /d 144 /f </dev/null >/dev/null 2>&1
wine "$ROOT/build/client/bin/screenshots.exe" "$(winepath -w "$OUT")" --dashboard-only -150 || status=1
wine reg delete "$desktop" /v LogPixels /f </dev/null >/dev/null 2>&1
[ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
exit $status
