#!/usr/bin/env bash
# Prints vantelctl's figures against vantel-sim's timed line on pseudo-terminals,
# each beside the line's floor or its peer: the round trip of a status read; a
# one-shot read beside mbpoll's;
# readings per second on a bus of 20 supplies; a full scan of 1..247 with one
# supply present; CPU time per reading of a `log` at 350 ms beside mbpoll polling a
# second simulator at the same period, side by side, and the resident memory of
# the log at its start and end; a second log joining the first on one port: its
# round trip and the owner's CPU per relayed request; three programs on one port
# (a log, a SCPI client, a fast log) and their share of the line; CPU time per
# reading of a `run`. CPU times come
# from each process's scheduler counters (nanoseconds) after start-up. SECONDS
# (default 60) is the length of the side-by-side poll and of the run; the other
# runs take about 10 s each.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
seconds="${1:-60}"

. "$root/scripts/bench-setup.sh"

latency=10
echo "line: vantel-sim's 9600-baud timing, latency ${latency} ms; machine load $(cut -d' ' -f1-3 /proc/loadavg)"

# Waits for a server's line "<what> 127.0.0.1:PORT" in `file` and prints PORT.
listening_port() { # file, what
    for _ in $(seq 100); do
        grep -q "$2" "$1" && break
        sleep 0.05
    done
    sed -n "s/.*$2 127\\.0\\.0\\.1:\\([0-9]*\\).*/\\1/p" "$1"
}

start_sim() { # port, then its options
    local port=$1
    shift
    "$sim" --port "$port" --latency "$latency" --output on --no-stdin "$@" \
        >"$work/sim$port.out" 2>&1 &
    pids+=($!)
    wait_ready "$port"
}
start_sim 1 --address 7
start_sim 2 --address 1 --trace
start_sim 3 --address 1-20
start_sim 4 --address 1

c=$(awk 'BEGIN { printf "%.6f", 10000 / 9600 }') # one character at 9600 8N1, ms
row() { printf '%-44s %-34s %s\n' "$1" "$2" "$3"; }
row "figure" "vantelctl" "beside"

# CPU time of every thread of a process, in ms; its resident memory in kB.
cpu_ms() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ ns += $1 } END { printf "%.3f", ns / 1e6 }'; }
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
# Times the system switched to a process (every thread's), voluntarily or not: a
# wake-up each, whether or not it returned to the program.
switches() { cat /proc/"$1"/task/*/status 2>/dev/null | awk '/ctxt_switches:/ { n += $2 } END { print n + 0 }'; }
# Status reads the simulator on COM2 has answered so far (its trace is line-buffered).
answered() { grep -c ' tx .* 03 0C ' "$work/sim2.out" || true; }
ratio() { awk "BEGIN { printf \"%.2f\", ($2 > 0 ? $1 / $2 : 0) }"; }

# Round trip of a status read: 8 + 17 characters on the wire plus the latency.
"$ctl" --port COM1 --address 7 log --interval 100 --duration 10s >/dev/null 2>"$work/rt.err"
rt=$(sed -n 's/.*round trip: median \([0-9.]*\) ms, p99 \([0-9.]*\) ms.*/\1 \2/p' "$work/rt.err")
floor=$(awk "BEGIN { printf \"%.1f\", 25 * $c + $latency }")
row "status read round trip, median / p99" "$(echo "$rt" | awk '{ print $1 " / " $2 " ms" }')" \
    "floor ${floor} ms (26.0 on the wire + ${latency})"

# A one-shot read, start to exit, beside mbpoll's one-shot on the same line
# (COM1, address 7): the median of 20 each, taken in turns.
oneshot_ms() { # command...
    local start
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1 || true
    echo $((($(date +%s%N) - start) / 1000))
}
ctl_once=()
mb_once=()
for _ in $(seq 20); do
    ctl_once+=("$(oneshot_ms "$ctl" --port COM1 --address 7 read)")
    mb_once+=("$(oneshot_ms mbpoll -m rtu -a 7 -b 9600 -P none -t 4 -0 -r 4096 -c 6 -1 \
        "$(readlink "$work/COM1")")")
done
median_us() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ctl_med=$(median_us "${ctl_once[@]}")
mb_med=$(median_us "${mb_once[@]}")
row "one-shot read, start to exit, median of 20" "$(awk "BEGIN { printf \"%.1f ms\", $ctl_med / 1000 }")" \
    "mbpoll -1 $(awk "BEGIN { printf \"%.1f ms\", $mb_med / 1000 }"), ratio $(ratio "$ctl_med" "$mb_med")"

# A bus of 20 supplies read as fast as the line allows.
"$ctl" --port COM3 log --addresses 1-20 --interval 1 --duration 10s --output "$work/bus.csv" \
    2>/dev/null
readings=$(($(wc -l <"$work/bus.csv") - 1))
first=$(sed -n 2p "$work/bus.csv" | cut -d, -f2)
last=$(tail -n 1 "$work/bus.csv" | cut -d, -f2)
bus=$(awk "BEGIN { printf \"%.1f\", ($readings - 1) / ($last - $first) }")
busfloor=$(awk "BEGIN { printf \"%.1f\", 1000 / (25 * $c + 3.5 * $c + $latency) }")
row "bus of 20, readings/s" "$bus ($(awk "BEGIN { printf \"%.0f\", 100 * $bus / $busfloor }") % of floor)" \
    "floor $busfloor (26.0 + 3.65 + ${latency} ms a reading)"

