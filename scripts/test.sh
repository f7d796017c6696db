#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, and runs every test.
# Then the Debian package is built and checked, a short run of every fuzz target,
# the same tests again under AddressSanitizer and UndefinedBehaviorSanitizer, and
# the Windows build tested under Wine (scripts/test-windows.sh). Exits non-zero on
# the first failure. VANTEL_QUICK=1 runs the first build and its tests only.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
export QT_QPA_PLATFORM=offscreen

# Each stage says when it starts, counted from the start of this script.
stage() {
    echo "== $* (at $((SECONDS / 60)) min $((SECONDS % 60)) s)"
}

if [ "${VANTEL_QUICK:-0}" != "1" ]; then
    "$root/scripts/install-deps.sh" windows
    # Qt for Windows is built once per machine (about 25 minutes on 2 cores). It
    # builds at low priority beside the Linux stages, whose tests mostly wait on
    # timers, and the Windows stage at the end waits for it. It runs in a process
    # group of its own (set -m), to be stopped as a whole, but in this session: in
    # a session of its own the scheduler would give it an equal share of the CPU
    # whatever its priority.
    windows_qt="$(mktemp)"
    set -m
    "$root/scripts/windows.sh" qt >"$windows_qt" 2>&1 </dev/null &
    windows_qt_pid=$!
    set +m
    trap 'kill -- -"$windows_qt_pid" 2>/dev/null || true; rm -f "$windows_qt"' EXIT
else
    "$root/scripts/install-deps.sh"
fi

stage "format"
# Every C++ file of the tree is as .clang-format (scripts/format.sh) has it: the
# files git tracks, or in a tree without a repository (an unpacked source archive)
# every .cpp and .h outside the build folders.
cpp_files() {
    if [ "$(git -C "$root" rev-parse --show-toplevel 2>/dev/null)" = "$root" ]; then
        git -C "$root" ls-files '*.cpp' '*.h'
    else
        (cd "$root" && find . \( -name 'build*' -o -name dist -o -name .cache \) -prune -o \
            \( -name '*.cpp' -o -name '*.h' \) -type f -print | sed 's|^\./||')
    fi
}
unformatted=()
while IFS= read -r file; do
    clang-format --dry-run --Werror "$root/$file" >/dev/null 2>&1 || unformatted+=("$file")
done < <(cpp_files)
if [ ${#unformatted[@]} -gt 0 ]; then
    printf 'not formatted (run scripts/format.sh):\n' >&2
    printf '  %s\n' "${unformatted[@]}" >&2
    exit 1
fi

stage "build and test"
# With the package's hardening flags as cache arguments, so that a build/ configured
# earlier without them is reconfigured: the package is made from this very build,
# and what is tested is what is packed, built once.
(. "$root/scripts/hardening.sh" &&
    BUILD_DIR="$root/build" "$root/scripts/build.sh" -DVANTEL_WERROR=ON "${hardening_args[@]}")
(cd "$root/build" && ctest --output-on-failure)

if [ "${VANTEL_QUICK:-0}" != "1" ]; then
    stage "package and check it"
    deb="$(BUILD_DIR="$root/build" "$root/scripts/package.sh")"
    "$root/tests/packaging/check-deb.sh" "$deb" "$root/build/tests/packaging/libquit_preload.so"

    stage "fuzz smoke"
    "$root/fuzz/run.sh" 5

    stage "build and test with sanitizers"
    # Only what the tests run: the benchmarks are left out.
    BUILD_DIR="$root/build-asan" BUILD_TYPE=Debug "$root/scripts/build.sh" \
        -DVANTEL_WERROR=ON -DVANTEL_SANITIZE=ON -DVANTEL_BENCHMARKS=OFF
    (cd "$root/build-asan" && ctest --output-on-failure)

    stage "Windows build, tested under Wine"
    if ! wait "$windows_qt_pid"; then
        cat "$windows_qt" >&2
        exit 1
    fi
    cat "$windows_qt"
    "$root/scripts/test-windows.sh"
fi
stage "all passed"
