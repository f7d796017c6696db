#!/usr/bin/env bash
# No code of the programs runs an event loop inside another: no QEventLoop and no
# processEvents() outside the benchmarks, the fuzz targets and the tests. A
# program waits on the event loop it already runs (a quit lock, a callback), so
# that a stop or a failure never re-enters a waiting function. A modal dialog's
# exec() is a window's own and is left to the message box seam.
# Usage: eventloops.sh SOURCE_ROOT
set -euo pipefail
root="${1:?usage: eventloops.sh SOURCE_ROOT}"
cd "$root"

found=$(find . \( -path ./tests -o -path ./bench -o -path ./fuzz -o -path './build*' -o -path './.*' \) \
    -prune -o \( -name '*.cpp' -o -name '*.h' \) -print0 |
    xargs -0 grep -nE '\bQEventLoop\b([^L]|$)|\bprocessEvents[[:space:]]*\(' |
    grep -vE '^[^:]+:[0-9]+:[[:space:]]*//' || true)
if [ -n "$found" ]; then
    echo "FAIL: an event loop inside another:" >&2
    echo "$found" >&2
    exit 1
fi
echo "no nested event loop in the programs"
