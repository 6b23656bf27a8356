#!/usr/bin/env bash
# Runs every test: the reference service's native tests, then the client's tests under wine on one
# virtual display with one warm wine server.
#   run-tests.sh                  every test (the service's ones inline, unless started before)
#   run-tests.sh service-start    starts the service's tests in the background (`make test` does this
#                                 while the client builds: they need neither wine nor a display)
#   run-tests.sh service-wait     waits for them and prints their output; fails when they failed
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SERVICE_LOG="$ROOT/build/service-tests.log"
SERVICE_RC="$ROOT/build/service-tests.rc"
SERVICE_PID="$ROOT/build/service-tests.pid"

service_tests() {
  [ -f "$ROOT/build/service/CTestTestfile.cmake" ] || return 0
  ctest --test-dir "$ROOT/build/service" --output-on-failure
}

service_wait() {
  echo "== reference service tests =="
  local pid
  pid=$(cat "$SERVICE_PID" 2>/dev/null)
  while [ ! -f "$SERVICE_RC" ]; do
    # Gone without a result (killed): say so rather than wait for ever.
    if [ -z "$pid" ] || ! kill -0 "$pid" 2>/dev/null; then
      sleep 1
      [ -f "$SERVICE_RC" ] && break
      cat "$SERVICE_LOG" 2>/dev/null
      echo "the service tests ended without a result"
      rm -f "$SERVICE_PID"
      return 1
    fi
    sleep 1
  done
  cat "$SERVICE_LOG"
  local rc
  rc=$(cat "$SERVICE_RC")
  rm -f "$SERVICE_RC" "$SERVICE_PID" "$SERVICE_LOG"
  [ "$rc" = 0 ]
}

case "${1:-}" in
  service-start)
    mkdir -p "$ROOT/build"
    rm -f "$SERVICE_RC" "$SERVICE_LOG"
    ( service_tests >"$SERVICE_LOG" 2>&1; echo $? >"$SERVICE_RC" ) </dev/null &
    echo $! >"$SERVICE_PID"
    echo "reference service tests started in the background while the client builds"
    exit 0 ;;
  service-wait)
    service_wait; exit $? ;;
esac

source "$ROOT/scripts/wine-env.sh"
status=0

if [ -f "$SERVICE_PID" ]; then
  service_wait || status=1
else
  echo "== reference service tests =="
  service_tests || status=1
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

# Two at a time: the test programs take the one display in turn (their "desktop" lock), while the
# install cycle and the self-test screens, each on displays and wine sessions of their own, run beside.
ctest --test-dir "$ROOT/build/client" --output-on-failure -j2 || status=1

if [ -n "$started_wineserver" ]; then wineserver -k 2>/dev/null || true; fi
if [ -n "$started_xvfb" ]; then kill "$started_xvfb" 2>/dev/null || true; fi
exit $status
