#!/usr/bin/env bash
# `make screenshots`: a PNG of every screen of the real main window in docs/screenshots/ (on a
# virtual display when there is none).
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/scripts/wine-env.sh"
OUT="$ROOT/docs/screenshots"
mkdir -p "$OUT"

ORVANE_XVFB_SCREEN=1920x1200 orvane_virtual_display 160 190
xvfb=$ORVANE_XVFB_PID
wine cmd /c exit 0 </dev/null >/dev/null 2>&1
orvane_unmanaged_windows screenshots.exe
wine "$ROOT/build/client/bin/screenshots.exe" "$(winepath -w "$OUT")"
status=$?
[ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null

# The dashboard once more at 150 % (144 DPI) on a screen it fits, and on the two common screens that the
# unscaled window does not fit, where it shrinks to the work area: 1366 × 768 at 100 % and 1920 × 1080 at
# 150 %. Each on a display and in a copy of the prefix of its own, whose DPI is set before its wine
# session starts (so that no session of this prefix is disturbed).
desktop='HKCU\Control Panel\Desktop'
shoot_on() {  # SIZE DPI SUFFIX
  local work="$ROOT/build/screenshots-$1" display_pid
  rm -rf "$work"
  python3 "$ROOT/scripts/rooms-e2e" copy-prefix "$WINEPREFIX" "$work/prefix" || return 1
  (
    export ORVANE_WINEPREFIX="$work/prefix" WINEPREFIX="$work/prefix"
    unset DISPLAY
    ORVANE_XVFB_SCREEN=$1 orvane_start_xvfb 191 220 || exit 1
    display_pid=$ORVANE_XVFB_PID
    wine reg add "$desktop" /v LogPixels /t REG_DWORD /d "$2" /f </dev/null >/dev/null 2>&1
    # A session takes the DPI when it starts: the next one is started with it.
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    wine "$ROOT/build/client/bin/screenshots.exe" "$(winepath -w "$OUT")" --dashboard-only "$3"
    code=$?
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    kill "$display_pid" 2>/dev/null
    exit $code
  )
  local code=$?
  rm -rf "$work"
  return $code
}
shoot_on 1920x1200 144 -150 || status=1
shoot_on 1366x768 96 -1366x768 || status=1
shoot_on 1920x1080 144 -1920x1080-150 || status=1
exit $status
