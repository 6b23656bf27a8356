#!/usr/bin/env bash
# Runs every test: the reference service's native tests, then the client's tests under wine on one
# virtual display with one warm wine server.
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/scripts/wine-env.sh"
status=0

echo "== reference service tests =="
if [ -f "$ROOT/build/service/CTestTestfile.cmake" ]; then
  ctest --test-dir "$ROOT/build/service" --output-on-failure || status=1
fi

echo "== client tests (wine) =="
orvane_virtual_display 90 120
started_xvfb=$ORVANE_XVFB_PID
# Is a wine server already running for this prefix? (Its working folder is named after the prefix's
# device and inode.) Only a server this run started is stopped at the end.
prefix_server_running() {
  local id p
  id=$(printf 'server-%x-%x' $(stat -c '%d %i' "$WINEPREFIX"))
  for p in $(pgrep -f wineserver); do
    [[ "$(readlink "/proc/$p/cwd" 2>/dev/null)" == */"$id" ]] && return 0
  done
  return 1
}
started_wineserver=""
prefix_server_running || started_wineserver=1
wineserver -p
# Warm wine up with its output detached, so its background services never hold ctest's pipes.
wine cmd /c exit 0 </dev/null >/dev/null 2>&1

names=()
for exe in "$ROOT"/build/client/bin/*_test.exe; do [ -e "$exe" ] && names+=("$(basename "$exe")"); done
orvane_unmanaged_windows "${names[@]}"

ctest --test-dir "$ROOT/build/client" --output-on-failure || status=1

if [ -n "$started_wineserver" ]; then wineserver -k 2>/dev/null || true; fi
if [ -n "$started_xvfb" ]; then kill "$started_xvfb" 2>/dev/null || true; fi
exit $status
