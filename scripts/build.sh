#!/usr/bin/env bash
# Builds the native logic and tests (build/native, clang with ASan/UBSan and
# the fuzz targets) and the Windows program and its tests (build/win).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QM_BUILD_DIR:-$root/build}
jobs=$(nproc)

if [ "${1:-}" != "--win-only" ]; then
  cmake -S "$root" -B "$build/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build "$build/native" -j "$jobs" -- --no-print-directory -s
fi
cmake -S "$root" -B "$build/win" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DQM_NATIVE_BUILD_DIR="$build/native" >/dev/null
cmake --build "$build/win" -j "$jobs" -- --no-print-directory -s
