#!/usr/bin/env bash
# CTest's emulator for the Windows build: runs one executable under Wine in the
# prefix and on the display that scripts/test.sh prepared.
#
# Wine's helper processes (services.exe, explorer.exe) outlive the program
# and inherit its standard handles; were those CTest's pipe, CTest would wait
# for them forever. So the program writes to a file, shown when it ends.
: "${WINEPREFIX:?WINEPREFIX must be set (scripts/test.sh sets it)}"
export WINEDEBUG=${WINEDEBUG:--all}
out=$(mktemp)
trap 'rm -f "$out"' EXIT
wine "$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
# A test program whose Wine was ended from outside (its wineserver killed)
# can return 0 without having finished: a GoogleTest run counts only with
# its closing summary.
if [ $rc -eq 0 ] && grep -q '^\[==========\] Running' "$out" && ! grep -q '^\[  PASSED  \]' "$out"; then
  echo "the test program ended without its summary" >&2
  rc=1
fi
exit $rc
