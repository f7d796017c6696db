#!/usr/bin/env bash
# Prints the cost of a scrape of serve --http's /metrics with 32 supplies on
# vantel-sim's timed line: the server's CPU per scrape beside its CPU per request
# for /api/supplies in the same run (aim: at most 1 ms a scrape), and the text's
# making alone. First argument: requests in each phase (default 500). Loopback
# only; everything it starts ends with it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
cmake --build "$build" -j2 --target metrics-bench vantelctl vantel-sim >/dev/null
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
echo "machine load $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/metrics-bench" "$build/ctl/vantelctl" "${1:-500}"
