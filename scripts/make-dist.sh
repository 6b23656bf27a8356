#!/usr/bin/env bash
# `make dist`: the two release packages from the built distributable folder (build/dist/):
#   build/dist-pkg/Orvane-<version>-setup.exe     NSIS installer (Chinese user interface, 64-bit)
#   build/dist-pkg/Orvane-<version>-portable.zip  Orvane.exe, libsodium.dll and a Chinese read-me
# The version is the client's CMake project version, read from the build's cache.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DIST="${ORVANE_DIST_DIR:-$ROOT/build/dist}"
OUT="${ORVANE_PACKAGE_DIR:-$ROOT/build/dist-pkg}"
CACHE="$ROOT/build/client/CMakeCache.txt"
README_NAME="使用说明.txt"
fail() { echo "make-dist: $*" >&2; exit 1; }

[ -f "$CACHE" ] || fail "no client build in $ROOT/build/client (run make build first)"
VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$CACHE")
[[ "$VERSION" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "cannot read the project version from $CACHE (got '$VERSION')"
for f in Orvane.exe libsodium.dll; do
  [ -f "$DIST/$f" ] || fail "$DIST/$f is missing (run make build first)"
done
command -v makensis >/dev/null || fail "makensis not found (run make setup)"

SETUP="$OUT/Orvane-$VERSION-setup.exe"
ZIP="$OUT/Orvane-$VERSION-portable.zip"
STAGE="$OUT/portable"
mkdir -p "$OUT"
rm -f "$SETUP" "$ZIP"
rm -rf "$STAGE"

# ---- installer ----------------------------------------------------------------------------------
# The picture on the welcome and finish pages: the program's icon and name on the dashboard's blues.
WIZARD="$OUT/wizard.bmp"
wizard=()
if /usr/bin/convert -size 164x314 gradient:'#1F3D7A-#0F1B2D' \
     \( "$ROOT/client/resources/orvane.ico[0]" -resize 96x96 \) -gravity north -geometry +0+60 -composite \
     -font Noto-Sans-CJK-SC -fill white -pointsize 20 -annotate +0+176 '澄序 Orvane' \
     -type TrueColor "BMP3:$WIZARD" 2>"$OUT/wizard.log"; then
  wizard=("-DWIZARD_BITMAP=$WIZARD")
else
  echo "make-dist: warning: no welcome picture (ImageMagick failed, see $OUT/wizard.log); using NSIS's own" >&2
fi
makensis -V2 -INPUTCHARSET UTF8 \
  "-DVERSION=$VERSION" "-DDIST_DIR=$DIST" "-DICON=$ROOT/client/resources/orvane.ico" "-DOUTFILE=$SETUP" \
  "${wizard[@]}" "$ROOT/packaging/orvane.nsi" || fail "makensis failed"
rm -f "$WIZARD" "$OUT/wizard.log"

# ---- portable zip -------------------------------------------------------------------------------
# The read-me is stored as UTF-8 with a byte-order mark and CR LF line ends, so that every Notepad
# shows it right; the zip marks its names as UTF-8, so that Explorer shows the Chinese name.
mkdir -p "$STAGE"
cp "$DIST/Orvane.exe" "$DIST/libsodium.dll" "$STAGE/"
{
  printf '\xef\xbb\xbf'
  sed -e "s/@VERSION@/$VERSION/g" -e 's/$/\r/' "$ROOT/packaging/$README_NAME"
} >"$STAGE/$README_NAME"
touch -r "$DIST/Orvane.exe" "$STAGE"/*
(cd "$STAGE" && LC_ALL=C.UTF-8 cmake -E tar cf "$ZIP" --format=zip -- Orvane.exe libsodium.dll "$README_NAME") ||
  fail "cannot write $ZIP"
rm -rf "$STAGE"

# ---- figures ------------------------------------------------------------------------------------
size() { stat -c %s "$1"; }
show() { awk -v n="$2" -v b="$1" 'BEGIN { printf "  %-34s %9d bytes  %6.2f MB\n", n, b, b / 1048576 }'; }
echo "release packages in $OUT (version $VERSION):"
show "$(size "$SETUP")" "$(basename "$SETUP")"
show "$(size "$ZIP")" "$(basename "$ZIP")"
show "$(( $(size "$DIST/Orvane.exe") + $(size "$DIST/libsodium.dll") ))" "Orvane.exe + libsodium.dll"
