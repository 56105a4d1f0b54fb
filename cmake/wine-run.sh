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
exit $rc
