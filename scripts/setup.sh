#!/usr/bin/env bash
# Installs the toolchains (both mingw-w64 architectures, clang, CMake,
# GoogleTest), Wine, Xvfb and a CJK font when missing. Idempotent, and quick
# when everything is already there.
#
# By default Wine is the 64-bit one alone: these machines run no 32-bit code,
# so a 32-bit Wine cannot start, and a half-installed wine32:i386 left behind
# makes later installs fail; it is removed. QM_WIN_ARCH=i686 (a machine that
# runs 32-bit programs) installs the 32-bit Wine instead.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$root/scripts/wine-env.sh"
arch=$(qm_win_arch)

pkgs=(cmake make clang libclang-rt-14-dev googletest
      g++-mingw-w64-i686-posix mingw-w64-i686-dev g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
      wine wine64 fonts-wine xvfb xauth x11-utils imagemagick fonts-wqy-microhei)
[ "$arch" = i686 ] && pkgs+=(wine32:i386)

sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo
status() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true; }
installed() { status "$1" | grep -q 'install ok installed'; }

if [ "$arch" = x86_64 ] && [ -n "$(status wine32:i386)" ] && ! status wine32:i386 | grep -q 'not-installed'; then
  echo "setup: removing wine32:i386 (it cannot run here, and Wine would pick it)"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get remove -y -q wine32:i386 ||
    $sudo dpkg --remove --force-remove-reinstreq --force-depends wine32:i386
fi

need=()
for p in "${pkgs[@]}"; do installed "$p" || need+=("$p"); done
[ ${#need[@]} -eq 0 ] && exit 0

echo "setup: installing ${need[*]}"
if [ "$arch" = i686 ]; then
  dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
fi
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")

apt_install() {
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@" "${need[@]}"
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
