#!/usr/bin/env bash
# The long fault soak: vantel's window against the simulated supply, cycling
# through every line fault, silences and a pulled adapter, for SECONDS seconds
# (first argument, else $SOAK_SECONDS, else 1800). Prints one line per cycle and
# the result; exits non-zero when any check failed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-${SOAK_SECONDS:-1800}}"
build="${BUILD_DIR:-$root/build}"

"$root/scripts/install-deps.sh"
BUILD_DIR="$build" "$root/scripts/build.sh"

echo "== fault soak for $seconds s"
# Qt Test stops a test function after 5 minutes unless told otherwise.
QTEST_FUNCTION_TIMEOUT="$(((seconds + 300) * 1000))" SOAK_SECONDS="$seconds" QT_QPA_PLATFORM=offscreen "$build/tests/soak/tst_soak" \
    -maxwarnings 0 2>&1 | grep -E 'soak|PASS|FAIL|Loc|Totals|threw'
exit "${PIPESTATUS[0]}"
