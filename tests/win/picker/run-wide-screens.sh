#!/usr/bin/env bash
# Runs the picker's Windows tests on wider virtual screens than the CTest
# run's one 1920 x 1080 display: by default an Xvfb screen of 3840 x 1080,
# which Wine 8 reports as one monitor and a virtual screen (0, 0) 3840 x 1080.
# (Xvfb +xinerama with two screens gives no wider one: both heads lie at
# 0,0 and Wine reports a single 1920 x 1080 monitor.) Uses a Wine prefix of
# its own beside the build.
#   tests/win/picker/run-wide-screens.sh [BUILD_DIR [WxH ...]]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
build=${1:-${QM_BUILD_DIR:-$root/build}}
[ $# -gt 0 ] && shift
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(3840x1080)
. "$root/scripts/wine-env.sh"
qm_wine_env "$build" picker-wide
exe=$QM_WIN/tests/picker_win_tests.exe
if [ ! -f "$exe" ]; then
  echo "missing $exe: build the Windows tests first (scripts/build.sh)"
  exit 2
fi
rc=0
for size in "${sizes[@]}"; do
  out=$(mktemp)
  # The tests check the virtual screen against QM_PICKER_SCREEN.
  # Through CTest's own wrapper: a run ended from outside, its summary
  # missing, fails as it does there.
  QM_PICKER_SCREEN=$size xvfb-run -a -s "-screen 0 ${size}x24 -nolisten tcp" bash -c '
      qm-wine-boot
      "$3" "$1" >"$2" 2>&1 </dev/null; rc=$?
      wineserver -k 2>/dev/null
      exit $rc' qm-picker-wide "$exe" "$out" "$root/cmake/wine-run.sh" || rc=1
  echo "== virtual screen $size"
  cat "$out"
  rm -f "$out"
done
exit $rc
