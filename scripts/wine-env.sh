# Sourced by the run and test scripts: a Wine prefix of the build's own, kept
# alive across the processes of one run.
qm_wine_prefix() {
  export WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: creating the prefix $WINEPREFIX (once, about 20 s)"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
  fi
}
