#!/usr/bin/env bash
# Prints vantel's main window beside a bare Qt window polling at the same period
# (window-bench): CPU time and context switches a poll of each, and the ratio; where
# valgrind is installed, instructions a poll of each under callgrind, a figure the
# machine's load does not change. Then vantel's CPU time per poll with the sequence
# window open and a run going, beside the window alone and its open trend, measured
# in one run against the simulated supply on its timed line (under Xvfb, as the
# trend's figures are); then
# the bus window with eight supplies: its readings a second against the line's rate,
# and its CPU per reading against the main window's per poll.
# First argument: seconds a phase and round (default 20; three rounds); under
# callgrind, $CALLGRIND_SECONDS a phase (default 15; two rounds).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

"$root/scripts/install-deps.sh"
BUILD_DIR="$build" "$root/scripts/build.sh" >/dev/null
for bench in window-bench sequence-bench bus-bench; do
    [ -x "$build/bench/$bench" ] || cmake --build "$build" --target "$bench" >/dev/null
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# The simulators' timed line (bytes at 9600 baud) and their instant one (each reply
# whole at once).
for line in timed instant; do
    echo "machine load $(cut -d' ' -f1-3 /proc/loadavg)"
    xvfb-run -a -s "-screen 0 1280x1024x24" env QT_QPA_PLATFORM=xcb \
        "$build/bench/window-bench" "${1:-20}" 3 "$line" \
        2> >(grep -v -e XDG_RUNTIME_DIR -e propagateSizeHints >&2)
    command -v valgrind >/dev/null || continue
    # Each phase of window-bench is collected and dumped apart as "window POLLS" or
    # "bare POLLS"; instructions a poll are the phases' totals over their polls.
    rm -f "$work"/callgrind.out*
    xvfb-run -a -s "-screen 0 1280x1024x24" env QT_QPA_PLATFORM=xcb \
        valgrind --tool=callgrind --collect-atstart=no \
        --callgrind-out-file="$work/callgrind.out" "$build/bench/window-bench" \
        "${CALLGRIND_SECONDS:-15}" 2 "$line" >/dev/null 2>"$work/valgrind.err" || true
    cat "$work"/callgrind.out* 2>/dev/null | awk -v line="$line" '
        /^desc: Trigger: / { kind = $5 }
        /^desc: Trigger: Client Request: / { polls[kind] += $6 }
        /^totals: / { ir[kind] += $2 }
        END {
            if (polls["window"] == 0 || polls["bare"] == 0) {
                print "instructions a poll under callgrind: not measured"
                exit
            }
            w = ir["window"] / polls["window"]; b = ir["bare"] / polls["bare"]
            printf "instructions a poll under callgrind, %s line: vantel %.0f (%d polls), " \
                "bare Qt window %.0f (%d polls), ratio %.2f\n", line, w, polls["window"], b,
                polls["bare"], w / b
        }'
done
xvfb-run -a -s "-screen 0 1280x1024x24" env QT_QPA_PLATFORM=xcb \
    "$build/bench/sequence-bench" "${1:-20}" \
    2> >(grep -v -e XDG_RUNTIME_DIR -e propagateSizeHints >&2)
xvfb-run -a -s "-screen 0 1280x1024x24" env QT_QPA_PLATFORM=xcb \
    "$build/bench/bus-bench" "${1:-20}" \
    2> >(grep -v -e XDG_RUNTIME_DIR -e propagateSizeHints >&2)
