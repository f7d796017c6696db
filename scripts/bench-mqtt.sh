#!/usr/bin/env bash
# Prints the figures of commands over MQTT, with a private mosquitto on a loopback
# port and vantel-sim's timed line (latency 10 ms): a command's way from the
# broker's delivery to its confirmed result and to the supply, for a log and for
# `serve --mqtt --mqtt-control` side by side, beside the line's round trip and the
# aim of one round trip + 20 ms; then 20 benches (20 logs with
# --mqtt-control on 20 simulators) on one broker, a command to each in turn: the
# readings delivered against the rows written, and the results' times against
# 200 ms. First argument: seconds of the 20-bench phase (default 20; the whole run
# takes about a minute). Everything it starts ends with it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
cmake --build "$build" -j2 --target mqtt-bench vantelctl vantel-sim >/dev/null
echo "machine load $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/mqtt-bench" "$build/ctl/vantelctl" "${1:-20}"
