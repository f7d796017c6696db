#!/usr/bin/env bash
# Prints serve --http's figures on vantel-sim's timed line (four supplies unless told): the
# line's readings a second with no page and with 20 event streams, the server's
# CPU time per reading per stream (from its scheduler counters), and its resident
# memory over 10,000 requests. Then serve's memory before, during and after a
# flood by one client that never reads, on HTTP (with and without the token), SCPI
# and Modbus TCP in turn, beside the aim of at most 10 MB.
# First argument: seconds of each phase (default 20); second: seconds of each
# flood (default 10); third: how many supplies (default 4). Loopback only;
# everything it starts ends with it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
cmake --build "$build" -j2 --target http-bench flood-bench vantelctl vantel-sim >/dev/null
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
echo "machine load $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/http-bench" "$build/ctl/vantelctl" "${1:-20}" "${3:-4}"
echo
echo "flood: machine load $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/flood-bench" "$build/ctl/vantelctl" "${2:-10}"
