#!/usr/bin/env bash
# `make bench`: runs every benchmark program and prints its figures. Benchmarks that need the
# reference service find it (in test mode, on loopback) through the same environment as the tests.
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/scripts/wine-env.sh"
BIN="$ROOT/build/client/bin"
PORT=28943
NTP_PORT=28923
DATA="$ROOT/build/bench-service"

orvane_virtual_display 130 169
xvfb=$ORVANE_XVFB_PID
# Only a wine server this run started is stopped at the end.
own_wineserver=""
orvane_wineserver_pid >/dev/null || own_wineserver=1
wineserver -p
wine cmd /c exit 0 </dev/null >/dev/null 2>&1

service_started=""
if [ -x "$ROOT/build/service/orvane-service" ]; then
  "$ROOT/scripts/test-service" start "$ROOT/build/service/orvane-service" "$DATA" $PORT $NTP_PORT "$BIN/trust-ca.exe" &&
    service_started=1
  export ORVANE_TEST_ENDPOINT="https://localhost:$PORT/api.php" ORVANE_TEST_SNTP="127.0.0.1:$NTP_PORT"
  export ORVANE_TEST_SERVICE_DIR="$DATA"
fi

# The hashing figures compare the client with sha256sum on one 200 MB file, read from the page cache
# by both (sha256sum is timed here, the client inside target_bench).
HASH_FILE="$ROOT/build/bench-data/hash-200mb.bin"
mkdir -p "$(dirname "$HASH_FILE")"
[ "$(stat -c %s "$HASH_FILE" 2>/dev/null)" = 200000000 ] || head -c 200000000 /dev/urandom >"$HASH_FILE"
sha256sum "$HASH_FILE" >/dev/null
times=()
for _ in 1 2 3 4 5; do
  start=$(date +%s%N); hex=$(sha256sum "$HASH_FILE" | cut -c1-64); end=$(date +%s%N)
  times+=($(( (end - start) / 1000000 )))
done
median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n 3p)
echo "sha256sum on 200 MB: ${times[*]} ms (median $median ms)"
export ORVANE_BENCH_HASH_FILE="$(winepath -w "$HASH_FILE" 2>/dev/null)" ORVANE_BENCH_SHA256SUM_MS="$median"
export ORVANE_BENCH_SHA256SUM_HEX="$hex"

names=(target-helper.exe)
for exe in "$BIN"/*_bench.exe; do [ -e "$exe" ] && names+=("$(basename "$exe")"); done
orvane_unmanaged_windows "${names[@]}"

status=0
for bench in "$BIN"/*_bench.exe; do
  [ -e "$bench" ] || continue
  echo "== $(basename "$bench" .exe) =="
  wine "$bench" || status=1
done
# Rooms across simulated machines: each its own network, wine prefix, display, account and clock error
# (scripts/rooms-e2e). ORVANE_BENCH_ROOMS sets the number of rooms per size (default 20).
if [ -n "$service_started" ]; then
  cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$ROOT/build/client/CMakeCache.txt" 2>/dev/null; }
  endpoint=$(cache_value ORVANE_SERVICE_ENDPOINT)
  ntp_servers=$(cache_value ORVANE_NTP_SERVERS)
  ntp_port=$(cache_value ORVANE_NTP_PORT)
  # The rooms of two are followed by the fault matrix: each fault during the wait in a room of two.
  for machines in 2 4; do
    echo "== rooms of $machines simulated machines (rooms-e2e) =="
    faults=""
    [ "$machines" = 2 ] && faults=all
    "$ROOT/scripts/rooms-e2e" bench --machines "$machines" --rooms "${ORVANE_BENCH_ROOMS:-20}" --faults "$faults" \
      --service-port $PORT --service-dir "$DATA" --endpoint "${endpoint:-https://localhost:8443/api.php}" \
      --ntp-servers "${ntp_servers//;/,}" --ntp-port "${ntp_port:-123}" \
      --bin "$BIN" --orvane "$BIN/Orvane.exe" --work "$ROOT/build/rooms-bench"
    code=$?
    [ $code -eq 0 ] || [ $code -eq 77 ] || status=1
  done
  # The same four machines, each alone: their independent clicks combined into the spread of rooms of 2
  # and 4 machines with processors of their own, the figures of one machine alone, and how often the shown
  # uncertainty held (ORVANE_BENCH_SOLO_ROUNDS rounds of four clicks, default 25: 100 clicks).
  echo "== rooms of 2 and 4 machines, each machine alone (rooms-e2e --independent) =="
  "$ROOT/scripts/rooms-e2e" bench --independent --machines 4 --rooms "${ORVANE_BENCH_SOLO_ROUNDS:-25}" \
    --service-port $PORT --service-dir "$DATA" --endpoint "${endpoint:-https://localhost:8443/api.php}" \
    --ntp-servers "${ntp_servers//;/,}" --ntp-port "${ntp_port:-123}" \
    --bin "$BIN" --orvane "$BIN/Orvane.exe" --work "$ROOT/build/rooms-bench"
  code=$?
  [ $code -eq 0 ] || [ $code -eq 77 ] || status=1
fi

if [ -x "$ROOT/service/bench/load.sh" ] && [ -x "$ROOT/build/service/orvane-service" ]; then
  echo "== service load (wrk) =="
  "$ROOT/service/bench/load.sh" "$ROOT/build/service/orvane-service" || status=1
fi

# Rooms of 2,000 and 10,000 participants over real TLS from loopback: on SQLite with one instance,
# and on PostgreSQL with two instances behind nginx (one such run at a time: each takes the machine).
if [ -x "$ROOT/build/service/orvane-service-bench" ]; then
  for participants in 2000 10000; do
    echo "== room of $participants participants (orvane-service-bench room) =="
    nice "$ROOT/build/service/orvane-service-bench" room --participants $participants || status=1
    nice "$ROOT/build/service/orvane-service-bench" room --participants $participants --db postgresql --instances 2 || status=1
  done
fi

if [ -x "$ROOT/build/service/orvane-service-bench" ]; then
  echo "== service under load and abuse (login flood, slow clients with and without nginx, PostgreSQL) =="
  "$ROOT/build/service/orvane-service-bench" || status=1
fi

[ -n "$service_started" ] && "$ROOT/scripts/test-service" stop "$ROOT/build/service/orvane-service" "$DATA"
[ -n "$own_wineserver" ] && wineserver -k 2>/dev/null
[ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
exit $status
