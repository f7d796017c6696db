#!/usr/bin/env bash
# Builds and prints vantel's figures: poll period, reply-to-display time, CPU time
# per poll and memory against mbpoll polling at the same period, start-up time;
# then the trend window's (under Xvfb): memory of a day of history, reduction and
# redraw, and the open trend's CPU time per poll beside a bare live plot
# ($TREND_SECONDS a phase and round, default 20).
# First argument: seconds of side-by-side polling (default 60). Runs headless
# (QT_QPA_PLATFORM=offscreen unless set).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

"$root/scripts/install-deps.sh"
BUILD_DIR="$build" "$root/scripts/build.sh" >/dev/null

export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
"$build/bench/vantel-bench" "${1:-60}" 2> >(grep -v XDG_RUNTIME_DIR >&2)
if [ -x "$build/bench/trend-bench" ]; then # built with QCustomPlot only
    echo
    # On an X server (Xvfb), so that the trend's paint reaches a screen as it would.
    xvfb-run -a -s "-screen 0 1280x1024x24" env QT_QPA_PLATFORM=xcb \
        "$build/bench/trend-bench" 20 "${TREND_SECONDS:-20}" \
        2> >(grep -v -e XDG_RUNTIME_DIR -e propagateSizeHints >&2)
fi
