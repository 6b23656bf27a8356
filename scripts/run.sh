#!/usr/bin/env bash
# `make run`: starts this checkout's reference service (unless it already runs) and the client.
#
#   scripts/run.sh           runs the client until it ends; Ctrl+C ends it and whatever the run started
#   scripts/run.sh --check   the same on a virtual display of its own, ending once the client's window
#                            is confirmed and its screenshot saved (exit code 0 only when all went well)
#
# With an X display the client simply runs there. Without one (and always with --check) it runs on a
# virtual display of the run's own, in a wine session bound to that display; the run confirms that the
# client's main window ("澄序 Orvane", class "BriskodeskMain") is up and saves a screenshot of it that
# must not be of one colour. Anything that goes wrong is said plainly and ends the run with exit code 1.
#
# Environment:
#   ORVANE_RUN_PORT      HTTPS port of the service (default: the port of the client's built-in endpoint
#                        when that is on localhost, otherwise 8443)
#   ORVANE_RUN_NTP_PORT  its SNTP port (default 8123)
#   ORVANE_RUN_DIR       where the service data (run-service/), the screenshot and the client's log go
#                        (default build/)
#   ORVANE_RUN_PROGRAM   the program to run (default build/dist/Orvane.exe)
#
# The run stops only what it started: the service, the virtual display, the wine session and the client.
# A service of this checkout that is already running, and a wine session of the prefix that is already
# running, are used and left running.
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/scripts/wine-env.sh"

check=""
case "${1:-}" in
  "") ;;
  --check) check=1 ;;
  *) echo "usage: scripts/run.sh [--check]" >&2; exit 2 ;;
esac

TITLE="澄序 Orvane"
WINDOW_CLASS="BriskodeskMain"
WINDOW_WAIT=90      # seconds for the window to appear (a cold wine start on a busy machine is slow)
SERVICE_WAIT=20     # seconds for the service to answer
REACH_WAIT=30       # seconds for the client's start-up check to reach the service

BIN="$ROOT/build/client/bin"
SERVICE_BIN="$ROOT/build/service/orvane-service"
PROGRAM="${ORVANE_RUN_PROGRAM:-$ROOT/build/dist/Orvane.exe}"
RUN_DIR="${ORVANE_RUN_DIR:-$ROOT/build}"
DATA="$RUN_DIR/run-service"
SERVICE_LOG="$DATA/service.log"
SHOT="$RUN_DIR/orvane-screenshot.png"
CLIENT_LOG="$RUN_DIR/orvane-client.log"

say() { echo "make run: $*"; }
fail() {
  echo "make run: $*" >&2
  exit 1
}
# The last lines of a log, indented, for an error message.
log_tail() { [ -s "$1" ] && tail -n "${2:-15}" "$1" | sed 's/^/    /'; }

