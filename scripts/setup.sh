#!/usr/bin/env bash
# Installs the toolchain, Wine (32-bit), Xvfb and a CJK font when missing.
# Idempotent, and quick when everything is already there.
set -euo pipefail

pkgs=(cmake make clang libclang-rt-14-dev googletest
      g++-mingw-w64-i686-posix mingw-w64-i686-dev
      wine wine32:i386 wine64 fonts-wine xvfb xauth x11-utils imagemagick fonts-wqy-microhei)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
need=()
for p in "${pkgs[@]}"; do installed "$p" || need+=("$p"); done
[ ${#need[@]} -eq 0 ] && exit 0

echo "setup: installing ${need[*]}"
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo
dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")

apt_install() {
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "$@" "${need[@]}"
}
for attempt in 1 2 3; do
  $sudo apt-get update -q || true
  apt_install && exit 0
  # A mirror caught mid-sync can leave the i386 and amd64 indexes at different
  # versions; the release's own versions always match across architectures.
  [ -n "$codename" ] && apt_install -t "$codename" && exit 0
  echo "setup: install failed (attempt $attempt), retrying" >&2
  sleep 15
done
echo "setup: could not install: ${need[*]}" >&2
exit 1
