#!/usr/bin/env bash
# The full flood, too long for the test run: 20 clients send 200,000 lines
# as fast as they can through the real Quillmere.exe into a target window,
# under Wine on a virtual display. Prints the figures; non-zero when a line
# was lost, doubled or reordered, or memory or the window's answers went
# past their bounds. About half an hour.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QM_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
"$root/scripts/build.sh" --win-only
. "$root/scripts/wine-env.sh"
qm_wine_env "$build"
out=$(mktemp)
trap 'rm -f "$out"' EXIT
# Wine's helpers inherit the program's output: a file, never a pipe.
xvfb-run -a -s "-screen 0 1920x1080x24 -nolisten tcp" \
  bash -c 'qm-wine-boot
           wine "$1" >"$2" 2>&1 </dev/null; rc=$?
           wineserver -k 2>/dev/null
           exit $rc' \
  qm-flood "$QM_WIN/tests/e2e/load/e2e_load_tests.exe" "$out" && rc=0 || rc=$?
cat "$out"
# A test program whose Wine was ended from outside (its wineserver killed)
# can return 0 without having finished: a GoogleTest run counts only with
# its closing summary.
if [ $rc -eq 0 ] && grep -q '^\[==========\] Running' "$out" && ! grep -q '^\[  PASSED  \]' "$out"; then
  echo "the test program ended without its summary" >&2
  rc=1
fi
exit $rc
