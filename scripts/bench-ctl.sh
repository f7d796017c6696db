#!/usr/bin/env bash
# Prints vantelctl's figures against vantel-sim on pseudo-terminals: a full scan of
# 1..247 with one supply present against the line's floor; a log of SECONDS
# (default 60) with its schedule drift and round trips; its CPU time per reading
# beside mbpoll polling a second simulator at the same 350 ms period.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
seconds="${1:-60}"

. "$root/scripts/bench-setup.sh"

start_sim() { # port address
    "$sim" --port "$1" --address "$2" --output on --no-stdin >"$work/sim$1.out" 2>&1 &
    pids+=($!)
    wait_ready "$1"
}
start_sim 1 7
start_sim 2 1

# The line's floor for a scan: 247 requests of 8.3 ms, 246 empty waits of 60 ms
# (which include the request), one status reply of 17.7 ms plus gaps.
floor_ms=$(awk 'BEGIN { c = 10000/9600; printf "%.0f", 246*60 + (8 + 3.5 + 17 + 3.5)*c }')
start=$(date +%s%N)
"$ctl" --port COM1 scan >/dev/null 2>&1
scan_ms=$(( ($(date +%s%N) - start) / 1000000 ))
echo "scan 1..247, one supply at 7:        ${scan_ms} ms (floor ${floor_ms} ms: 246 x 60 ms waits + one status read)"

# vantelctl's log and mbpoll side by side, each against its own simulator.
TIMEFORMAT='%U %S'
( { time timeout -s INT "$seconds" mbpoll -m rtu -a 1 -b 9600 -P none -t 4 -0 -r 4096 -c 6 \
    -l 350 "$(readlink "$work/COM2")" >"$work/mbpoll.out" 2>&1 || true; } 2>"$work/mbpoll.time" ) &
mbpoll_job=$!
{ time "$ctl" --port COM1 --address 7 log --duration "${seconds}s" --output "$work/log.csv" \
    2>"$work/log.err"; } 2>"$work/log.time"
wait "$mbpoll_job"
rows=$(( $(wc -l <"$work/log.csv") - 1 ))
polls=$(grep -c '^\[4096\]' "$work/mbpoll.out" || true)

cpu() { awk '{ printf "%.3f", ($1 + $2) * 1000 / '"$2"' }' "$1"; }
ctl_cpu=$(cpu "$work/log.time" "$rows")
mb_cpu=$(cpu "$work/mbpoll.time" "$polls")
echo "log ${seconds} s at 350 ms:              ${rows} rows"
sed -n 's/^vantelctl: /  /p' "$work/log.err"
echo "CPU time per reading:                vantelctl ${ctl_cpu} ms (${rows} readings), mbpoll ${mb_cpu} ms (${polls} polls), ratio $(awk "BEGIN { printf \"%.1f\", $ctl_cpu / $mb_cpu }")"