# A full scan at the default wait, one supply present at 7.
start=$(date +%s%N)
"$ctl" --port COM1 scan >/dev/null 2>&1 || true
scan_ms=$((($(date +%s%N) - start) / 1000000))
row "scan 1..247, one supply" "${scan_ms} ms" "$((246 * 200)) ms (246 x its 200 ms wait)"

# A log at 350 ms beside mbpoll at 350 ms: CPU per reading after start-up, sampled
# 2 s after the start and again at the end, against the rows and polls in between.
"$ctl" --port COM4 --address 1 log --duration "$((seconds + 4))s" --output "$work/log.csv" \
    2>"$work/log.err" &
ctl_pid=$!
mbpoll -m rtu -a 1 -b 9600 -P none -t 4 -0 -r 4096 -c 6 -l 350 "$(readlink "$work/COM2")" \
    >/dev/null 2>&1 &
mb_pid=$!
pids+=("$mb_pid")
sleep 2
ctl0=$(cpu_ms "$ctl_pid"); mb0=$(cpu_ms "$mb_pid"); rss0=$(rss_kb "$ctl_pid")
ctlsw0=$(switches "$ctl_pid"); mbsw0=$(switches "$mb_pid")
rows0=$(wc -l <"$work/log.csv"); polls0=$(answered)
sleep "$seconds"
ctl1=$(cpu_ms "$ctl_pid"); mb1=$(cpu_ms "$mb_pid"); rss1=$(rss_kb "$ctl_pid")
ctlsw1=$(switches "$ctl_pid"); mbsw1=$(switches "$mb_pid")
rows1=$(wc -l <"$work/log.csv"); polls1=$(answered)
kill "$mb_pid" 2>/dev/null || true
wait "$ctl_pid" || true
per() { awk "BEGIN { n = $3; printf \"%.3f\", (n > 0 ? ($2 - $1) / n : 0) }"; }
per1() { awk "BEGIN { n = $3; printf \"%.1f\", (n > 0 ? ($2 - $1) / n : 0) }"; }
ctl_cpu=$(per "$ctl0" "$ctl1" "$((rows1 - rows0))")
mb_cpu=$(per "$mb0" "$mb1" "$((polls1 - polls0))")
row "CPU per reading, log at 350 ms (${seconds} s)" "${ctl_cpu} ms ($((rows1 - rows0)) readings)" \
    "mbpoll ${mb_cpu} ms ($((polls1 - polls0)) polls), ratio $(ratio "$ctl_cpu" "$mb_cpu")"
