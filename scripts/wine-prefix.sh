#!/usr/bin/env bash
# Creates the project's wine prefix once: no prompts, fonts that render Chinese text in GDI and GDI+.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
stamp="$WINEPREFIX/.orvane-ready"
[ -f "$stamp" ] && exit 0

echo "[setup] preparing wine prefix $WINEPREFIX"
rm -rf "$WINEPREFIX"
mkdir -p "$(dirname "$WINEPREFIX")"
wineboot -i >/dev/null 2>&1 </dev/null
wineserver -w

fonts="$WINEPREFIX/drive_c/windows/Fonts"
mkdir -p "$fonts"
for f in /usr/share/wine/fonts/*.ttf; do
  case "$(basename "$f")" in tahoma*) continue ;; esac
  cp -f "$f" "$fonts/"
done
for face in "Microsoft YaHei UI" "Microsoft YaHei" "SimSun" "Segoe UI" "Tahoma" "Microsoft Sans Serif" "Arial"; do
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /t REG_SZ /d "Noto Sans CJK SC" /f >/dev/null 2>&1 </dev/null
done
wineserver -w
touch "$stamp"
