# Sourced by the wine scripts: the environment of the project's own wine prefix.
ORVANE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${ORVANE_WINEPREFIX:-$ORVANE_ROOT/.deps/wineprefix}"
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono/Gecko prompts; no menu entries or file associations on the host for shortcuts made inside.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