# The endpoint the client was built for; the service is started where the client looks for it.
endpoint=$(sed -n 's/^ORVANE_SERVICE_ENDPOINT:[A-Z]*=//p' "$ROOT/build/client/CMakeCache.txt" 2>/dev/null)
client_port=""
if [[ "$endpoint" =~ ^https://(localhost|127\.0\.0\.1)(:([0-9]+))?/ ]]; then
  client_port=${BASH_REMATCH[3]:-443}
fi
PORT=${ORVANE_RUN_PORT:-${client_port:-8443}}
NTP_PORT=${ORVANE_RUN_NTP_PORT:-8123}
URL="https://localhost:$PORT/api.php"

[ -f "$PROGRAM" ] || fail "$PROGRAM is missing; build it with 'make build'"
[ -f "$BIN/trust-ca.exe" ] && [ -f "$BIN/find-window.exe" ] ||
  fail "the helper programs in $BIN are missing; build them with 'make build'"
mkdir -p "$RUN_DIR"

# ---- stopping what this run started, and only that ----------------------------------------------
service_pid=""
xvfb_pid=""
own_wineserver=""
client_pid=""
codes_pid=""
cleanup() {
  trap - EXIT INT TERM
  [ -n "$codes_pid" ] && kill "$codes_pid" 2>/dev/null
  if [ -n "$client_pid" ] && kill -0 "$client_pid" 2>/dev/null; then
    kill "$client_pid" 2>/dev/null
    wait "$client_pid" 2>/dev/null
  fi
  if [ -n "$own_wineserver" ]; then
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
  fi
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  if [ -n "$service_pid" ]; then
    kill "$service_pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$service_pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$service_pid" 2>/dev/null
    wait "$service_pid" 2>/dev/null
  fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---- the reference service --------------------------------------------------------------------------
# Our service answers "health" over TLS with a certificate of this checkout's development CA.
our_service_answers() {
  local answer
  [ -f "$DATA/tls/dev-ca.pem" ] &&
    answer=$(curl -s --max-time 3 --cacert "$DATA/tls/dev-ca.pem" -X POST -d '{}' "$URL?action=health" 2>/dev/null) &&
    [[ "$answer" == *'"update_required"'* ]]
}
port_in_use() {
  (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null || (exec 3<>"/dev/tcp/::1/$PORT") 2>/dev/null
}
port_holder() {
  command -v ss >/dev/null || return 0
  ss -ltnpH "( sport = :$PORT )" 2>/dev/null | grep -o 'users:(([^)]*))' | head -n1
}

if our_service_answers; then
  say "this checkout's reference service is already running on $URL (left running)"
elif port_in_use; then
  holder=$(port_holder)
  fail "port $PORT is taken by another program${holder:+ ($holder)}, not by this checkout's reference service." \
    "Stop that program, or use another port for both:" \
    "ORVANE_RUN_PORT=<port> make run CLIENT_CMAKE_ARGS='-DORVANE_SERVICE_ENDPOINT=https://localhost:<port>/api.php'" \
    "(the client is built for ${endpoint:-https://localhost:8443/api.php})."
elif [ ! -x "$SERVICE_BIN" ]; then
  fail "the reference service $SERVICE_BIN is not built ('make build' builds it)"
else
  mkdir -p "$DATA"
  "$SERVICE_BIN" serve --data "$DATA" --listen "127.0.0.1:$PORT" --ntp "127.0.0.1:$NTP_PORT" \
    </dev/null >"$SERVICE_LOG" 2>&1 &
  service_pid=$!
  started=""
  for _ in $(seq $((SERVICE_WAIT * 5))); do
    if ! kill -0 "$service_pid" 2>/dev/null; then
      wait "$service_pid"
      code=$?
      service_pid=""
      fail "the reference service did not start (exit code $code); its log ($SERVICE_LOG):"$'\n'"$(log_tail "$SERVICE_LOG")"
    fi
    if our_service_answers; then started=1; break; fi
    sleep 0.2
  done
  [ -n "$started" ] ||
    fail "the reference service did not answer on $URL within $SERVICE_WAIT s; its log ($SERVICE_LOG):"$'\n'"$(log_tail "$SERVICE_LOG")"
  say "reference service on $URL (SNTP 127.0.0.1:$NTP_PORT, data in $DATA, log $SERVICE_LOG)"
  say "  admin: $SERVICE_BIN admin --data $DATA --help"
fi

# ---- how a newcomer gets an account -----------------------------------------------------------------
# A ready account of the local service, made once, so the first session needs nothing but the window;
# a person who registers their own gets the e-mail code here, since the local service sends no mail.
DEMO_EMAIL="demo@orvane.test"
DEMO_PASSWORD="orvane-demo"
DEMO_CREDITS=100
if [ -x "$SERVICE_BIN" ]; then
  demo=1
  accounts=$("$SERVICE_BIN" admin --data "$DATA" accounts 2>&1)
  if [[ "$accounts" != *$'\t'"$DEMO_EMAIL"$'\t'* ]] &&
    ! made=$("$SERVICE_BIN" admin --data "$DATA" account-create "$DEMO_EMAIL" "$DEMO_PASSWORD" "$DEMO_CREDITS" 2>&1); then
    demo=""
    say "warning: the demo account could not be made: $made"
  fi
  [ -n "$demo" ] && say "sign in with the demo account: $DEMO_EMAIL, password $DEMO_PASSWORD"
fi
say "or register your own address with \"注册\": this local service sends no mail; each e-mail code it writes"
say "  (registration, password reset) is shown here, and all of them: $SERVICE_BIN admin --data $DATA outbox"
# What the service logs for each code requested (its "[outbox]" lines), said the way a person needs it;
# a request that writes no code is said too, so nobody waits for a code that will not come. The
# watcher ends with this run (tail --pid) and is stopped first on the way out.
show_codes() {
  local line what
  while IFS= read -r line; do
    if [[ "$line" =~ \[outbox\]\ to=([^ ]+)\ purpose=([a-z]+)\ code=([0-9]+) ]]; then
      case "${BASH_REMATCH[2]}" in
        register) what="registration" ;;
        reset) what="password reset" ;;
        *) what=${BASH_REMATCH[2]} ;;
      esac
      say "e-mail code for ${BASH_REMATCH[1]} ($what): ${BASH_REMATCH[3]}"
    elif [[ "$line" =~ \[outbox\]\ to=([^ ]+)\ purpose=register\ \(already\ registered\) ]]; then
      say "no code for ${BASH_REMATCH[1]}: that address is registered already (sign in, or use \"忘记密码？\")"
    elif [[ "$line" =~ \[outbox\]\ reset\ code\ requested\ for\ unknown\ address\ ([^ ;]+) ]]; then
      say "no code for ${BASH_REMATCH[1]}: no account has that address (register it with \"注册\")"
    elif [[ "$line" =~ \[payment\]\ order\ ([0-9]+)\ .*\ page\ ([^ ]+) ]]; then
      say "payment page of order ${BASH_REMATCH[1]}: ${BASH_REMATCH[2]} (open it in a browser: this local service counts the order as paid when its page is opened)"
    fi
  done < <(tail -n 0 -F --pid=$$ "$SERVICE_LOG" 2>/dev/null)
}
show_codes &
codes_pid=$!

if [ -n "$endpoint" ] && [ "$client_port" != "$PORT" ]; then
  say "note: the client is built for $endpoint, so it does not use this service;" \
    "build it with CLIENT_CMAKE_ARGS='-DORVANE_SERVICE_ENDPOINT=$URL' to use it"
fi

# ---- the display and the wine session ---------------------------------------------------------------
if [ -n "$check" ] || [ -z "${DISPLAY:-}" ]; then
  # The wine session must be bound to a display that lives as long as the client: a session left on a
  # display that has gone cannot show any window.
  unset DISPLAY
  orvane_start_xvfb 170 230 || fail "could not start a virtual display (Xvfb)"
  xvfb_pid=$ORVANE_XVFB_PID
  headless=1
  if running=$(orvane_wineserver_pid); then
    say "using the wine session already running for this prefix (wine server $running)"
  else
    wineserver -p || fail "could not start a wine server for $WINEPREFIX"
    own_wineserver=1
  fi
  # Wine's background programs start now, bound to this display, with their output detached.
  wine cmd /c exit 0 </dev/null >/dev/null 2>&1
else
  headless=""
fi

# ---- trusting the development CA in the prefix ------------------------------------------------------
if [ -f "$DATA/tls/dev-ca.pem" ]; then
  ca_windows_path="Z:${DATA//\//\\}\\tls\\dev-ca.pem"
  wine "$BIN/trust-ca.exe" "$ca_windows_path" </dev/null >"$RUN_DIR/trust-ca.log" 2>&1 ||
    fail "could not make the development CA trusted in the wine prefix:"$'\n'"$(log_tail "$RUN_DIR/trust-ca.log" 5)"
fi

# ---- the client -------------------------------------------------------------------------------------
if [ -z "$headless" ]; then
  wine "$PROGRAM"
  exit $?
fi

service_lines=0
[ -f "$SERVICE_LOG" ] && service_lines=$(wc -l <"$SERVICE_LOG")
wine "$PROGRAM" </dev/null >"$CLIENT_LOG" 2>&1 &
client_pid=$!

# The window must appear on the display...
xid=""
deadline=$((SECONDS + WINDOW_WAIT))
while [ -z "$xid" ]; do
  if ! kill -0 "$client_pid" 2>/dev/null; then
    wait "$client_pid"
    code=$?
    client_pid=""
    fail "the client ended (exit code $code) before its window appeared; its output ($CLIENT_LOG):"$'\n'"$(log_tail "$CLIENT_LOG")"
  fi
  ((SECONDS >= deadline)) &&
    fail "the client's window (\"$TITLE\") did not appear within $WINDOW_WAIT s; its output ($CLIENT_LOG):"$'\n'"$(log_tail "$CLIENT_LOG")"
  xid=$(xdotool search --onlyvisible --name "^$TITLE\$" 2>/dev/null | head -n1)
  [ -n "$xid" ] || sleep 0.3
done
# ...and be the client's main window.
found=$(wine "$BIN/find-window.exe" "$WINDOW_CLASS" 10 </dev/null 2>/dev/null | tr -d '\r')
read -r win_x win_y win_w win_h win_title <<<"$found"
[ "${win_title:-}" = "$TITLE" ] ||
  fail "a window titled \"$TITLE\" is on the display, but no visible window of class $WINDOW_CLASS with that title" \
    "(found: ${found:-none})"
say "the client's window is up: \"$TITLE\" (class $WINDOW_CLASS), ${win_w}x${win_h} at $win_x,$win_y on virtual display $DISPLAY"

# A screenshot of the window; one of a single colour means nothing was drawn.
colours=0
take_screenshot() {
  colours=0
  for _ in $(seq 40); do
    if /usr/bin/import -window "$xid" "$SHOT" 2>/dev/null; then
      colours=$(/usr/bin/convert "$SHOT" -format '%k' info: 2>/dev/null || echo 0)
      [ "${colours:-0}" -gt 1 ] && return 0
    fi
    sleep 0.5
  done
  fail "the client's window is up but shows nothing: its screenshot ($SHOT) is of one colour"
}
take_screenshot

# The client's start-up check reaches the service it is built for.
if [ "$client_port" = "$PORT" ] && [ -f "$SERVICE_LOG" ]; then
  reached=""
  deadline=$((SECONDS + REACH_WAIT))
  while ((SECONDS < deadline)); do
    if tail -n +$((service_lines + 1)) "$SERVICE_LOG" | grep -c 'action=health status=200' >/dev/null; then
      reached=1
      break
    fi
    kill -0 "$client_pid" 2>/dev/null || break
    sleep 0.5
  done
  if [ -n "$reached" ]; then
    say "the client's start-up check reached the reference service"
    # The screenshot then shows what the answer unlocked.
    sleep 1
    take_screenshot
  elif [ -n "$check" ]; then
    fail "the client's start-up check did not reach the reference service within $REACH_WAIT s (see its status line in $SHOT)"
  else
    say "warning: the client's start-up check has not reached the reference service within $REACH_WAIT s"
  fi
fi

say "screenshot of the client's window: $SHOT ($colours colours)"

if [ -n "$check" ]; then
  say "check passed"
  exit 0
fi

say "the client runs on virtual display $DISPLAY (e.g. DISPLAY=$DISPLAY xdotool, or /usr/bin/import -window root shot.png);" \
  "press Ctrl+C to end it"
wait "$client_pid"
code=$?
client_pid=""
exit $code
