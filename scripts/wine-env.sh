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
