#!/usr/bin/env bash
# Load figures for the reference service on loopback: "time" and "task.claim" (a released
# instruction) over HTTPS with wrk, and whether every request was answered.
# Usage: service/bench/load.sh [path/to/orvane-service] [seconds per run] [connections]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bin=${1:-"$here/../../build/service/orvane-service"}
seconds=${2:-5}
connections=${3:-16}
[ -x "$bin" ] || { echo "service program not found: $bin" >&2; exit 1; }
command -v wrk >/dev/null || { echo "wrk is not installed" >&2; exit 1; }
[ "$seconds" -ge 1 ] && [ "$seconds" -le 60 ] || { echo "seconds: 1..60" >&2; exit 1; }
[ "$connections" -ge 1 ] && [ "$connections" -le 256 ] || { echo "connections: 1..256" >&2; exit 1; }

work=$(mktemp -d /tmp/orvane-load-XXXXXX)
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill "$pid"
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

data="$work/data"
mkdir -p "$data"
email="load@example.cn"
password="load-test-password"
"$bin" admin --data "$data" account-create "$email" "$password" 100 >/dev/null

# Instructions are released at once (lead of one hour), so every claim returns the signed payload.
# All load comes from this one address, so the per-address connection limit is off.
"$bin" serve --data "$data" --listen 127.0.0.1:0 --quiet --release-lead-ms 3600000 --max-connections-per-source 0 \
  >"$work/out" 2>"$work/err" &
pid=$!
for _ in $(seq 100); do
  grep -q '^listening on' "$work/out" 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || { cat "$work/err" >&2; exit 1; }
  sleep 0.1
done
url=$(sed -n 's/^listening on //p' "$work/out")
[ -n "$url" ] || { echo "service did not start" >&2; cat "$work/err" >&2; exit 1; }
ca="$data/tls/dev-ca.pem"

post() {  # post ACTION BODY [TOKEN]
  local auth=()
  [ -n "${3:-}" ] && auth=(-H "Authorization: Bearer $3")
  curl -sS --cacert "$ca" -X POST "${auth[@]}" -H 'X-Orvane-Version: 0.9.10' -d "$2" "$url?action=$1"
}
field() { sed -n "s/.*\"$1\":\"\{0,1\}\([^\",}]*\).*/\1/p"; }

token=$(post auth.login "{\"email\":\"$email\",\"password\":\"$password\"}" | field token)
[ -n "$token" ] || { echo "login failed" >&2; exit 1; }
now_ms=$(post time '{}' | field server_unix_ms)
at=$((now_ms + 600000))
fields='"client_platform":"windows","purpose":"software_testing","target_x":100,"target_y":200,"executable_name":"demo.exe","executable_sha256":"'$(printf 'a%.0s' $(seq 64))'"'
task=$(post match.create "{\"execute_at_ms\":$at,$fields}" "$token" | field task_id)
[ -n "$task" ] || { echo "match.create failed" >&2; exit 1; }
post task.claim "{\"task_id\":$task,\"client_platform\":\"windows\"}" "$token" | grep -q '"ready":true' ||
  { echo "claim not released" >&2; exit 1; }

echo "orvane-service load on $url: ${seconds}s per action, $connections connections, 2 wrk threads, $(nproc) cores"
for action in time task.claim; do
  body='{}'
  tok=""
  if [ "$action" = task.claim ]; then
    body="{\"task_id\":$task,\"client_platform\":\"windows\"}"
    tok=$token
  fi
  echo "-- $action"
  ORVANE_BODY="$body" ORVANE_TOKEN="$tok" wrk -t2 -c"$connections" -d"${seconds}s" --timeout 5s \
    -s "$here/post.lua" "$url?action=$action" | grep -E '^(requests|  Non-2xx|  Socket errors)' || true
done
