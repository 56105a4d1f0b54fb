# Sourced by the run and test scripts: a Wine prefix of the build's own, kept
# alive across the processes of one run.
qm_wine_prefix() {
  export WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if [ ! -f "$WINEPREFIX/.quillmere-ready" ]; then
    echo "wine: preparing the prefix $WINEPREFIX (once, about 30 s)"
    wineboot -i >/dev/null 2>&1 || true
    # Windows falls back to a CJK font for Chinese text in Tahoma and MS Sans
    # Serif; Wine does so only when told which font to link.
    local link='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink'
    for face in Tahoma "Microsoft Sans Serif" "MS Shell Dlg" "MS Shell Dlg 2"; do
      wine reg add "$link" /v "$face" /t REG_MULTI_SZ /d "wqy-microhei.ttc,WenQuanYi Micro Hei" /f \
        >/dev/null 2>&1 </dev/null
    done
    # Debian's Wine does not look in fonts-wine's folder: without Marlett the
    # caption buttons show letters. (Its Tahoma stays out: with it, edit
    # controls lose the CJK fallback that Wine's stand-in Tahoma gives.)
    local f
    for f in marlett; do
      [ -f "/usr/share/wine/fonts/$f.ttf" ] && cp "/usr/share/wine/fonts/$f.ttf" "$WINEPREFIX/drive_c/windows/Fonts/"
    done
    wineserver -w
    touch "$WINEPREFIX/.quillmere-ready"
  fi
}
