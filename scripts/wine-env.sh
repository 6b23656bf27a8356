# Sourced by the wine scripts: the environment of the project's own wine prefix.
ORVANE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${ORVANE_WINEPREFIX:-$ORVANE_ROOT/.deps/wineprefix}"
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono/Gecko prompts; no menu entries or file associations on the host for shortcuts made inside.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

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

# Without an X display, starts a virtual one on the first free display number from FIRST to LAST and
# exports DISPLAY; ORVANE_XVFB_PID is then the server to stop at the end (empty when none was started).
orvane_virtual_display() {
  local n
  ORVANE_XVFB_PID=""
  [ -n "${DISPLAY:-}" ] && return 0
  for n in $(seq "$1" "$2"); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1600x1000x24 -nolisten tcp >/dev/null 2>&1 &
    ORVANE_XVFB_PID=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
    return 0
  done
}
