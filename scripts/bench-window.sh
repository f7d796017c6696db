#!/usr/bin/env bash
# Prints vantel's CPU time per poll with the sequence window open and a run going,
# beside the window alone and its open trend, measured in one run against the
# simulated supply on its timed line (under Xvfb, as the trend's figures are); then
# the bus window with eight supplies: its readings a second against the line's rate,
# and its CPU per reading against the main window's per poll.
# First argument: seconds a phase and round (default 20; three rounds).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

"$root/scripts/install-deps.sh"
BUILD_DIR="$build" "$root/scripts/build.sh" >/dev/null
for bench in sequence-bench bus-bench; do
    [ -x "$build/bench/$bench" ] || cmake --build "$build" --target "$bench" >/dev/null
done

xvfb-run -a -s "-screen 0 1280x1024x24" env QT_QPA_PLATFORM=xcb \
    "$build/bench/sequence-bench" "${1:-20}" \
    2> >(grep -v -e XDG_RUNTIME_DIR -e propagateSizeHints >&2)
xvfb-run -a -s "-screen 0 1280x1024x24" env QT_QPA_PLATFORM=xcb \
    "$build/bench/bus-bench" "${1:-20}" \
    2> >(grep -v -e XDG_RUNTIME_DIR -e propagateSizeHints >&2)