log_ratio=$(ratio "$ctl_cpu" "$mb_cpu")
row "wake-ups per reading, log at 350 ms" \
    "$(per1 "$ctlsw0" "$ctlsw1" "$((rows1 - rows0))") context switches" \
    "mbpoll $(per1 "$mbsw0" "$mbsw1" "$((polls1 - polls0))")"
row "resident memory of the log, start / end" \
    "$(awk "BEGIN { printf \"%.1f / %.1f MB\", $rss0 / 1024, $rss1 / 1024 }")" ""

# One port, two programs: a log that owns COM4, reading once every 5 s, and a
# second log at 100 ms that joins it over the owner's local socket. The joiner's
# round trip (its request through the owner to the line and back) against the
# owner's own (the line's); the owner's CPU per request it relays, sampled after
# the joiner's start-up, its own few readings taken out at the cost per reading
# measured above.
"$ctl" --port COM4 --address 1 log --interval 5000 --duration 14s --output "$work/owner.csv" \
    2>"$work/owner.err" &
owner_pid=$!
sleep 1
"$ctl" --port COM4 --address 1 log --interval 100 --duration 10s --output "$work/joined.csv" \
    2>"$work/joined.err" &
joined_pid=$!
sleep 2
own0=$(cpu_ms "$owner_pid"); jrows0=$(wc -l <"$work/joined.csv"); orows0=$(wc -l <"$work/owner.csv")
sleep 7
own1=$(cpu_ms "$owner_pid"); jrows1=$(wc -l <"$work/joined.csv"); orows1=$(wc -l <"$work/owner.csv")
wait "$joined_pid" || true
wait "$owner_pid" || true
joined_rt=$(sed -n 's/.*round trip: median \([0-9.]*\) ms.*/\1/p' "$work/joined.err")
owner_rt=$(sed -n 's/.*round trip: median \([0-9.]*\) ms.*/\1/p' "$work/owner.err")
relayed=$((jrows1 - jrows0))
relay_cpu=$(awk "BEGIN { n = $relayed; own = ($orows1 - $orows0) * $ctl_cpu;
    printf \"%.3f\", (n > 0 ? ($own1 - $own0 - own) / n : 0) }")
row "joined log's round trip, median" "${joined_rt:-?} ms" \
    "owner's ${owner_rt:-?} ms, +$(awk "BEGIN { printf \"%.1f\", ${joined_rt:-0} - ${owner_rt:-0} }") ms"
row "owner's CPU per relayed request" "${relay_cpu} ms (${relayed} requests)" \
    "its own reading ${ctl_cpu} ms"

# Three programs on one port at once: a log at 350 ms owns COM4, a SCPI server
# joins it with a client asking MEAS:VOLT? as soon as each answer comes, and a
# second log joins it reading as fast as it can. Their readings a second in one
# 6 s span, each and together, against the line's rate for one supply.
"$ctl" --port COM4 --address 1 log --duration 14s --output "$work/three-log.csv" 2>/dev/null &
three_log=$!
sleep 1
"$ctl" --port COM4 --address 1 serve --listen 127.0.0.1:0 2>"$work/three-serve.err" &
three_serve=$!
pids+=("$three_serve")
three_port=$(listening_port "$work/three-serve.err" 'listening on')
"$ctl" --port COM4 --address 1 log --interval 1 --duration 11s --output "$work/three-fast.csv" \
    2>/dev/null &
