#!/usr/bin/env bash
# Start-up time to listening, and CPU time used while idle for 10 s, of the
# real Quillmere.exe against a baseline program that only listens
# (baseline_listener.exe), in the same run, under Wine. Called by
# scripts/bench.sh with the Windows build tree; needs WINEPREFIX and DISPLAY.
set -euo pipefail
win=$1
runs=${QM_BENCH_RUNS:-5}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
now_ms() { date +%s%3N; }
listening() { (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null; }
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }  # utime + stime, in clock ticks
hz=$(getconf CLK_TCK)

# start NAME EXE ARG: starts the program, waits until its port accepts, and
# prints the milliseconds that took; leaves its Linux pid in $pid.
start() {
  local dir="$tmp/$1" port=$3
  mkdir -p "$dir"
  cp "$2" "$dir/"
  printf '[Config]\r\nPort=%s\r\nAutoStart=0\r\n' "$port" >"$dir/config.ini"
  local t0; t0=$(now_ms)
  (cd "$dir" && exec wine "$dir/$(basename "$2")" $4 >/dev/null 2>&1 </dev/null) &
  local i=0
  until listening "$port"; do
    sleep 0.005; i=$((i + 1))
    [ $i -lt 4000 ] || { echo "no listener on $port" >&2; return 1; }
  done
  echo $(( $(now_ms) - t0 ))
}

find_pid() { pgrep -f -n "$1" ; }
# The wineserver of this prefix (other prefixes may have servers running).
server_pid() {
  local p
  for p in $(pgrep wineserver); do
    if tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then echo "$p"; return; fi
  done
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

measure() {  # NAME EXE [ARGFROMPORT]
  local name=$1 exe=$2 pass_port=$3 times=() port
  for r in $(seq "$runs"); do
    port=$(free_port)
    local t; t=$(start "$name$r" "$exe" "$port" "$([ "$pass_port" = 1 ] && echo "$port")")
    times+=("$t")
    local pid; pid=$(find_pid "$name$r/$(basename "$exe")")
    if [ "$r" = "$runs" ]; then
      sleep 2
      local server; server=$(server_pid)
      local c0 w0; c0=$(ticks "$pid"); w0=$(ticks "$server")
      sleep 10
      local c1 w1; c1=$(ticks "$pid"); w1=$(ticks "$server")
      idle_ms=$(( (c1 - c0) * 1000 / hz )); server_ms=$(( (w1 - w0) * 1000 / hz ))
    fi
    kill "$pid" 2>/dev/null || true
    # The system tidies up after a killed GUI program (its windows, its
    # notification icon) for about a second; a start meanwhile waits for that.
    sleep 3
  done
  [ -z "${QM_BENCH_VERBOSE:-}" ] || echo "$name start-up runs, ms: ${times[*]}" >&2
  startup_ms=$(printf '%s\n' "${times[@]}" | median)
}

measure quillmere "$win/app/Quillmere.exe" 0
q_start=$startup_ms q_idle=$idle_ms q_server=$server_ms
measure baseline "$win/bench/app/baseline_listener.exe" 1
b_start=$startup_ms b_idle=$idle_ms b_server=$server_ms

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b == 0) print (a == 0 ? "1.00" : "n/a"); else printf "%.2f", a / b }'; }
echo "| start-up to listening, ms (median of $runs) | $q_start | $b_start (baseline listener) | $(ratio "$q_start" "$b_start") |"
echo "| CPU while idle for 10 s, ms (the program) | $q_idle | $b_idle (baseline listener) | $(ratio "$q_idle" "$b_idle") |"
echo "| CPU while idle for 10 s, ms (wineserver) | $q_server | $b_server (baseline listener) | $(ratio "$q_server" "$b_server") |"
