#!/usr/bin/env bash
# Prints serve --http's figures on vantel-sim's timed line with four supplies: the
# line's readings a second with no page and with 20 event streams, the server's
# CPU time per reading per stream (from its scheduler counters), and its resident
# memory over 10,000 requests. First argument: seconds of each phase (default 20).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
cmake --build "$build" -j2 --target http-bench vantelctl vantel-sim >/dev/null
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
echo "machine load $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/http-bench" "$build/ctl/vantelctl" "${1:-20}"
