# Sourced by the wine scripts: the environment of the project's own wine prefix, and the helpers for
# the scripts that run wine on a virtual display.
ORVANE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${ORVANE_WINEPREFIX:-$ORVANE_ROOT/.deps/wineprefix}"
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono/Gecko prompts; no menu entries or file associations on the host for shortcuts made inside.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

# Prints the process id of the wine server of this prefix when one is running (its working folder is
# named after the prefix's device and inode); fails when none is.
orvane_wineserver_pid() {
  local id p
  [ -d "$WINEPREFIX" ] || return 1
  id=$(printf 'server-%x-%x' $(stat -c '%d %i' "$WINEPREFIX"))
  for p in $(pgrep -f wineserver); do
    if [[ "$(readlink "/proc/$p/cwd" 2>/dev/null)" == */"$id" ]]; then
      echo "$p"
      return 0
    fi
  done
  return 1
}

# orvane_start_xvfb FIRST LAST: starts a virtual display on the first free number between FIRST and
# LAST and exports DISPLAY; ORVANE_XVFB_PID is its process. A number that another run takes at the
# same moment is skipped. Its screen is 1600 × 1000 unless ORVANE_XVFB_SCREEN names another size.
orvane_start_xvfb() {
  local n
  ORVANE_XVFB_PID=""
  for n in $(seq "$1" "$2"); do
    { [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; } && continue
    Xvfb ":$n" -screen 0 "${ORVANE_XVFB_SCREEN:-1600x1000}x24" -nolisten tcp </dev/null >/dev/null 2>&1 &
    ORVANE_XVFB_PID=$!
    for _ in $(seq 100); do
      [ -e "/tmp/.X11-unix/X$n" ] && break
      kill -0 "$ORVANE_XVFB_PID" 2>/dev/null || break
      sleep 0.05
    done
    if kill -0 "$ORVANE_XVFB_PID" 2>/dev/null && [ -e "/tmp/.X11-unix/X$n" ]; then
      export DISPLAY=":$n"
      return 0
    fi
    kill "$ORVANE_XVFB_PID" 2>/dev/null
    wait "$ORVANE_XVFB_PID" 2>/dev/null
    ORVANE_XVFB_PID=""
  done
  return 1
}

# orvane_virtual_display FIRST LAST: without an X display, starts a virtual one (orvane_start_xvfb);
# ORVANE_XVFB_PID is then the server to stop at the end (empty when the display was already there).
orvane_virtual_display() {
  ORVANE_XVFB_PID=""
  [ -n "${DISPLAY:-}" ] && return 0
  orvane_start_xvfb "$1" "$2"
}

# Lets the named programs (test, benchmark and figure programs) keep their windows out of window
# management. The virtual display has no window manager, and wine waits two seconds for one at
# every hidden or destroyed window of a managed program; the product itself stays managed.
orvane_unmanaged_windows() {
  local reg name
  reg=$(mktemp --suffix=.reg)
  printf 'REGEDIT4\n' >"$reg"
  for name in "$@"; do
    printf '\n[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\%s\\X11 Driver]\n"Managed"="N"\n' "$name" >>"$reg"
  done
  wine regedit /S "$(winepath -w "$reg" 2>/dev/null)" </dev/null >/dev/null 2>&1
  rm -f "$reg"
}
