#!/usr/bin/env bash
# `make run`: starts the local reference service (if it is not already running) and the client.
# Without an X display the client runs on a virtual display; a screenshot is saved under build/.
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/scripts/wine-env.sh"
SERVICE_BIN="$ROOT/build/service/orvane-service"
DATA="$ROOT/build/run-service"
PORT=8443
NTP_PORT=${ORVANE_RUN_NTP_PORT:-8123}
TRUST="$ROOT/build/client/bin/trust-ca.exe"
mkdir -p "$DATA"

service_pid=""
if curl -s --max-time 2 --cacert "$DATA/tls/dev-ca.pem" -X POST -d '{}' \
     "https://localhost:$PORT/api.php?action=health" >/dev/null 2>&1; then
  echo "reference service already running on https://localhost:$PORT/api.php"
elif [ -x "$SERVICE_BIN" ]; then
  "$SERVICE_BIN" serve --data "$DATA" --listen "127.0.0.1:$PORT" --ntp "127.0.0.1:$NTP_PORT" \
    </dev/null >"$DATA/service.log" 2>&1 &
  service_pid=$!
  for _ in $(seq 100); do
    curl -s --max-time 2 --cacert "$DATA/tls/dev-ca.pem" -X POST -d '{}' \
      "https://localhost:$PORT/api.php?action=health" >/dev/null 2>&1 && break
    sleep 0.1
  done
  echo "reference service on https://localhost:$PORT/api.php (data in $DATA, log $DATA/service.log)"
  echo "  admin: $SERVICE_BIN admin --data $DATA --help"
else
  echo "reference service not built; the client will report that it cannot connect"
fi
if [ -f "$DATA/tls/dev-ca.pem" ]; then
  "$ROOT/scripts/wine-run" "$TRUST" "$(winepath -w "$DATA/tls/dev-ca.pem" 2>/dev/null)" >/dev/null 2>&1 ||
    echo "warning: could not make the development CA trusted in the wine prefix"
fi

cleanup() { [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null; }
trap cleanup EXIT

if [ -n "${DISPLAY:-}" ]; then
  wine "$ROOT/build/dist/Orvane.exe"
  exit $?
fi

# No display: run on a virtual one, take a screenshot once the window is up, keep running until the
# program ends (close it with Ctrl+C).
shot="$ROOT/build/orvane-screenshot.png"
xvfb-run -a -s "-screen 0 1600x1000x24" bash -c '
  wine "$1" &
  app=$!
  for _ in $(seq 100); do
    xdotool search --name "澄序 Orvane" >/dev/null 2>&1 && break
    sleep 0.2
  done
  sleep 2
  import -window root "$2" && echo "screenshot of the running client: $2"
  wait $app
' _ "$ROOT/build/dist/Orvane.exe" "$shot"
