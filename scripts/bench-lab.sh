#!/usr/bin/env bash
# A lab in one run: LOGGERS (default 10) vantelctl loggers, each against its own
# simulated supply on a pseudo-terminal, publish to one private mosquitto broker on
# loopback for SECONDS (first argument, default 300) while one subscriber takes
# every reading. Prints rows written against readings received, and the broker's
# CPU time.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
seconds="${1:-300}"
loggers="${LOGGERS:-10}"

. "$root/scripts/bench-setup.sh"

# A free loopback port for the broker.
port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
cat >"$work/mosquitto.conf" <<CONF
listener $port 127.0.0.1
allow_anonymous true
persistence false
CONF
/usr/sbin/mosquitto -c "$work/mosquitto.conf" >"$work/broker.log" 2>&1 &
broker=$!
pids+=($broker)
sleep 0.5

mosquitto_sub -h 127.0.0.1 -p "$port" -q 1 -t 'lab/+/+/reading' -v >"$work/received" &
pids+=($!)

for n in $(seq "$loggers"); do
    "$sim" --port "$n" --output on --no-stdin >"$work/sim$n.out" 2>&1 &
    pids+=($!)
done
for n in $(seq "$loggers"); do
    wait_ready "$n"
done

echo "== $loggers loggers, one broker, ${seconds} s"
broker_ticks_before="$(awk '{print $14 + $15}' "/proc/$broker/stat")"
logger_pids=()
for n in $(seq "$loggers"); do
    "$ctl" --port "COM$n" log --duration "${seconds}s" --output "$work/log$n.csv" \
        --mqtt "mqtt://127.0.0.1:$port" --mqtt-topic "lab/COM$n" 2>"$work/log$n.err" &
    logger_pids+=($!)
done
for pid in "${logger_pids[@]}"; do wait "$pid" || echo "a logger exited with $?" >&2; done
sleep 1
broker_ticks_after="$(awk '{print $14 + $15}' "/proc/$broker/stat")"
ticks="$(getconf CLK_TCK)"

rows=0
for n in $(seq "$loggers"); do
    rows=$((rows + $(tail -n +2 "$work/log$n.csv" | wc -l)))
done
received="$(wc -l <"$work/received")"
unique="$(sort -u "$work/received" | wc -l)"
published="$(cat "$work"/log*.err | sed -n 's/.*mqtt: \([0-9]*\) published.*/\1/p' | awk '{s += $1} END {print s + 0}')"
dropped="$(cat "$work"/log*.err | sed -n 's/.*published, \([0-9]*\) dropped.*/\1/p' | awk '{s += $1} END {print s + 0}')"
echo "rows written:            $rows"
echo "published (summaries):   $published, dropped $dropped"
echo "received by subscriber:  $received ($unique distinct)"
awk -v a="$broker_ticks_before" -v b="$broker_ticks_after" -v t="$ticks" -v s="$seconds" -v r="$rows" \
    'BEGIN { cpu = (b - a) / t; printf "broker CPU time:         %.2f s in %d s (%.2f %% of one core), %.1f us per reading\n", cpu, s, 100 * cpu / s, 1e6 * cpu / r }'