three_fast=$!
sleep 2
log0=$(wc -l <"$work/three-log.csv"); fast0=$(wc -l <"$work/three-fast.csv")
answers=$(bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1"; n=0; start=${EPOCHREALTIME/./}
    while (( ${EPOCHREALTIME/./} - start < 6000000 )); do
        printf "MEAS:VOLT?\n" >&3; read -r _ <&3 || break; n=$((n + 1))
    done; echo "$n"' _ "$three_port")
log1=$(wc -l <"$work/three-log.csv"); fast1=$(wc -l <"$work/three-fast.csv")
kill -INT "$three_serve" 2>/dev/null || true
wait "$three_serve" "$three_fast" "$three_log" 2>/dev/null || true
read -r three_total three_share < <(awk -v a="$((log1 - log0))" -v b="$answers" \
    -v c="$((fast1 - fast0))" -v floor="$busfloor" \
    'BEGIN { t = (a + b + c) / 6; printf "%.1f %.0f\n", t, 100 * t / floor }')
row "three programs on one port, readings/s" "${three_total} (${three_share} % of the line)" \
    "log $(awk "BEGIN { printf \"%.1f\", $((log1 - log0)) / 6 }"), SCPI $(awk "BEGIN { printf \"%.1f\", $answers / 6 }"), fast log $(awk "BEGIN { printf \"%.1f\", $((fast1 - fast0)) / 6 }"); line ${busfloor}"

# A run holding the output at 350 ms: CPU per reading after start-up.
if "$ctl" --help 2>&1 | grep -q '^ *run'; then
    printf 'set 5V 1A\noutput on\nhold %ds\noutput off\n' "$((seconds + 4))" >"$work/hold.seq"
    "$ctl" --port COM4 --address 1 run "$work/hold.seq" --output "$work/run.csv" \
        >/dev/null 2>"$work/run.err" &
    run_pid=$!
    sleep 2
    run0=$(cpu_ms "$run_pid"); runrows0=$(wc -l <"$work/run.csv")
    sleep "$seconds"
    run1=$(cpu_ms "$run_pid"); runrows1=$(wc -l <"$work/run.csv")
    wait "$run_pid" || true
    row "CPU per reading, run at 350 ms (${seconds} s)" \
        "$(per "$run0" "$run1" "$((runrows1 - runrows0))") ms ($((runrows1 - runrows0)) readings)" \
        "log above: ${ctl_cpu} ms"
fi

# The client alone, in a process of its own beside mbpoll: how often a reading
# wakes it, and its CPU time per reading without a row to write.
if [ -x "$build/bench/client-bench" ]; then
    echo
    "$build/bench/client-bench" "$seconds"
fi

# serve: MEAS:VOLT? round trips from PyVISA, each answered from a new status read,
# beside that read's floor and the link's own round trip (request to reply, from
# the server's summary): the difference is what the server adds. The queries are
# 20 ms apart, so that none waits for the line's silence after the one before.
# Then 20 clients polling at once: their answers per second together against the
# line's rate for back-to-back status reads.
if /usr/bin/python3 -c 'import pyvisa, pyvisa_py' 2>/dev/null; then
    start_sim 5 --address 1
    "$ctl" --port COM5 --address 1 serve --listen 127.0.0.1:0 --max-clients 20 \
        2>"$work/serve.err" &
    serve_pid=$!
    pids+=("$serve_pid")
    serve_port=$(listening_port "$work/serve.err" 'listening on')
    read -r serve_median serve_p99 serve_rate < <(/usr/bin/python3 - "$serve_port" <<'PY'
import statistics, sys, threading, time
import pyvisa
rm = pyvisa.ResourceManager("@py")
resource = "TCPIP::127.0.0.1::%s::SOCKET" % sys.argv[1]
def open_one():
    inst = rm.open_resource(resource, read_termination="\n", write_termination="\n")
    inst.timeout = 10000
    return inst
one = open_one()
one.query("MEAS:VOLT?")
trips = []
for _ in range(200):
    time.sleep(0.02)
    t = time.perf_counter()
    one.query("MEAS:VOLT?")
    trips.append((time.perf_counter() - t) * 1000)
trips.sort()
clients = [open_one() for _ in range(19)] + [one]
counts = [0] * len(clients)
stop = time.perf_counter() + 10
def poll(i):
    while time.perf_counter() < stop:
        clients[i].query("MEAS:VOLT?")
        counts[i] += 1
threads = [threading.Thread(target=poll, args=(i,)) for i in range(len(clients))]
for t in threads: t.start()
for t in threads: t.join()
print("%.1f %.1f %.1f" % (statistics.median(trips), trips[int(len(trips) * 0.99) - 1],
                          sum(counts) / 10.0))
PY
)
    kill -INT "$serve_pid" 2>/dev/null || true
    wait "$serve_pid" 2>/dev/null || true
    floor=$(awk "BEGIN { printf \"%.1f\", 25 * $c + $latency }")
    link=$(sed -n 's/.*round trip: median \([0-9.]*\) ms.*/\1/p' "$work/serve.err")
    row "serve: MEAS:VOLT? round trip, median / p99" "${serve_median} / ${serve_p99} ms" \
        "${floor} ms (one status read), +$(awk "BEGIN { printf \"%.1f\", $serve_median - $floor }") ms"
    serve_over=$(awk "BEGIN { printf \"%.1f\", $serve_median - $floor }")
    row "serve: added to the link's own round trip" \
        "+$(awk "BEGIN { printf \"%.1f\", $serve_median - ${link:-0} }") ms" \
        "link median ${link:-?} ms (request to reply)"
    rate=$(awk "BEGIN { printf \"%.1f\", 1000 / (25 * $c + 3.5 * $c + $latency) }")
    row "serve: 20 clients polling, answers/s" \
        "$serve_rate ($(awk "BEGIN { printf \"%.0f\", 100 * $serve_rate / $rate }") % of floor)" \
        "$rate (26.0 + 3.65 + ${latency} ms a reading)"
