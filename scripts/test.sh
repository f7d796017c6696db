#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, and runs every test.
# Then the Debian package is built and checked, a short run of every fuzz target,
# and the same tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
# Exits non-zero on the first failure. VANTEL_QUICK=1 runs the first build and its
# tests only.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
export QT_QPA_PLATFORM=offscreen

"$root/scripts/install-deps.sh"

echo "== build and test"
BUILD_DIR="$root/build" "$root/scripts/build.sh" -DVANTEL_WERROR=ON
(cd "$root/build" && ctest --output-on-failure)

if [ "${VANTEL_QUICK:-0}" != "1" ]; then
    echo "== package and check it"
    deb="$("$root/scripts/package.sh")"
    "$root/tests/packaging/check-deb.sh" "$deb" "$root/build/tests/packaging/libquit_preload.so"

    echo "== fuzz smoke"
    "$root/fuzz/run.sh" 5

    echo "== build and test with sanitizers"
    BUILD_DIR="$root/build-asan" BUILD_TYPE=Debug "$root/scripts/build.sh" \
        -DVANTEL_WERROR=ON -DVANTEL_SANITIZE=ON
    (cd "$root/build-asan" && ctest --output-on-failure)
fi
