# Sourced by every script that starts Wine. QM_WIN_ARCH picks the Windows
# build that runs: x86_64 (the default, 64-bit Wine) or i686 (32-bit Wine,
# only on a machine that runs 32-bit programs).
#   qm_wine_env BUILD_DIR [PREFIX_SUFFIX]
# sets QM_WIN_ARCH, QM_WIN (that build's tree), a PATH on which wine,
# wineboot and wineserver are that architecture's (and qm-wine-boot starts a
# session), and a Wine prefix of the
# build's own (build/wineprefix-ARCH[-SUFFIX]), created on first use.
qm_win_arch() {
  case "${QM_WIN_ARCH:-x86_64}" in
    x86_64|i686) echo "${QM_WIN_ARCH:-x86_64}" ;;
    *) echo "QM_WIN_ARCH must be x86_64 or i686, not '$QM_WIN_ARCH'" >&2; return 1 ;;
  esac
}

qm_wine_env() {
  local build=$1 suffix=${2:+-$2} arch
  arch=$(qm_win_arch)
  export QM_WIN_ARCH=$arch QM_WIN="$build/win-$arch"
  # Debian's own wine wrapper prefers the 32-bit loader whenever wine32 is
  # installed, and that loader cannot start on a 64-bit-only kernel: call
  # the loader of the chosen architecture directly.
  local bin="$build/wine-bin-$arch" loader server
  if [ "$arch" = x86_64 ]; then
    loader=/usr/lib/wine/wine64 server=/usr/lib/wine/wineserver64
  else
    loader=/usr/lib/wine/wine server=/usr/lib/wine/wineserver
  fi
  mkdir -p "$bin"
  printf '#!/bin/sh\nexport WINELOADER=%s\nexec %s "$@"\n' "$loader" "$loader" >"$bin/wine"
  printf '#!/bin/sh\nexec %s "$@"\n' "$server" >"$bin/wineserver"
  printf '#!/bin/sh\nexec "%s/wine" wineboot.exe "$@"\n' "$bin" >"$bin/wineboot"
  # Starts the prefix's session for the processes of one run. The session
  # start runs the user's Run entries, and a test that was killed may have
  # left its registration of a copied Quillmere.exe there: that copy would
  # hold port 20222 and the notification area through the whole run.
  cat >"$bin/qm-wine-boot" <<'EOT'
#!/bin/sh
wineserver -p
wine reg delete 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run' /v Quillmere /f \
  </dev/null >/dev/null 2>&1 || true
wine wineboot </dev/null >/dev/null 2>&1
EOT
  chmod +x "$bin/wine" "$bin/wineserver" "$bin/wineboot" "$bin/qm-wine-boot"
  case ":$PATH:" in *":$bin:"*) ;; *) export PATH="$bin:$PATH" ;; esac
  qm_wine_prefix "$build/wineprefix-$arch$suffix"
}

# A Wine prefix, kept alive across the processes of one run by the caller.
qm_wine_prefix() {
  export WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if [ ! -f "$WINEPREFIX/.quillmere-ready" ]; then
    echo "wine: preparing the prefix $WINEPREFIX (once, about 10 s)"
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
    [ -f "$WINEPREFIX/system.reg" ] || { echo "wine: could not create $WINEPREFIX" >&2; return 1; }
    touch "$WINEPREFIX/.quillmere-ready"
  fi
}