else
    echo "serve: PyVISA (python3-pyvisa, python3-pyvisa-py) is not installed; skipped"
fi

# serve --modbus: reads of the status block from pymodbus, 20 ms apart, each a
# status read on the line, against the same floor as SCPI's MEAS:VOLT? above.
if /usr/bin/python3 -c 'import pymodbus.client' 2>/dev/null; then
    start_sim 6 --address 1
    "$ctl" --port COM6 --address 1 serve --listen none --modbus 127.0.0.1:0 \
        2>"$work/modbus.err" &
    modbus_pid=$!
    pids+=("$modbus_pid")
    modbus_port=$(listening_port "$work/modbus.err" 'Modbus TCP on')
    read -r modbus_median modbus_p99 < <(/usr/bin/python3 - "$modbus_port" <<'PY'
import statistics, sys, time
from pymodbus.client import ModbusTcpClient
client = ModbusTcpClient("127.0.0.1", port=int(sys.argv[1]), timeout=10)
client.connect()
client.read_holding_registers(0x1000, 6, slave=1)
trips = []
for _ in range(200):
    time.sleep(0.02)
    t = time.perf_counter()
    reply = client.read_holding_registers(0x1000, 6, slave=1)
    trips.append((time.perf_counter() - t) * 1000)
    assert not reply.isError(), reply
trips.sort()
print("%.1f %.1f" % (statistics.median(trips), trips[int(len(trips) * 0.99) - 1]))
PY
)
    kill -INT "$modbus_pid" 2>/dev/null || true
    wait "$modbus_pid" 2>/dev/null || true
    floor=$(awk "BEGIN { printf \"%.1f\", 25 * $c + $latency }")
    modbus_over=$(awk "BEGIN { printf \"%.1f\", $modbus_median - $floor }")
    row "serve --modbus: 6 registers, median / p99" "${modbus_median} / ${modbus_p99} ms" \
        "${floor} ms (one status read), +${modbus_over} ms"
else
    echo "serve --modbus: pymodbus (python3-pymodbus) is not installed; skipped"
fi

# The two figures with targets, once more at the end.
echo
echo "log, CPU per reading against mbpoll -l 350: ratio ${log_ratio} (${ctl_cpu} / ${mb_cpu} ms; target at most 0.80)"
if [ -n "${serve_over:-}" ]; then
    echo "serve, MEAS:VOLT? median over the floor: +${serve_over} ms (${serve_median} against ${floor} ms; target at most +1.0)"
else
    echo "serve: not measured (PyVISA is missing)"
fi
if [ -n "${modbus_over:-}" ]; then
    echo "serve --modbus, a pymodbus read over the floor: +${modbus_over} ms (${modbus_median} against ${floor} ms; SCPI's +${serve_over:-?} ms; target within 1 ms of SCPI's)"
fi
