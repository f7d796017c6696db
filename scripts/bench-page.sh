#!/usr/bin/env bash
# Prints the figures of the page of `vantelctl serve --http` in headless Chromium
# against vantel-sim's timed line with four supplies: a reading's way from its
# reply on the line to an open page (median over SECONDS, default 20), the bytes
# the page loads with its chart library, and how soon a phone-size window shows
# the first cards. Needs chromium, chromium-driver and python3-selenium.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
seconds="${1:-20}"
python=/usr/bin/python3
[ -x "$python" ] || python=python3
[ -x "$build/ctl/vantelctl" ] && [ -x "$build/sim/vantel-sim" ] ||
    cmake --build "$build" -j"$(nproc)" --target vantelctl vantel-sim >/dev/null
exec "$python" "$root/tests/web/bench_page.py" "$build/ctl/vantelctl" "$build/sim/vantel-sim" \
    "$seconds"
