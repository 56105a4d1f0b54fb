#!/usr/bin/env bash
# Runs every fuzz target for a bounded time (default 60 s each, or the first
# argument) and prints a table of executions and crashes. Exit non-zero when
# any target found a crash; its input is kept in build/fuzz/<target>/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QM_BUILD_DIR:-$root/build}
seconds=${1:-60}
"$root/scripts/setup.sh"
mkdir -p "$build"
if ! { cmake -S "$root" -B "$build/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
         -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ &&
       cmake --build "$build/native" -j "$(nproc)"; } >"$build/fuzz-build.log" 2>&1; then
  cat "$build/fuzz-build.log"
  exit 1
fi
status=0
printf '| target | seconds | executions | crashes |\n|---|---|---|---|\n'
for fuzzer in "$build"/native/tests/fuzz_*; do
  name=$(basename "$fuzzer")
  work="$build/fuzz/$name"
  mkdir -p "$work/corpus"
  log="$work/last.log"
  set +e
  (cd "$work" && "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
      "$work/corpus" "$root/tests/fuzz/corpus/$name") >"$log" 2>&1
  rc=$?
  set -e
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
  crashes=$(find "$work" -maxdepth 1 -name 'crash-*' -o -maxdepth 1 -name 'leak-*' -o -maxdepth 1 -name 'timeout-*' | wc -l)
  printf '| %s | %s | %s | %s |\n' "$name" "$seconds" "${execs:-?}" "$crashes"
  if [ $rc -ne 0 ] || [ "$crashes" -ne 0 ]; then status=1; fi
done
exit $status
