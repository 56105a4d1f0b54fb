#!/usr/bin/env bash
# Remakes docs/main-window.png: Quillmere in a Wine virtual desktop (which
# draws the window frame that Xvfb alone lacks) with a few log lines.
# Run after scripts/build.sh; needs port 20222 free.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QM_BUILD_DIR:-$root/build}
. "$root/scripts/wine-env.sh"
qm_wine_env "$build" shots
dir="$WINEPREFIX/drive_c/Quillmere"
rm -rf "$dir" && mkdir -p "$dir"
cp "$QM_WIN/app/Quillmere.exe" "$dir/"
printf '[Config]\r\nPort=20222\r\nAutoStart=1\r\nFocusX=412\r\nFocusY=286\r\n' >"$dir/config.ini"
xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" bash -c '
  wineserver -p
  (wine explorer /desktop=shot,900x600 "C:\\Quillmere\\Quillmere.exe" </dev/null >/dev/null 2>&1 &)
  sleep 8
  wine reg delete "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run" /v Quillmere /f >/dev/null 2>&1 </dev/null || true
  import -window root /tmp/qm-shot.png
  wineserver -k 2>/dev/null || true
'
convert /tmp/qm-shot.png -crop 568x447+0+0 +repage "$root/docs/main-window.png"
echo "wrote docs/main-window.png"
