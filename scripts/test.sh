#!/usr/bin/env bash
# Set-up, build every tree, then every test in one CTest run: the native
# unit tests and fuzz runs, the check of the 32-bit release exe, then the
# Windows tests of the QM_WIN_ARCH build (x86_64 unless set) under Wine on a
# virtual X display. Ends with CTest's summary line; non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QM_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
. "$root/scripts/wine-env.sh"
qm_wine_env "$build"
exec xvfb-run -a -s "-screen 0 1920x1080x24 -nolisten tcp" \
  bash -c 'qm-wine-boot
           # A run ended in the middle of the 144 DPI test leaves that in
           # the prefix: every run starts at the default again.
           wine reg delete "HKCU\\Control Panel\\Desktop" /v LogPixels /f </dev/null >/dev/null 2>&1 || true
           cd "$1"; shift
           ctest --output-on-failure "$@"; rc=$?
           wineserver -k 2>/dev/null
           exit $rc' \
  qm-test "$QM_WIN" "$@"
