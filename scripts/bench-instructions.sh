#!/usr/bin/env bash
# Instructions per reading, counted by valgrind's callgrind: figures that stay the
# same from run to run on a busy machine, where CPU times do not. Each program polls
# its own vantel-sim on the timed line (9600 baud, latency 10 ms) every 350 ms:
#   - vantelctl log, its rows as CSV to a file;
#   - vantelctl log, its rows as JSON lines to a file;
#   - the client alone (client-bench's poll, no row);
#   - mbpoll -l 350.
# Each runs twice, SHORT and LONG seconds (default 15 and 45); the difference in
# instructions over the difference in readings is what one reading costs, with
# start-up and exit taken out. The four run side by side (about 2 min).
#   scripts/bench-instructions.sh [SHORT LONG]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
short="${1:-15}"
long="${2:-45}"

. "$root/scripts/bench-setup.sh"
client_bench="$build/bench/client-bench"
command -v valgrind >/dev/null || {
    echo "valgrind is not installed" >&2
    exit 1
}

echo "callgrind, ${short} s and ${long} s runs at 350 ms; machine load $(cut -d' ' -f1-3 /proc/loadavg)"

# measure NAME PORT LIMIT COMMAND...: runs COMMAND under callgrind against a new
# simulator on COM<PORT>, interrupted after LIMIT seconds if it has not ended; an
# argument "@pty" is the simulator's terminal. Writes "instructions readings" to
# $work/NAME.
measure() {
    local name=$1 port=$2 limit=$3
    shift 3
    "$sim" --port "$port" --address 1 --latency 10 --output on --no-stdin --trace \
        >"$work/sim$port.out" 2>&1 &
    local sim_pid=$!
    wait_ready "$port"
    local args=() arg
    for arg in "$@"; do
        [ "$arg" = "@pty" ] && arg="$(readlink "$work/COM$port")"
        args+=("$arg")
    done
    timeout -s INT "$limit" valgrind --tool=callgrind \
        --callgrind-out-file="$work/$name.callgrind" "${args[@]}" >/dev/null 2>"$work/$name.err" ||
        true
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    local ir readings
    ir=$(sed -n 's/^summary: *\([0-9]*\).*/\1/p' "$work/$name.callgrind" 2>/dev/null)
    readings=$(grep -c ' tx .* 03 0C ' "$work/sim$port.out" || true)
    echo "${ir:-0} $readings" >"$work/$name"
}

run_all() { # SECONDS PORTBASE SUFFIX
    local s=$1 p=$2 x=$3
    measure "csv$x" "$p" "$((s + 60))" "$ctl" --port "COM$p" --address 1 log --duration "${s}s" \
        --output "$work/log$x.csv" &
    measure "jsonl$x" "$((p + 1))" "$((s + 60))" "$ctl" --port "COM$((p + 1))" --address 1 log \
        --duration "${s}s" --format jsonl --output "$work/log$x.jsonl" &
    if [ -x "$client_bench" ]; then
        # Its poll settles for 2 s before the seconds it is given.
        measure "client$x" "$((p + 2))" "$((s + 60))" "$client_bench" --poll "COM$((p + 2))" \
            "$((s > 2 ? s - 2 : 1))" &
    fi
    measure "mbpoll$x" "$((p + 3))" "$((s + 5))" mbpoll -m rtu -a 1 -b 9600 -P none -t 4 -0 -r 4096 \
        -c 6 -l 350 @pty &
    wait
}
run_all "$short" 11 .short
run_all "$long" 21 .long

per() { # NAME: "instructions-per-reading readings" between the short and the long run
    local ir0=0 n0=0 ir1=0 n1=0
    [ -f "$work/$1.short" ] && read -r ir0 n0 <"$work/$1.short"
    [ -f "$work/$1.long" ] && read -r ir1 n1 <"$work/$1.long"
    awk -v a="$ir0" -v b="$ir1" -v m="$n0" -v n="$n1" \
        'BEGIN { if (n > m && b > a) printf "%.0f %d\n", (b - a) / (n - m), n - m; else print "0 0" }'
}
row() { printf '%-44s %16s   %s\n' "$1" "$2" "$3"; }
row "program (readings between the runs)" "instr. a reading" "beside mbpoll"
read -r mb _ < <(per mbpoll)
for name in csv jsonl client mbpoll; do
    read -r ir n < <(per "$name")
    case $name in
    csv) label="vantelctl log, CSV" ;;
    jsonl) label="vantelctl log, JSON lines" ;;
    client) label="the client alone (client-bench)" ;;
    mbpoll) label="mbpoll -l 350" ;;
    esac
    if [ "$ir" = 0 ]; then
        row "$label" "not measured" "$(tail -n 3 "$work/$name.long.err" 2>/dev/null | tr '\n' ' ')"
        continue
    fi
    row "$label ($n)" "$ir" \
        "$(awk -v a="$ir" -v b="$mb" 'BEGIN { if (b > 0) printf "ratio %.2f", a / b }')"
done
