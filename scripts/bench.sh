#!/usr/bin/env bash
# Builds and runs every benchmark under Wine on a virtual display and prints
# one table: each figure beside its baseline measured in the same run.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QM_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
. "$root/scripts/wine-env.sh"
qm_wine_env "$build"
export QM_ROOT=$root
xvfb-run -a -s "-screen 0 1920x1080x24 -nolisten tcp" bash -c '
  qm-wine-boot
  cpu=$(sed -n "s/^model name[[:space:]]*: //p" /proc/cpuinfo | head -n1)
  echo "Quillmere benchmarks, $(date -u +%Y-%m-%d), $(nproc) x ${cpu:-unknown CPU}, the $QM_WIN_ARCH build under $(wine --version)"
  echo
  echo "| measure | value | baseline | ratio |"
  echo "|---|---|---|---|"
  run() {  # a Windows benchmark: its rows go to a file, shown when it ends
    local out; out=$(mktemp)
    wine "$@" >"$out" 2>&1 </dev/null || echo "| $(basename "$1") failed (exit $?) | | | |"
    grep "^|" "$out" || cat "$out"
    rm -f "$out"
  }
  run "$QM_WIN/bench/net/net_bench.exe"
  run "$QM_WIN/bench/delivery/delivery_bench.exe"
  "$QM_ROOT/bench/app/app_bench.sh" "$QM_WIN"
  wineserver -k 2>/dev/null || true
'
# The picker overlays of up to 7680 x 2160 need a display that large, and so a
# prefix of their own.
qm_wine_env "$build" wide
xvfb-run -a -s "-screen 0 7680x2160x24 -nolisten tcp" bash -c '
  qm-wine-boot
  out=$(mktemp)
  wine "$QM_WIN/bench/picker/picker_bench.exe" >"$out" 2>&1 </dev/null
  grep "^|" "$out" || cat "$out"
  rm -f "$out"
  wineserver -k 2>/dev/null || true
'
