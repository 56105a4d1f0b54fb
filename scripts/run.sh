#!/usr/bin/env bash
# Set-up, build, then start Quillmere.exe under Wine: on the current display,
# or on a virtual one when there is none. The program and its config.ini and
# barcode.txt live in build/run/, its Wine prefix in build/wineprefix-ARCH-run/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QM_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
. "$root/scripts/wine-env.sh"
# A prefix of its own: the tests' prefix must not start this copy at log-on
# when auto-start registers it.
qm_wine_env "$build" run
mkdir -p "$build/run"
cp "$QM_WIN/app/Quillmere.exe" "$build/run/Quillmere.exe"
port=$(sed -n 's/^Port=\([0-9]*\).*/\1/p' "$build/run/config.ini" 2>/dev/null | head -n1 || true)
cat <<EOT
Starting Quillmere ($build/run/Quillmere.exe, the $QM_WIN_ARCH build). Send a test barcode
from another terminal:
    $build/native/tools/qmsend 127.0.0.1 ${port:-20222} ABC123
It is typed into the window in front. Choose 退出 in the tray icon's menu to end it.
EOT
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  exec wine "$build/run/Quillmere.exe"
fi
echo "No X display: running on a virtual one (Xvfb 1920x1080); it cannot be seen, but it listens."
exec xvfb-run -a -s "-screen 0 1920x1080x24 -nolisten tcp" wine "$build/run/Quillmere.exe"
