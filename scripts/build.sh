#!/usr/bin/env bash
# Builds the native logic and tests (build/native: clang with ASan/UBSan and
# the fuzz targets) and both Windows trees: build/win-i686, the 32-bit release
# program, and build/win-x86_64, the same sources as a 64-bit program. The
# tree of QM_WIN_ARCH (x86_64 unless set) also builds the tests and
# benchmarks that run under Wine; the other builds the program only.
#   scripts/build.sh [--win-only]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QM_BUILD_DIR:-$root/build}
jobs=$(nproc)
. "$root/scripts/wine-env.sh"
test_arch=$(qm_win_arch)

if [ "${1:-}" != "--win-only" ]; then
  cmake -S "$root" -B "$build/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build "$build/native" -j "$jobs" -- --no-print-directory -s
fi
for arch in i686 x86_64; do
  tests=OFF
  [ "$arch" = "$test_arch" ] && tests=ON
  cmake -S "$root" -B "$build/win-$arch" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DQM_WITH_TESTS=$tests -DQM_NATIVE_BUILD_DIR="$build/native" \
        -DQM_RELEASE_EXE="$build/win-i686/app/Quillmere.exe" >/dev/null
  cmake --build "$build/win-$arch" -j "$jobs" -- --no-print-directory -s
done
