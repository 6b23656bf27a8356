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

# `make run` as a newcomer runs it, without a display; before the client tests, because each of its
# cases starts and ends a wine session of its own. Its ports lie 50 above the client tests' ports, so
# that test runs of other checkouts on this machine use other ones.
echo "== make run without a display =="
if [ -f "$ROOT/build/dist/Orvane.exe" ] && [ -x "$ROOT/build/service/orvane-service" ]; then
  cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$ROOT/build/client/CMakeCache.txt" 2>/dev/null; }
  test_port=$(cache_value ORVANE_TEST_PORT)
  test_ntp_port=$(cache_value ORVANE_TEST_NTP_PORT)
  "$ROOT/scripts/test-run" $((${test_port:-28443} + 50)) $((${test_ntp_port:-28123} + 50)) || status=1
fi

echo "== client tests (wine) =="
orvane_virtual_display 90 129
started_xvfb=$ORVANE_XVFB_PID
# Only a wine server this run started is stopped at the end.
started_wineserver=""
orvane_wineserver_pid >/dev/null || started_wineserver=1
wineserver -p
# Warm wine up with its output detached, so its background services never hold ctest's pipes.
wine cmd /c exit 0 </dev/null >/dev/null 2>&1

names=(target-helper.exe)
for exe in "$ROOT"/build/client/bin/*_test.exe; do [ -e "$exe" ] && names+=("$(basename "$exe")"); done
orvane_unmanaged_windows "${names[@]}"

ctest --test-dir "$ROOT/build/client" --output-on-failure || status=1

if [ -n "$started_wineserver" ]; then wineserver -k 2>/dev/null || true; fi
if [ -n "$started_xvfb" ]; then kill "$started_xvfb" 2>/dev/null || true; fi
exit $status
